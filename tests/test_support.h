// Stand-ins for the platform that unit tests hand to the recovery logic.
#pragma once

#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

// A card volume held in memory, whose chosen sectors cannot be read, as on a damaged card.
class MemoryVolume final : public CardVolume {
public:
    explicit MemoryVolume(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    bool seek(std::uint64_t offset) override;
    std::size_t read(void* buffer, std::size_t size, bool& error) override;
    bool length(std::uint64_t& bytes) override;
    bool refuse_seek = false;
    bool hide_length = false;             // the volume cannot tell its length, as some devices cannot
    std::uint64_t position = 0;
    std::size_t largest_read = 0;
    std::set<std::uint64_t> bad_sectors;  // numbers of the 512-byte sectors whose reads fail
    int failed_reads = 0;                 // reads that met a bad sector

private:
    std::vector<std::uint8_t> bytes_;
};

// Keys typed in advance, handed out one per poll.
class ScriptedKeys final : public KeySource {
public:
    explicit ScriptedKeys(std::deque<int> keys = {}) : keys_(std::move(keys)) {}
    int next_key() override;
    bool interrupted() override;
    int polls = 0;
    int interrupt_at = -1;      // the interrupt check that first reports Ctrl-C; -1 for never
    int interrupt_checks = 0;

private:
    std::deque<int> keys_;
};

// A clock that reads `time` and steps on by `step` after every reading.
class FixedClock final : public Clock {
public:
    explicit FixedClock(std::int64_t time, std::int64_t step = 0) : time_(time), step_(step) {}
    std::int64_t now() override;

private:
    std::int64_t time_;
    std::int64_t step_;
};

// A fresh empty directory that is removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    // Returns the names of the regular files in the directory, sorted.
    std::vector<std::string> files() const;
    // Returns the content of the file `name` in the directory.
    std::string read(const std::string& name) const;
    // Writes `content` to the file `name` in the directory.
    void write(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

using Bytes = std::vector<std::uint8_t>;

// Returns a card record with a correct checksum: time, length byte, `type` and
// `payload_size` payload bytes 0xA0, 0xA1, ...
Bytes record(std::uint32_t time, int payload_size, std::uint8_t type = 0x10);

// Returns a 512-byte sector of 0xFF with `records` placed back to back from offset `at`.
Bytes sector_with(const std::vector<Bytes>& records, int at = 0);

// Returns a binary card volume: 0x20000 bytes of zeros, then `sectors`.
Bytes card_with(const std::vector<Bytes>& sectors);

// Starts capturing standard output.
void capture_output();
// Stops capturing and returns what was printed since capture_output().
std::string captured_output();

// Returns local standard-time midnight of YYYYMMDD `date`, for building expectations.
std::int64_t midnight(const char* date);

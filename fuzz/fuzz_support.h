// What the fuzz targets share: an in-memory card volume with unreadable sectors,
// a scratch directory, captured console output and the failure report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

// A card volume held in memory whose chosen 512-byte sectors fail every read that reaches them.
struct FuzzVolume final : CardVolume {
    explicit FuzzVolume(std::string bytes, std::set<std::uint64_t> bad = {})
        : content(std::move(bytes)), bad_sectors(std::move(bad))
    {
    }
    bool seek(std::uint64_t offset) override;
    std::size_t read(void* buffer, std::size_t size, bool& error) override;
    bool length(std::uint64_t& bytes) override;

    std::string content;
    std::set<std::uint64_t> bad_sectors;
    std::uint64_t position = 0;
    int reads = 0;  // calls of read(), to notice a scan that keeps retrying
};

// A clock that always reads the same second.
struct StillClock final : Clock {
    explicit StillClock(std::int64_t second) : time(second) {}
    std::int64_t now() override { return time; }
    std::int64_t time;
};

// A keyboard on which no key is ever pressed.
struct NoKeys final : KeySource {
    int next_key() override { return -1; }
};

// An empty directory for the files of one run: made once per process and emptied again when
// the object goes, since making and removing a directory costs more than the run itself.
struct ScratchDir {
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path;
};

// Returns the names of all entries of `dir`, sorted.
std::vector<std::string> entries_of(const std::string& dir);

// Returns the bytes of the file `name` in `dir`.
std::string read_file(const std::string& dir, const std::string& name);

// Writes `content` as the file `name` in `dir`.
void write_file(const std::string& dir, const std::string& name, std::string_view content);

// Starts capturing what the program prints on standard output; nests no deeper than one.
void begin_capture();
// Stops capturing and returns what was printed since begin_capture().
std::string end_capture();

// Prints `what` (and `detail`, shown with escapes) and aborts, so that the fuzzer keeps the input, when `ok` is false.
void require(bool ok, const char* what, std::string_view detail = {});

// Returns `bytes` with every byte outside printable ASCII written as an escape.
std::string escaped(std::string_view bytes);

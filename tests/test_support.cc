#include "tests/test_support.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "services/dates.h"

namespace fs = std::filesystem;

bool MemoryVolume::seek(std::uint64_t offset)
{
    if (refuse_seek) return false;
    position = offset;
    return true;
}

std::size_t MemoryVolume::read(void* buffer, std::size_t size, bool& error)
{
    largest_read = std::max(largest_read, size);
    if (position >= bytes_.size()) return 0;
    std::size_t n = std::min<std::uint64_t>(size, bytes_.size() - position);
    // A read stops where the first bad sector in its way begins.
    const auto bad = bad_sectors.lower_bound(position / 512);
    if (bad != bad_sectors.end() && *bad * 512 < position + n) {
        n = static_cast<std::size_t>(std::max<std::uint64_t>(*bad * 512, position) - position);
        error = true;
        ++failed_reads;
    }
    std::memcpy(buffer, bytes_.data() + position, n);
    position += n;
    return n;
}

bool MemoryVolume::length(std::uint64_t& bytes)
{
    bytes = hide_length ? 0 : bytes_.size();
    return !hide_length;
}

int ScriptedKeys::next_key()
{
    ++polls;
    if (keys_.empty()) return -1;
    const int key = keys_.front();
    keys_.pop_front();
    return key;
}

bool ScriptedKeys::interrupted()
{
    return interrupt_at >= 0 && interrupt_checks++ >= interrupt_at;
}

std::int64_t FixedClock::now()
{
    const std::int64_t t = time_;
    time_ += step_;
    return t;
}

TempDir::TempDir()
{
    static std::mt19937_64 random{std::random_device{}()};
    for (;;) {
        const fs::path candidate = fs::temp_directory_path() / ("recoverqel-test-" + std::to_string(random()));
        if (fs::create_directory(candidate)) {
            path_ = candidate.string();
            return;
        }
    }
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::files() const
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_))
        if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string TempDir::read(const std::string& name) const
{
    std::ifstream in(fs::path(path_) / name, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void TempDir::write(const std::string& name, const std::string& content) const
{
    std::ofstream out(fs::path(path_) / name, std::ios::binary);
    out << content;
}

void capture_output()
{
    testing::internal::CaptureStdout();
}

std::string captured_output()
{
    return testing::internal::GetCapturedStdout();
}

std::int64_t midnight(const char* date)
{
    return parse_date(date);
}

Bytes record(std::uint32_t time, int payload_size, std::uint8_t type)
{
    Bytes r = {static_cast<std::uint8_t>(time), static_cast<std::uint8_t>(time >> 8),
               static_cast<std::uint8_t>(time >> 16), static_cast<std::uint8_t>(time >> 24),
               static_cast<std::uint8_t>(payload_size + 1), type};
    for (int i = 0; i < payload_size; ++i) r.push_back(static_cast<std::uint8_t>(0xA0 + i));
    std::uint8_t sum = 0x55;
    for (std::uint8_t b : r) sum = static_cast<std::uint8_t>(sum + b);
    r.push_back(static_cast<std::uint8_t>(-sum));
    return r;
}

Bytes sector_with(const std::vector<Bytes>& records, int at)
{
    Bytes sector(512, 0xFF);
    for (const Bytes& r : records) {
        std::memcpy(sector.data() + at, r.data(), r.size());
        at += static_cast<int>(r.size());
    }
    return sector;
}

Bytes card_with(const std::vector<Bytes>& sectors)
{
    Bytes card(0x20000, 0);
    for (const Bytes& s : sectors) card.insert(card.end(), s.begin(), s.end());
    return card;
}

// Fuzz target: the record validator, the walk of a sector and the sector scan over arbitrary sectors.
//
// The input gives up to eight sectors of 512 bytes and, from its tail, the date bounds and
// the unreadable sectors. Each sector is copied into a heap buffer of exactly 512 bytes, so
// that AddressSanitizer stops any read outside it. Then:
// - at every offset the validator agrees with a plain byte-by-byte validator, and so does the
//   check of four 15-byte records at once, with the range test, wherever it can start;
// - the records that a walk finds tile the sector from offset 0, each with a valid checksum,
//   and the walk stores exactly the records in range, as record lines formatted plainly;
// - a scan of a card made of these sectors finds and stores what walking its readable sectors
//   does, and reports the sectors it could not read.

#include <fuzzer/FuzzedDataProvider.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "binarycard/card_record.h"
#include "binarycard/sector_scan.h"
#include "binarycard/upload_writer.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr std::size_t max_sectors = 8;
constexpr std::int64_t creation_second = 1700000000;  // the clock of the upload files
const std::string identifier = "AB12";

// The total length of the record at `offset` of `sector` checked byte by byte, or 0 when none is there.
int plain_record_length(const std::uint8_t* sector, int offset)
{
    if (offset + 7 > 512) return 0;
    const std::uint8_t* p = sector + offset;
    if (p[0] == 0xFF && p[1] == 0xFF && p[2] == 0xFF && p[3] == 0xFF) return 0;
    const int length_byte = p[4];
    if (length_byte < 1 || length_byte > 40) return 0;
    const int total = length_byte + 6;
    if (offset + total > 512) return 0;
    unsigned sum = 0x55;
    for (int i = 0; i < total; ++i) sum += p[i];
    return sum % 256 == 0 ? total : 0;
}

std::uint32_t time_at(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The record line of the record of `total` bytes at `p`, with its line end, formatted plainly.
std::string plain_record_line(const std::uint8_t* p, int total)
{
    const std::time_t seconds = time_at(p);
    std::tm fields{};
    gmtime_r(&seconds, &fields);
    char text[32];
    std::snprintf(text, sizeof text, "20%02d%02d%02d%02d%02d%02d%02X", fields.tm_year % 100, fields.tm_mon + 1,
                  fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec, p[5]);
    std::string line = text;
    unsigned crc = 0xFFFF;
    for (int i = 6; i < total - 1; ++i) {
        std::snprintf(text, sizeof text, "%02X", p[i]);
        line += text;
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    std::snprintf(text, sizeof text, "%02X%02X\r\n", crc & 0xFF, crc >> 8);
    return line + text;
}

// What walking sectors plainly gives: counts and the lines of the records in range.
struct Walked {
    std::int64_t found = 0;
    std::int64_t stored = 0;
    std::string lines;
};

void plain_walk(const std::uint8_t* sector, std::int64_t start, std::int64_t end, Walked& walked)
{
    int offset = 0;
    for (int total; (total = plain_record_length(sector, offset)) != 0; offset += total) {
        ++walked.found;
        const std::int64_t time = time_at(sector + offset);
        if (time < start || time > end) continue;
        ++walked.stored;
        walked.lines += plain_record_line(sector + offset, total);
    }
}

// The content of the upload files in `dir`, in name order, each named as the writer names them.
std::string upload_content(const std::string& dir)
{
    std::string content;
    int sequence = 0;
    for (const std::string& name : entries_of(dir)) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "%s_20231114221320_%02d.txt", identifier.c_str(), sequence++);
        require(name == expected, "an upload file with an unexpected name", name);
        content += read_file(dir, name);
    }
    return content;
}

// Checks the group check of 15-byte records at every offset it can start from against the plain validator
// and the plain range test, record by record.
void check_group_check(const std::uint8_t* sector, std::int64_t start, std::int64_t end)
{
    const WindowLanes window = window_lanes(time_window(start, end));
    for (int offset = 0; offset <= last_common_group_offset; ++offset) {
        const CommonGroupCheck check = check_common_group(sector, offset, window);
        const unsigned valid = lane_bits(check.valid);
        const unsigned outside = lane_bits(check.outside);
        for (int k = 0; k < common_group_records; ++k) {
            const int at = offset + k * common_record_length;
            const bool plain = plain_record_length(sector, at) == common_record_length;
            require(((valid >> k) & 1) == (plain ? 1u : 0u), "the group check disagrees with the plain validator",
                    std::to_string(at));
            const std::int64_t time = time_at(sector + at);
            if (plain)
                require(((outside >> k) & 1) == (time < start || time > end ? 1u : 0u),
                        "the group check puts a record on the wrong side of the range", std::to_string(at));
        }
    }
}

// Checks the validator at every offset of `sector` against the plain one.
void check_validator(const std::uint8_t* sector)
{
    for (int offset = 0; offset < 512 + 64; ++offset) {
        std::uint32_t time = 0;
        const int total = valid_record_length(sector, offset, time);
        const int plain = offset < 512 ? plain_record_length(sector, offset) : 0;
        require(total == plain, "the validator disagrees with the plain one", std::to_string(offset));
        if (total != 0) require(time == time_at(sector + offset), "the validator read another time");
        CardRecord record;
        require(validate_record(sector, offset, record) == (plain != 0), "validate_record disagrees");
        if (plain != 0)
            require(record.start == offset && record.total_length == plain && record.time == time_at(sector + offset),
                    "validate_record describes another record");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    std::int64_t start = 0;
    std::int64_t end = 0xFFFFFFFF;
    if (input.ConsumeBool()) {
        start = input.ConsumeIntegral<std::uint32_t>();
        end = input.ConsumeIntegral<std::uint32_t>();
    }
    std::vector<std::uint16_t> bad_numbers(input.ConsumeIntegralInRange<int>(0, 3));
    for (std::uint16_t& number : bad_numbers) number = input.ConsumeIntegral<std::uint16_t>();
    std::string bytes = input.ConsumeRemainingBytesAsString();
    if (bytes.size() > max_sectors * 512 + 511) bytes.resize(max_sectors * 512 + 511);
    const std::size_t sectors = bytes.size() / 512;

    // Each sector alone, in exactly its bytes on the heap: a read beyond them is an error that ASan reports.
    {
        Walked walked;
        ScratchDir dir;
        StillClock clock(creation_second);
        UploadWriter writer = make_upload_writer(identifier, dir.path, clock);
        BinaryScanCounts counts;
        begin_capture();
        bool written = true;
        for (std::size_t i = 0; i < sectors && written; ++i) {
            const auto sector = std::make_unique<std::uint8_t[]>(512);
            std::memcpy(sector.get(), bytes.data() + i * 512, 512);
            check_validator(sector.get());
            check_group_check(sector.get(), start, end);
            // The records of a walk tile the sector from offset 0, as the plain walk finds them.
            const BinaryScanCounts before = counts;
            Walked plain;
            plain_walk(sector.get(), start, end, plain);
            written = walk_sector(sector.get(), start, end, writer, counts);
            require(counts.found - before.found == plain.found && counts.stored - before.stored == plain.stored,
                    "the walk counted other records", std::to_string(i));
            require(std::memcmp(sector.get(), bytes.data() + i * 512, 512) == 0, "the walk changed the sector");
            walked.lines += plain.lines;
        }
        written = close_upload_file(writer) && written;
        const std::string console = end_capture();
        require(written, "the walk could not write its records", console);
        require(upload_content(dir.path) == walked.lines, "the walk stored other record lines");
    }

    // A card of these sectors behind the logging data start, some of them unreadable.
    std::set<std::uint64_t> bad;
    const std::uint64_t first_sector = logging_data_start / 512;
    for (const std::uint16_t number : bad_numbers) bad.insert(first_sector + number % (sectors + 1));
    Walked expected;
    std::int64_t unreadable = 0;
    for (std::size_t i = 0; i < sectors; ++i) {
        if (bad.count(first_sector + i) != 0) {
            ++unreadable;
            continue;
        }
        plain_walk(reinterpret_cast<const std::uint8_t*>(bytes.data()) + i * 512, start, end, expected);
    }
    // A bad sector in the trailing piece is unreadable too, though no records could stand in it.
    if (bytes.size() % 512 != 0 && bad.count(first_sector + sectors) != 0) ++unreadable;

    ScratchDir dir;
    StillClock clock(creation_second);
    UploadWriter writer = make_upload_writer(identifier, dir.path, clock);
    NoKeys keys;
    FuzzVolume volume(std::string(logging_data_start, '\0') + bytes, bad);
    begin_capture();
    const int result = scan_binary_card(volume, start, end, keys, writer);
    const std::string console = end_capture();
    char summary[96];
    std::snprintf(summary, sizeof summary, "\n%" PRId64 " records found, %" PRId64 " stored\nFinished.      \n",
                  expected.found, expected.stored);
    require(console.rfind("Scanning QelD card...\n", 0) == 0, "the console does not start as a scan does", console);
    require(console.size() >= std::strlen(summary) && console.ends_with(summary), "the scan's summary differs",
            console);
    require(upload_content(dir.path) == expected.lines, "the scan stored other record lines");
    if (unreadable == 0) {
        require(result == 0, "a readable card not scanned to its end", console);
        require(console.find("Cannot") == std::string::npos, "a failure reported on a readable card", console);
    } else {
        require(result == 1, "unreadable sectors not reflected in the exit code", console);
        const std::string count = "Cannot read " + std::to_string(unreadable) + " sector";
        const std::string place = "byte " + std::to_string(*bad.begin() * 512) + ".\n";
        const std::size_t line = console.find(count);
        require(line != std::string::npos && console.find(place, line) != std::string::npos,
                "the unreadable sectors not reported with their count and first place", console);
    }
    return 0;
}

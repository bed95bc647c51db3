// Builds binary card images for the end-to-end tests and the demo, with a
// manifest of every record that a correct scan must find.
//
//   make_card binary IMAGE MANIFEST [--sectors N] [--seed S] [--from T] [--to T] [--times T,T,...]
//
// The image holds 0x20000 bytes of decoy records (never to be read), then N
// sectors of records of every length with times drawn from [--from, --to],
// mixed with empty, zeroed and garbage sectors and sectors whose records stop
// at a broken checksum, and last a partial sector that must be ignored. The
// --times records come first, in the first data sector. The manifest has a
// line "TIME RECORDLINE" per record that counts as found, in card order; the
// record lines are formatted here independently of the tool's own code.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int sector_bytes = 512;

struct Options {
    std::string image;
    std::string manifest;
    long sectors = 4000;
    unsigned long seed = 1;
    std::int64_t from = 1704067200;  // 2024-01-01 00:00:00 UTC
    std::int64_t to = 1706745599;    // 2024-01-31 23:59:59 UTC
    std::vector<std::int64_t> times;
};

[[noreturn]] void fail(const char* message)
{
    std::fprintf(stderr, "make_card: %s\n", message);
    std::exit(2);
}

Options parse_options(int argc, char** argv)
{
    if (argc < 4 || std::strcmp(argv[1], "binary") != 0) fail("usage: make_card binary IMAGE MANIFEST [options]");
    Options o;
    o.image = argv[2];
    o.manifest = argv[3];
    for (int i = 4; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--sectors") o.sectors = std::strtol(value, nullptr, 10);
        else if (name == "--seed") o.seed = std::strtoul(value, nullptr, 10);
        else if (name == "--from") o.from = std::strtoll(value, nullptr, 10);
        else if (name == "--to") o.to = std::strtoll(value, nullptr, 10);
        else if (name == "--times") {
            for (const char* p = value; *p;) {
                char* end = nullptr;
                o.times.push_back(std::strtoll(p, &end, 10));
                p = *end == ',' ? end + 1 : end;
            }
        } else fail("unknown option");
    }
    return o;
}

// A record with a correct checksum and the line a scan must write for it.
struct Record {
    Bytes bytes;
    std::int64_t time;
    std::string line;
};

std::string record_line(const Bytes& r)
{
    const std::time_t t = static_cast<std::time_t>(r[0] | r[1] << 8 | r[2] << 16 | static_cast<std::uint32_t>(r[3]) << 24);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[128];
    int n = std::snprintf(text, sizeof text, "20%02d%02d%02d%02d%02d%02d%02X", utc.tm_year % 100, utc.tm_mon + 1,
                          utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, r[5]);
    unsigned crc = 0xFFFF;
    for (std::size_t i = 6; i + 1 < r.size(); ++i) {
        n += std::snprintf(text + n, sizeof text - n, "%02X", r[i]);
        crc ^= r[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    std::snprintf(text + n, sizeof text - n, "%02X%02X", crc & 0xFF, crc >> 8);
    return text;
}

Record make_record(std::mt19937_64& random, std::int64_t time, int length)
{
    Bytes r = {static_cast<std::uint8_t>(time), static_cast<std::uint8_t>(time >> 8),
               static_cast<std::uint8_t>(time >> 16), static_cast<std::uint8_t>(time >> 24),
               static_cast<std::uint8_t>(length)};
    for (int i = 0; i < length; ++i) r.push_back(static_cast<std::uint8_t>(random()));
    unsigned sum = 0x55;
    for (std::uint8_t b : r) sum += b;
    r.push_back(static_cast<std::uint8_t>(-sum));
    return {r, time, record_line(r)};
}

struct CardWriter {
    std::FILE* image;
    std::FILE* manifest;
    std::mt19937_64 random;
    Options options;

    std::int64_t random_time()
    {
        return options.from + static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(options.to - options.from + 1));
    }
    int random_length() { return 1 + static_cast<int>(random() % 40); }

    // Packs records from offset 0 while they fit; `listed` says whether they count as found.
    int pack(Bytes& sector, int offset, std::vector<Record>& records, bool listed)
    {
        for (const Record& rec : records) {
            if (offset + static_cast<int>(rec.bytes.size()) > sector_bytes) break;
            std::memcpy(sector.data() + offset, rec.bytes.data(), rec.bytes.size());
            offset += static_cast<int>(rec.bytes.size());
            if (listed) std::fprintf(manifest, "%lld %s\n", static_cast<long long>(rec.time), rec.line.c_str());
        }
        return offset;
    }

    std::vector<Record> random_records(int count)
    {
        std::vector<Record> records;
        for (int i = 0; i < count; ++i) records.push_back(make_record(random, random_time(), random_length()));
        return records;
    }

    Bytes data_sector()
    {
        Bytes sector(sector_bytes, 0xFF);
        const unsigned kind = random() % 20;
        if (kind == 0) return sector;  // never written
        if (kind == 1) return Bytes(sector_bytes, 0);
        if (kind == 2) {
            for (auto& b : sector) b = static_cast<std::uint8_t>(random());
            sector[4] = 0;  // no valid record at offset 0
            return sector;
        }
        std::vector<Record> records = random_records(40);
        if (kind == 3) {
            // A broken checksum ends the sector's records; the ones behind it are not found.
            std::vector<Record> before(records.begin(), records.begin() + 3);
            int offset = pack(sector, 0, before, true);
            records[3].bytes.back() ^= 0x01;
            std::vector<Record> rest(records.begin() + 3, records.end());
            pack(sector, offset, rest, false);
            return sector;
        }
        if (kind == 4) records.resize(random() % 5);  // a sector only partly used
        pack(sector, 0, records, true);
        return sector;
    }

    void put(const Bytes& bytes) { std::fwrite(bytes.data(), 1, bytes.size(), image); }
};

}  // namespace

int main(int argc, char** argv)
{
    const Options options = parse_options(argc, argv);
    CardWriter w{std::fopen(options.image.c_str(), "wb"), std::fopen(options.manifest.c_str(), "w"),
                 std::mt19937_64(options.seed), options};
    if (!w.image || !w.manifest) fail("cannot create the output files");

    // Decoys before the start of logging data: valid records that must never be read.
    std::FILE* listed = w.manifest;
    w.manifest = std::fopen("/dev/null", "w");
    for (int i = 0; i < 256; ++i) {
        Bytes sector(sector_bytes, 0xFF);
        std::vector<Record> records = w.random_records(5);
        w.pack(sector, 0, records, true);
        w.put(sector);
    }
    std::fclose(w.manifest);
    w.manifest = listed;

    Bytes first(sector_bytes, 0xFF);
    std::vector<Record> chosen;
    for (std::int64_t t : options.times) chosen.push_back(make_record(w.random, t, w.random_length()));
    if (!chosen.empty()) {
        w.pack(first, 0, chosen, true);
        w.put(first);
    }
    for (long i = chosen.empty() ? 0 : 1; i < options.sectors; ++i) w.put(w.data_sector());

    // A partial sector at the end is never examined.
    Bytes tail(sector_bytes, 0xFF);
    std::vector<Record> hidden = w.random_records(3);
    w.pack(tail, 0, hidden, false);
    tail.resize(300);
    w.put(tail);

    const bool ok = std::fclose(w.image) == 0 && std::fclose(w.manifest) == 0;
    return ok ? 0 : 1;
}

// Builds card images for the end-to-end tests, the demo and the benchmark.
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
//
// Large images for the benchmark, SIZE in bytes with an optional K, M or G
// suffix (powers of 1024), written in large blocks so that a GiB takes seconds:
//
//   make_card text-random IMAGE SIZE [--seed S]
//       random bytes; no record line in any range to speak of.
//   make_card text-dense IMAGE SIZE [--seed S] [--month YYYYMM]
//       a card full of log files: runs of record lines "20YYMMDDhhmmss", 22
//       upper-case hex digits and CR LF, each run in time order from a random
//       moment of the month, starting on a 4 KiB boundary; between runs, random
//       bytes (deleted or foreign data) and zeros. Prints the number of lines.
//   make_card text-years IMAGE SIZE [--seed S] [--month YYYYMM]
//       the same, but the runs follow each other in time from the month on, lines 1
//       to 8 seconds apart: a logger's card over years, each day file written in order.
//   make_card binary-full IMAGE SIZE [--seed S] [--month YYYYMM]
//       0xFF up to 0x20000, then every whole sector holds 34 valid 15-byte
//       records (length byte 9) with times in the month (UTC). Prints the number
//       of records.
//   make_card binary-empty IMAGE SIZE
//       every byte 0xFF: a card with nothing logged. Prints 0.
#include <algorithm>
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

// The test card of the binary mode, with its manifest.
int make_binary_card(int argc, char** argv)
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

// ---- Benchmark images ----

// A fast generator of pseudo-random 64-bit words (splitmix64); the images need
// volume, not statistical quality.
struct FastRandom {
    std::uint64_t state;
    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // A number from 0 to `bound` - 1.
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }
};

// Writes an image of a fixed size through a large buffer.
struct ImageSink {
    std::FILE* file = nullptr;
    std::uint64_t size = 0;      // the image's size
    std::uint64_t written = 0;   // bytes put so far, buffered ones included
    std::vector<std::uint8_t> buffer;
    std::size_t used = 0;
};

constexpr std::size_t sink_buffer_bytes = 8u << 20;

ImageSink open_sink(const std::string& path, std::uint64_t size)
{
    ImageSink sink;
    sink.file = std::fopen(path.c_str(), "wb");
    if (!sink.file) fail("cannot create the image");
    sink.size = size;
    sink.buffer.resize(sink_buffer_bytes);
    return sink;
}

void flush_sink(ImageSink& sink)
{
    if (sink.used != 0 && std::fwrite(sink.buffer.data(), 1, sink.used, sink.file) != sink.used)
        fail("cannot write the image");
    sink.used = 0;
}

std::uint64_t room(const ImageSink& sink) { return sink.size - sink.written; }

// Returns space for `n` bytes (at most the buffer's size) to fill at once.
std::uint8_t* reserve(ImageSink& sink, std::size_t n)
{
    if (sink.used + n > sink.buffer.size()) flush_sink(sink);
    std::uint8_t* at = sink.buffer.data() + sink.used;
    sink.used += n;
    sink.written += n;
    return at;
}

// Puts `n` copies of `value`, never beyond the image's end.
void put_fill(ImageSink& sink, std::uint64_t n, std::uint8_t value)
{
    n = std::min(n, room(sink));
    while (n > 0) {
        const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(n, sink.buffer.size()));
        std::memset(reserve(sink, part), value, part);
        n -= part;
    }
}

// Puts `n` random bytes, never beyond the image's end.
void put_random(ImageSink& sink, std::uint64_t n, FastRandom& random)
{
    n = std::min(n, room(sink));
    while (n > 0) {
        const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(n, sink.buffer.size()));
        std::uint8_t* at = reserve(sink, part);
        std::size_t i = 0;
        for (; i + 8 <= part; i += 8) {
            const std::uint64_t word = random.next();
            std::memcpy(at + i, &word, 8);
        }
        for (; i < part; ++i) at[i] = static_cast<std::uint8_t>(random.next());
        n -= part;
    }
}

void close_sink(ImageSink& sink)
{
    flush_sink(sink);
    if (std::fclose(sink.file) != 0) fail("cannot write the image");
}

// "123", "64K", "256M", "1G": a size in bytes.
std::uint64_t parse_size(const char* text)
{
    char* end = nullptr;
    std::uint64_t value = std::strtoull(text, &end, 10);
    if (end == text) fail("bad size");
    if (*end == 'K' || *end == 'k') value <<= 10, ++end;
    else if (*end == 'M' || *end == 'm') value <<= 20, ++end;
    else if (*end == 'G' || *end == 'g') value <<= 30, ++end;
    if (*end != '\0') fail("bad size");
    return value;
}

struct BenchOptions {
    std::string image;
    std::uint64_t size = 0;
    std::uint64_t seed = 1;
    int year = 2024;
    int month = 1;
};

BenchOptions parse_bench_options(int argc, char** argv)
{
    if (argc < 4) fail("usage: make_card MODE IMAGE SIZE [--seed S] [--month YYYYMM]");
    BenchOptions o;
    o.image = argv[2];
    o.size = parse_size(argv[3]);
    for (int i = 4; i < argc; i += 2) {
        if (i + 1 >= argc) fail("option without a value");
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--seed") o.seed = std::strtoull(value, nullptr, 10);
        else if (name == "--month") {
            const long ym = std::strtol(value, nullptr, 10);
            o.year = static_cast<int>(ym / 100);
            o.month = static_cast<int>(ym % 100);
            if (o.year < 2000 || o.year > 2030 || o.month < 1 || o.month > 12) fail("bad month");
        } else fail("unknown option");
    }
    return o;
}

int days_in_month(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && year % 4 == 0 ? 29 : days[month - 1];
}

// Seconds since 1970-01-01 00:00:00 UTC of the first second of the month.
std::int64_t month_start_utc(int year, int month)
{
    std::int64_t days = 0;
    for (int y = 1970; y < year; ++y) days += y % 4 == 0 ? 366 : 365;
    for (int m = 1; m < month; ++m) days += days_in_month(year, m);
    return days * 86400;
}

int make_random_image(const BenchOptions& o)
{
    ImageSink sink = open_sink(o.image, o.size);
    FastRandom random{o.seed};
    put_random(sink, o.size, random);
    close_sink(sink);
    std::printf("0\n");
    return 0;
}

constexpr char upper_hex[] = "0123456789ABCDEF";
constexpr std::size_t text_line_bytes = 38;

void put_two_digits(std::uint8_t* at, int value)
{
    at[0] = static_cast<std::uint8_t>('0' + value / 10);
    at[1] = static_cast<std::uint8_t>('0' + value % 10);
}

// Writes the record line of second `second_of_month` into 38 bytes at `at`.
void format_text_line(std::uint8_t* at, const BenchOptions& o, std::int64_t second_of_month, FastRandom& random)
{
    const int day = static_cast<int>(second_of_month / 86400) + 1;
    const int in_day = static_cast<int>(second_of_month % 86400);
    at[0] = '2';
    at[1] = '0';
    put_two_digits(at + 2, o.year % 100);
    put_two_digits(at + 4, o.month);
    put_two_digits(at + 6, day);
    put_two_digits(at + 8, in_day / 3600);
    put_two_digits(at + 10, in_day / 60 % 60);
    put_two_digits(at + 12, in_day % 60);
    std::uint64_t bits = random.next();
    for (int i = 0; i < 16; ++i, bits >>= 4) at[14 + i] = static_cast<std::uint8_t>(upper_hex[bits & 15]);
    bits = random.next();
    for (int i = 16; i < 22; ++i, bits >>= 4) at[14 + i] = static_cast<std::uint8_t>(upper_hex[bits & 15]);
    at[36] = '\r';
    at[37] = '\n';
}

// With `in_time_order`, the runs follow each other in time from the first second of the
// month on, over as many months and years as the image holds (about 3.4 years per GiB),
// instead of each starting at a random moment of the one month.
int make_dense_text_image(const BenchOptions& o, bool in_time_order)
{
    constexpr std::uint64_t cluster = 4096;
    // A '2' late in random bytes makes a line read that runs on for up to 99 bytes; this
    // many zeros before each run keep that read from swallowing the run's first line.
    constexpr std::uint64_t guard_zeros = 128;
    ImageSink sink = open_sink(o.image, o.size);
    FastRandom random{o.seed};
    std::int64_t month_seconds = std::int64_t{86400} * days_in_month(o.year, o.month);
    BenchOptions now = o;  // the month of the line being written
    std::int64_t clock = 0;  // in time order: the second of that month where the next run starts
    std::uint64_t lines = 0;
    for (;;) {
        // The gap: sometimes foreign data, then zeros up to a cluster boundary, sometimes more.
        if (random.below(2) == 0) put_random(sink, random.below(32 * 1024), random);
        std::uint64_t zeros = guard_zeros + (cluster - (sink.written + guard_zeros) % cluster) % cluster;
        if (random.below(2) == 0) zeros += cluster * random.below(3);
        put_fill(sink, zeros, 0);
        // The run: one log file's lines in time order, a few seconds apart.
        const std::uint64_t run = 64 + random.below(4033);
        std::int64_t second = in_time_order ? clock
                                            : static_cast<std::int64_t>(random.below(static_cast<std::uint64_t>(month_seconds)));
        std::uint64_t i = 0;
        for (; i < run && room(sink) >= text_line_bytes + guard_zeros; ++i) {
            format_text_line(reserve(sink, text_line_bytes), now, second, random);
            if (!in_time_order) {
                second += static_cast<std::int64_t>(random.below(4));
                if (second >= month_seconds) second = 0;
                continue;
            }
            second += 1 + static_cast<std::int64_t>(random.below(8));
            if (second >= month_seconds) {
                second -= month_seconds;
                if (++now.month > 12) {
                    now.month = 1;
                    if (++now.year > 2030) fail("image too large for lines in time order up to 2030");
                }
                month_seconds = std::int64_t{86400} * days_in_month(now.year, now.month);
            }
        }
        clock = second;
        lines += i;
        if (i < run) break;
    }
    put_fill(sink, room(sink), 0);
    close_sink(sink);
    std::printf("%llu\n", static_cast<unsigned long long>(lines));
    return 0;
}

int make_full_binary_image(const BenchOptions& o)
{
    constexpr std::uint64_t start_of_logging = 0x20000;
    constexpr int record_bytes = 15;
    constexpr int records_per_sector = sector_bytes / record_bytes;  // 34, and 2 bytes left
    ImageSink sink = open_sink(o.image, o.size);
    FastRandom random{o.seed};
    const std::int64_t month_start = month_start_utc(o.year, o.month);
    const std::uint64_t month_seconds = std::uint64_t{86400} * static_cast<std::uint64_t>(days_in_month(o.year, o.month));
    put_fill(sink, start_of_logging, 0xFF);
    std::uint64_t records = 0;
    while (room(sink) >= sector_bytes) {
        std::uint8_t* sector = reserve(sink, sector_bytes);
        // Each sector is a stretch of the log: records a second or none apart from a random moment.
        std::uint64_t time = static_cast<std::uint64_t>(month_start) + random.below(month_seconds - records_per_sector);
        for (int r = 0; r < records_per_sector; ++r) {
            std::uint8_t* rec = sector + r * record_bytes;
            const std::uint64_t bits = random.next();
            rec[0] = static_cast<std::uint8_t>(time);
            rec[1] = static_cast<std::uint8_t>(time >> 8);
            rec[2] = static_cast<std::uint8_t>(time >> 16);
            rec[3] = static_cast<std::uint8_t>(time >> 24);
            rec[4] = 9;
            std::memcpy(rec + 5, &bits, 8);
            rec[13] = static_cast<std::uint8_t>(bits >> 17);
            unsigned sum = 0x55;
            for (int i = 0; i < record_bytes - 1; ++i) sum += rec[i];
            rec[14] = static_cast<std::uint8_t>(-sum);
            time += bits >> 63;
        }
        std::memset(sector + records_per_sector * record_bytes, 0xFF, sector_bytes - records_per_sector * record_bytes);
        records += records_per_sector;
    }
    put_fill(sink, room(sink), 0xFF);  // a partial sector at the end, never examined
    close_sink(sink);
    std::printf("%llu\n", static_cast<unsigned long long>(records));
    return 0;
}

int make_empty_image(const BenchOptions& o)
{
    ImageSink sink = open_sink(o.image, o.size);
    put_fill(sink, o.size, 0xFF);
    close_sink(sink);
    std::printf("0\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "text-random") return make_random_image(parse_bench_options(argc, argv));
    if (mode == "text-dense") return make_dense_text_image(parse_bench_options(argc, argv), false);
    if (mode == "text-years") return make_dense_text_image(parse_bench_options(argc, argv), true);
    if (mode == "binary-full") return make_full_binary_image(parse_bench_options(argc, argv));
    if (mode == "binary-empty") return make_empty_image(parse_bench_options(argc, argv));
    return make_binary_card(argc, argv);
}

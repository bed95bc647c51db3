// The card reader's hooks: an image of everything read with its mapfile, and a
// rescue mapfile whose unfinished sectors are read as unreadable ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "binarycard/sector_scan.h"
#include "services/card_image.h"
#include "services/card_reader.h"
#include "services/dates.h"
#include "textcard/text_scan.h"
#include "tests/test_support.h"

namespace {

constexpr std::size_t mebibyte = std::size_t{1} << 20;

Bytes pattern_bytes(std::size_t size)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>('a' + (i * 7 + i / 512) % 26);
    return bytes;
}

Bytes with_zeros(Bytes bytes, const std::set<std::uint64_t>& sectors)
{
    for (const std::uint64_t s : sectors)
        std::fill(bytes.begin() + static_cast<long>(std::min<std::uint64_t>(s * 512, bytes.size())),
                  bytes.begin() + static_cast<long>(std::min<std::uint64_t>(s * 512 + 512, bytes.size())), 0);
    return bytes;
}

std::string text_of(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// An image in a fresh directory, with a clock that stands still unless a test moves it.
struct ImageFixture {
    TempDir dir;
    FixedClock clock{1000};
    CardImageSetup setup;
    CardImage image;

    ImageFixture() { setup.clock = &clock; }
    std::string path() const { return dir.path() + "/card.img"; }
    bool create(std::uint64_t length)
    {
        return create_card_image(path(), length, true, setup, image);
    }
    RescueMap map_on_disk() const
    {
        RescueMap map;
        EXPECT_TRUE(parse_rescue_map(dir.read("card.img.map"), map));
        return map;
    }
};

// Reads all of `volume` through a reader with `hooks` in blocks of `block`.
void read_through(CardVolume& volume, std::size_t block, const ReaderHooks& hooks, CardReader& reader)
{
    bool positioned = false;
    reader = start_card_reader(volume, 0, positioned);
    reader.hooks = hooks;
    std::vector<char> buffer(block);
    for (int calls = 0; calls < 1000000; ++calls)
        if (read_card(reader, buffer.data(), block).end) return;
    ADD_FAILURE() << "the reader never reached the end";
}

std::vector<MapArea> areas_of(const std::vector<std::tuple<std::uint64_t, std::uint64_t, char>>& list)
{
    std::vector<MapArea> areas;
    for (const auto& [pos, size, status] : list) areas.push_back({pos, size, status});
    return areas;
}

bool same_areas(const std::vector<MapArea>& a, const std::vector<MapArea>& b) { return a == b; }

TEST(CardImage, HoldsEveryByteReadWithZerosForUnreadableSectorsAndMapsThem)
{
    const Bytes bytes = pattern_bytes(2 * mebibyte + 1024);
    // 4097: the last sector, so that the image must be extended over it.
    const std::set<std::uint64_t> bad = {0, 7, 8, 2048, 4097};
    for (const std::size_t block : {std::size_t{1000}, std::size_t{4096}, mebibyte}) {
        MemoryVolume volume(bytes);
        volume.bad_sectors = bad;
        ImageFixture fixture;
        ASSERT_TRUE(fixture.create(bytes.size()));
        CardReader reader;
        read_through(volume, block, {&fixture.image, nullptr}, reader);
        EXPECT_TRUE(finish_card_image(fixture.image));
        EXPECT_TRUE(fixture.dir.read("card.img") == text_of(with_zeros(bytes, bad))) << block;
        const RescueMap map = fixture.map_on_disk();
        EXPECT_EQ(map.current_status, '+');
        EXPECT_EQ(map.current_pos, bytes.size());
        EXPECT_TRUE(same_areas(map.areas, areas_of({{0, 512, '-'},
                                                    {512, 6 * 512, '+'},
                                                    {7 * 512, 2 * 512, '-'},
                                                    {9 * 512, (2048 - 9) * 512, '+'},
                                                    {2048 * 512, 512, '-'},
                                                    {2049 * 512, (4097 - 2049) * 512, '+'},
                                                    {4097 * 512, 512, '-'}})))
            << block;
        EXPECT_EQ(fixture.dir.files(), (std::vector<std::string>{"card.img", "card.img.map"}));
    }
}

TEST(CardImage, AnExistingFileIsNeverReplaced)
{
    ImageFixture fixture;
    fixture.dir.write("card.img", "precious");
    capture_output();
    EXPECT_FALSE(fixture.create(4096));
    EXPECT_EQ(captured_output(), "Cannot create image file '" + fixture.path() + "'.\n");
    EXPECT_EQ(fixture.dir.read("card.img"), "precious");
    EXPECT_EQ(fixture.dir.files(), std::vector<std::string>{"card.img"});
}

TEST(CardImage, AMapfileThatCannotBeWrittenIsReportedOnceAndFailsTheRun)
{
    const Bytes bytes = pattern_bytes(4 * mebibyte);
    MemoryVolume volume(bytes);
    ImageFixture fixture;
    fixture.clock = FixedClock(1000, 40);  // a rewrite is due after every piece
    // A directory in the mapfile's place, with something in it, cannot be replaced by a file.
    std::filesystem::create_directory(fixture.dir.path() + "/card.img.map");
    fixture.dir.write("card.img.map/keep", "x");
    capture_output();
    ASSERT_TRUE(fixture.create(bytes.size()));
    CardReader reader;
    read_through(volume, mebibyte, {&fixture.image, nullptr}, reader);
    EXPECT_FALSE(finish_card_image(fixture.image));
    EXPECT_EQ(captured_output(), "Cannot write mapfile '" + fixture.path() + ".map'.\n");
    EXPECT_TRUE(fixture.dir.read("card.img") == text_of(bytes));
    EXPECT_EQ(fixture.dir.files(), std::vector<std::string>{"card.img"});  // no new file left behind
}

TEST(CardImage, AMapfileExistsFromTheStartAndIsRewrittenWhileTheScanGoesOn)
{
    const Bytes bytes = pattern_bytes(8 * mebibyte);
    MemoryVolume volume(bytes);
    ImageFixture fixture;
    fixture.clock = FixedClock(1000, 10);  // every piece read takes ten seconds
    int syncs = 0;
    std::vector<RescueMap> maps_seen;
    fixture.setup.sync = [&syncs](OutputFile* file) {
        ++syncs;
        return platform::sync_file(file);
    };
    fixture.setup.write_at = [&](OutputFile* file, std::uint64_t pos, const char* data, std::size_t size) {
        maps_seen.push_back(fixture.map_on_disk());
        return platform::write_file_at(file, pos, data, size);
    };
    ASSERT_TRUE(fixture.create(bytes.size()));
    const RescueMap first = fixture.map_on_disk();
    EXPECT_EQ(first.current_status, '?');
    EXPECT_TRUE(same_areas(first.areas, areas_of({{0, bytes.size(), '?'}})));
    CardReader reader;
    read_through(volume, mebibyte, {&fixture.image, nullptr}, reader);
    // Eight pieces at 10 s each: the mapfile is rewritten after every third, each time once the image was synced.
    ASSERT_EQ(maps_seen.size(), 8u);
    for (std::size_t i = 0; i < maps_seen.size(); ++i) {
        const std::uint64_t done = i / 3 * 3 * mebibyte;
        std::vector<MapArea> expected;
        if (done > 0) expected.push_back({0, done, '+'});
        expected.push_back({done, bytes.size() - done, '?'});
        EXPECT_TRUE(same_areas(maps_seen[i].areas, expected)) << i;
        EXPECT_EQ(maps_seen[i].current_pos, done) << i;
    }
    EXPECT_EQ(syncs, 2);
    EXPECT_TRUE(finish_card_image(fixture.image));
    EXPECT_TRUE(same_areas(fixture.map_on_disk().areas, areas_of({{0, bytes.size(), '+'}})));
    EXPECT_EQ(fixture.dir.files(), (std::vector<std::string>{"card.img", "card.img.map"}));
}

TEST(CardImage, AFullDiskStopsTheImageOnceAndCutsItBackToWholeSectors)
{
    const Bytes bytes = pattern_bytes(3 * mebibyte);
    MemoryVolume volume(bytes);
    volume.bad_sectors = {5000};
    ImageFixture fixture;
    // The disk takes 1.5 MiB and 700 bytes, then no more: the write of the second block stores part of it.
    const std::uint64_t room = mebibyte + mebibyte / 2 + 700;
    std::uint64_t stored = 0;
    fixture.setup.write_at = [&](OutputFile* file, std::uint64_t pos, const char* data, std::size_t size) {
        const std::size_t fits = static_cast<std::size_t>(std::min<std::uint64_t>(size, room - std::min(room, stored)));
        platform::write_file_at(file, pos, data, fits);
        stored += fits;
        return fits == size;
    };
    ASSERT_TRUE(fixture.create(bytes.size()));
    CardReader reader;
    capture_output();
    read_through(volume, mebibyte, {&fixture.image, nullptr}, reader);
    EXPECT_FALSE(finish_card_image(fixture.image));
    EXPECT_EQ(captured_output(), "Cannot write image file.\n");
    // The second block began at 1 MiB; of it nothing counts, and the reading went on to the end.
    EXPECT_TRUE(fixture.dir.read("card.img") == text_of(Bytes(bytes.begin(), bytes.begin() + mebibyte)));
    const RescueMap map = fixture.map_on_disk();
    EXPECT_TRUE(same_areas(map.areas, areas_of({{0, mebibyte, '+'}, {mebibyte, bytes.size() - mebibyte, '?'}})));
    EXPECT_EQ(map.current_status, '?');
    EXPECT_EQ(reader.skipped_sectors, 1);
}

TEST(CardImage, TextScanWritesTheSameWithAnImageAndTheImageHoldsTheCard)
{
    std::string card;
    for (int i = 0; card.size() < 3 * mebibyte; ++i)
        card += "202403" + std::to_string(10 + i % 20) + "1200000A0102030405060708090A\r\nnoise";
    const Bytes bytes(card.begin(), card.end());
    const std::set<std::uint64_t> bad = {3, 2047, 2048, 4000};
    std::string outputs[2];
    std::vector<std::string> files[2];
    std::string contents[2];
    ImageFixture fixture;
    ASSERT_TRUE(fixture.create(bytes.size()));
    for (const bool imaging : {false, true}) {
        MemoryVolume volume(bytes);
        volume.bad_sectors = bad;
        TempDir out;
        TextScanSetup setup;
        setup.directory = out.path();
        if (imaging) setup.reader_hooks.image = &fixture.image;
        capture_output();
        EXPECT_EQ(scan_text_card(volume, parse_date("20240301"), parse_date("20240331"), setup), text_scan_incomplete);
        outputs[imaging] = captured_output();
        files[imaging] = out.files();
        for (const std::string& name : out.files()) contents[imaging] += out.read(name);
    }
    EXPECT_EQ(outputs[1], outputs[0]);
    EXPECT_EQ(files[1], files[0]);
    EXPECT_TRUE(contents[1] == contents[0]);
    EXPECT_TRUE(finish_card_image(fixture.image));
    EXPECT_TRUE(fixture.dir.read("card.img") == text_of(with_zeros(bytes, bad)));
}

TEST(CardImage, BinaryScanReadsTheAreaBeforeTheLoggingDataForTheImageAlone)
{
    const std::int64_t start = 1704067200, end = 1706659200;
    Bytes bytes = card_with(std::vector<Bytes>(3000, sector_with({record(start + 60, 2)})));
    for (std::size_t i = 0; i < 0x20000; ++i) bytes[i] = static_cast<std::uint8_t>(i * 13);
    // Sector 10 lies before the logging data, 300 in it.
    const std::set<std::uint64_t> bad = {10, 300};
    std::string outputs[2];
    int codes[2];
    ImageFixture fixture;
    ASSERT_TRUE(fixture.create(bytes.size()));
    for (const bool imaging : {false, true}) {
        MemoryVolume volume(bytes);
        volume.bad_sectors = bad;
        TempDir out;
        FixedClock clock(1733800000);
        UploadWriter writer = make_upload_writer("IMG1", out.path(), clock);
        ScriptedKeys keys;
        ReaderHooks hooks;
        if (imaging) hooks.image = &fixture.image;
        capture_output();
        codes[imaging] = scan_binary_card(volume, start, end, keys, writer, hooks);
        outputs[imaging] = captured_output();
    }
    EXPECT_EQ(codes[1], codes[0]);
    EXPECT_EQ(outputs[1], outputs[0]);
    EXPECT_NE(outputs[0].find("Cannot read 1 sector of the card, at byte 153600."), std::string::npos);
    EXPECT_TRUE(finish_card_image(fixture.image));
    EXPECT_TRUE(fixture.dir.read("card.img") == text_of(with_zeros(bytes, bad)));
    EXPECT_TRUE(same_areas(fixture.map_on_disk().areas, areas_of({{0, 10 * 512, '+'},
                                                                   {10 * 512, 512, '-'},
                                                                   {11 * 512, 289 * 512, '+'},
                                                                   {300 * 512, 512, '-'},
                                                                   {301 * 512, bytes.size() - 301 * 512, '+'}})));
}

TEST(CardImage, EscapeLeavesTheRestOfTheCardUntriedInTheMapfile)
{
    const std::int64_t start = 1704067200, end = 1706659200;
    const Bytes bytes = card_with(std::vector<Bytes>(3 * 2048, sector_with({record(start + 60, 2)})));
    MemoryVolume volume(bytes);
    ImageFixture fixture;
    ASSERT_TRUE(fixture.create(bytes.size()));
    TempDir out;
    FixedClock clock(1733800000);
    UploadWriter writer = make_upload_writer("ESC1", out.path(), clock);
    ScriptedKeys keys({27});
    capture_output();
    EXPECT_EQ(scan_binary_card(volume, start, end, keys, writer, {&fixture.image, nullptr}), 0);
    captured_output();
    EXPECT_TRUE(finish_card_image(fixture.image));
    // Escape at the first progress line: the 128 KiB before the logging data and the first block were read.
    const std::uint64_t read = 0x20000 + mebibyte;
    EXPECT_TRUE(fixture.dir.read("card.img") == text_of(Bytes(bytes.begin(), bytes.begin() + read)));
    const RescueMap map = fixture.map_on_disk();
    EXPECT_TRUE(same_areas(map.areas, areas_of({{0, read, '+'}, {read, bytes.size() - read, '?'}})));
    EXPECT_EQ(map.current_status, '?');
    EXPECT_EQ(map.current_pos, read);
}

// A rescue mapfile of the volume whose sectors `unfinished` are marked with the statuses in turn.
RescueMap map_marking(std::uint64_t length, const std::set<std::uint64_t>& unfinished)
{
    const char statuses[] = "-?*/";
    RescueMap map;
    std::uint64_t pos = 0;
    int turn = 0;
    for (const std::uint64_t s : unfinished) {
        append_map_area(map, pos, s * 512 - pos, '+');
        append_map_area(map, s * 512, std::min<std::uint64_t>(512, length - s * 512), statuses[turn++ % 4]);
        pos = std::min<std::uint64_t>(s * 512 + 512, length);
    }
    append_map_area(map, pos, length - pos, '+');
    return map;
}

TEST(Mapfile, UnfinishedSectorsAreReadAsUnreadableOnesOnBothPaths)
{
    // A text card whose length is no whole number of sectors; the last, partial sector is good.
    std::string card;
    for (int i = 0; card.size() < 2 * mebibyte + 100; ++i)
        card += "202403" + std::to_string(10 + i % 20) + "1200000A0102030405060708090A\r\n";
    const Bytes text_bytes(card.begin(), card.end());
    const std::set<std::uint64_t> bad = {0, 1, 2, 2047, 2048, 3001};
    const FinishedAreas finished = finished_areas(map_marking(text_bytes.size(), bad));
    std::string outputs[2];
    std::string contents[2];
    for (const bool mapped : {false, true}) {
        MemoryVolume volume(text_bytes);
        if (!mapped) volume.bad_sectors = bad;
        TempDir out;
        TextScanSetup setup;
        setup.directory = out.path();
        setup.block_size = 3000;
        if (mapped) setup.reader_hooks.readable = &finished;
        capture_output();
        EXPECT_EQ(scan_text_card(volume, parse_date("20240301"), parse_date("20240331"), setup), text_scan_incomplete);
        outputs[mapped] = captured_output();
        for (const std::string& name : out.files()) contents[mapped] += name + out.read(name);
        if (mapped) {
            EXPECT_EQ(volume.failed_reads, 0);
        }
    }
    EXPECT_EQ(outputs[1], outputs[0]);
    EXPECT_NE(outputs[0].find("Cannot read 6 sectors of the card; the first at byte 0."), std::string::npos);
    EXPECT_TRUE(contents[1] == contents[0]);

    const std::int64_t start = 1704067200, end = 1706659200;
    const Bytes binary_bytes = card_with(std::vector<Bytes>(2 * 2048 + 5, sector_with({record(start + 60, 2)})));
    // Sector 5 lies before the logging data, which is not read without an image; 4356 is the last sector.
    const std::set<std::uint64_t> binary_bad = {5, 256, 257, 2000, 4356};
    const FinishedAreas binary_finished = finished_areas(map_marking(binary_bytes.size(), binary_bad));
    for (const bool mapped : {false, true}) {
        MemoryVolume volume(binary_bytes);
        if (!mapped) volume.bad_sectors = binary_bad;
        TempDir out;
        FixedClock clock(1733800000);
        UploadWriter writer = make_upload_writer("MAP1", out.path(), clock);
        ScriptedKeys keys;
        ReaderHooks hooks;
        if (mapped) hooks.readable = &binary_finished;
        capture_output();
        EXPECT_EQ(scan_binary_card(volume, start, end, keys, writer, hooks), 1);
        outputs[mapped] = captured_output();
    }
    EXPECT_EQ(outputs[1], outputs[0]);
    EXPECT_NE(outputs[0].find("Cannot read 4 sectors of the card; the first at byte 131072."), std::string::npos);
}

TEST(Mapfile, SectorsOnlyPartlyFinishedOrNotCoveredAreUnreadable)
{
    const Bytes bytes = pattern_bytes(64 * 512);
    RescueMap map;
    // Sector 3 is finished only up to its last byte, sector 10 only from its second byte;
    // the mapfile ends inside sector 40, so sectors 40 to 63 are not covered.
    append_map_area(map, 0, 4 * 512 - 1, '+');
    append_map_area(map, 4 * 512 - 1, 6 * 512 + 2, '-');
    append_map_area(map, 10 * 512 + 1, 30 * 512 - 1, '+');
    append_map_area(map, 40 * 512, 100, '+');
    const FinishedAreas finished = finished_areas(map);
    for (const std::size_t block : {std::size_t{512}, std::size_t{700}, mebibyte}) {
        MemoryVolume volume(bytes);
        CardReader reader;
        ImageFixture fixture;
        ASSERT_TRUE(fixture.create(bytes.size()));
        read_through(volume, block, {&fixture.image, &finished}, reader);
        EXPECT_TRUE(finish_card_image(fixture.image));
        EXPECT_EQ(reader.skipped_sectors, 8 + 24) << block;
        EXPECT_EQ(reader.first_skipped, 3u * 512) << block;
        std::set<std::uint64_t> unread = {3, 4, 5, 6, 7, 8, 9, 10};
        for (std::uint64_t s = 40; s < 64; ++s) unread.insert(s);
        EXPECT_TRUE(fixture.dir.read("card.img") == text_of(with_zeros(bytes, unread))) << block;
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "binarycard/upload_writer.h"
#include "tests/test_support.h"

namespace {

// 2024-01-02 03:04:05 UTC
constexpr std::int64_t creation_time = 1704164645;

struct WriterFixture {
    TempDir dir;
    FixedClock clock;
    UploadWriter writer;
    Bytes sector;
    CardRecord rec;

    explicit WriterFixture(std::int64_t clock_step = 0)
        : clock(creation_time, clock_step), writer(make_upload_writer("AB12", dir.path(), clock)),
          sector(sector_with({{0x70, 0x05, 0x8B, 0x64, 0x09, 0x01, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x61}}))
    {
        EXPECT_TRUE(validate_record(sector.data(), 0, rec));
    }

    bool write_lines(int count)
    {
        for (int i = 0; i < count; ++i)
            if (!write_record_line(writer, sector.data(), rec)) return false;
        return true;
    }
};

const std::string line = "202306151234560100112233445566772CEA\r\n";

std::string lines(int count)
{
    std::string s;
    for (int i = 0; i < count; ++i) s += line;
    return s;
}

TEST(UploadWriter, FirstLineCreatesAFileNamedAfterLoggerAndClock)
{
    WriterFixture f;
    EXPECT_TRUE(f.dir.files().empty());
    ASSERT_TRUE(f.write_lines(1));
    ASSERT_TRUE(close_upload_file(f.writer));
    ASSERT_EQ(f.dir.files(), std::vector<std::string>{"AB12_20240102030405_00.txt"});
    EXPECT_EQ(f.dir.read("AB12_20240102030405_00.txt"), line);
}

TEST(UploadWriter, RotatesAfter4097LinesWithSequenceNumbersInOneSecond)
{
    WriterFixture f;
    ASSERT_TRUE(f.write_lines(4097));
    EXPECT_EQ(f.dir.files().size(), 1u);
    ASSERT_TRUE(f.write_lines(4097 + 1));
    ASSERT_TRUE(close_upload_file(f.writer));
    const std::vector<std::string> expected = {"AB12_20240102030405_00.txt", "AB12_20240102030405_01.txt",
                                               "AB12_20240102030405_02.txt"};
    ASSERT_EQ(f.dir.files(), expected);
    EXPECT_EQ(f.dir.read(expected[0]), lines(4097));
    EXPECT_EQ(f.dir.read(expected[1]), lines(4097));
    EXPECT_EQ(f.dir.read(expected[2]), lines(1));
}

TEST(UploadWriter, FileOfALaterSecondStartsAtSequenceZero)
{
    WriterFixture f(/*clock_step=*/1);
    ASSERT_TRUE(f.write_lines(4098));
    ASSERT_TRUE(close_upload_file(f.writer));
    const std::vector<std::string> expected = {"AB12_20240102030405_00.txt", "AB12_20240102030406_00.txt"};
    EXPECT_EQ(f.dir.files(), expected);
}

TEST(UploadWriter, NeverOverwritesAnExistingFile)
{
    WriterFixture f;
    f.dir.write("AB12_20240102030405_00.txt", "earlier run\n");
    f.dir.write("AB12_20240102030405_01.txt", "earlier run\n");
    ASSERT_TRUE(f.write_lines(4098));
    ASSERT_TRUE(close_upload_file(f.writer));
    EXPECT_EQ(f.dir.read("AB12_20240102030405_00.txt"), "earlier run\n");
    EXPECT_EQ(f.dir.read("AB12_20240102030405_01.txt"), "earlier run\n");
    EXPECT_EQ(f.dir.read("AB12_20240102030405_02.txt"), lines(4097));
    EXPECT_EQ(f.dir.read("AB12_20240102030405_03.txt"), lines(1));
}

TEST(UploadWriter, ReportsAFileThatCannotBeCreated)
{
    WriterFixture f;
    f.writer.directory = f.dir.path() + "/missing";
    capture_output();
    EXPECT_FALSE(f.write_lines(1));
    EXPECT_EQ(captured_output(), "Cannot create Qel file\n");
}

TEST(UploadWriter, ClosingWithoutAFileDoesNothing)
{
    WriterFixture f;
    EXPECT_TRUE(close_upload_file(f.writer));
    EXPECT_TRUE(f.dir.files().empty());
}

}  // namespace

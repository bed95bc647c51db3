#include <gtest/gtest.h>

#include <vector>

#include "app/arguments.h"
#include "app/run.h"
#include "tests/test_support.h"

namespace {

struct ArgumentCase {
    std::vector<const char*> args;  // the user arguments, without the program name
    const char* message;            // what the checks print; empty when they pass
};

std::string check(const std::vector<const char*>& args, RunParams& params, bool& ok)
{
    std::vector<const char*> argv = {"RecoverQelSD"};
    argv.insert(argv.end(), args.begin(), args.end());
    capture_output();
    ok = check_arguments(static_cast<int>(argv.size()), argv.data(), params);
    return captured_output();
}

const char usage[] =
    "Use: RecoverQelSD DriveLetter StartDate EndDate [ QelD_Ident ]\n"
    "     Start and end date format YYYYMMDD\n"
    "     Specify 4-character ID for QelD cards\n";

class ArgumentChecks : public testing::TestWithParam<ArgumentCase> {};

TEST_P(ArgumentChecks, PrintTheFirstFailureOnly)
{
    const ArgumentCase c = GetParam();
    RunParams params;
    bool ok = false;
    EXPECT_EQ(check(c.args, params, ok), c.message);
    EXPECT_EQ(ok, std::string(c.message).empty());
}

INSTANTIATE_TEST_SUITE_P(Table, ArgumentChecks, testing::Values(
    ArgumentCase{{}, usage},
    ArgumentCase{{"E", "20240101"}, usage},
    ArgumentCase{{"E", "20240101", "20240131", "AB12", "x"}, usage},
    ArgumentCase{{"E", "20240101", "20240131"}, ""},
    ArgumentCase{{"e:", "20240101", "20240131", "AB12"}, ""},
    ArgumentCase{{"e:\\", "20240101", "20240131"}, "Invalid drive specifier 'e:\\'.\n"},
    ArgumentCase{{"ee", "20240101", "20240131"}, "Invalid drive specifier 'ee'.\n"},
    ArgumentCase{{"1", "20240101", "20240131"}, "Invalid drive specifier '1'.\n"},
    ArgumentCase{{":", "20240101", "20240131"}, "Invalid drive specifier ':'.\n"},
    ArgumentCase{{"", "20240101", "20240131"}, "Invalid drive specifier ''.\n"},
    ArgumentCase{{"no-such-image.img", "20240101", "20240131"}, "Invalid drive specifier 'no-such-image.img'.\n"},
    ArgumentCase{{"1", "2024011", "x"}, "Invalid drive specifier '1'.\n"},
    ArgumentCase{{"E", "2024011", "x"}, "Invalid start date '2024011'\n"},
    ArgumentCase{{"E", "20240101", "2020 1 1"}, "Invalid end date '2020 1 1'\n"},
    ArgumentCase{{"E", "20240201", "20240131"}, "End date before start date\n"},
    ArgumentCase{{"E", "20240131", "20240131", "AB12"}, ""},
    ArgumentCase{{"E", "20240201", "20240131", "A"}, "End date before start date\n"},
    ArgumentCase{{"E", "20240101", "20240131", "AB1"}, "Invalid QelD identifier 'AB1'\n"},
    ArgumentCase{{"E", "20240101", "20240131", "AB123"}, "Invalid QelD identifier 'AB123'\n"},
    ArgumentCase{{"E", "20240101", "20240131", "A B1"}, ""},
    ArgumentCase{{"E", "20240101", "20240131", "../x"}, "Invalid QelD identifier '../x'\n"},
    ArgumentCase{{"E", "20240101", "20240131", "a\\b1"}, "Invalid QelD identifier 'a\\b1'\n"},
    ArgumentCase{{"E", "20240101", "20240131", "AB:1"}, "Invalid QelD identifier 'AB:1'\n"},
    ArgumentCase{{"E", "20240101", "20240131", "AB*?"}, "Invalid QelD identifier 'AB*?'\n"},
    ArgumentCase{{"E", "20240101", "20240131", "<|>\""}, "Invalid QelD identifier '<|>\"'\n"},
    ArgumentCase{{"E", "20240101", "20240131", "AB\t1"}, "Invalid QelD identifier 'AB\t1'\n"}));

TEST(ArgumentChecks, DriveLettersFoldToUpperCase)
{
    for (const char* drive : {"e", "E", "e:", "E:"}) {
        RunParams params;
        bool ok = false;
        check({drive, "20240101", "20240131", "AB12"}, params, ok);
        ASSERT_TRUE(ok) << drive;
        EXPECT_EQ(params.volume_path, "\\\\.\\E:");
        EXPECT_TRUE(params.binary_card);
        EXPECT_EQ(params.identifier, "AB12");
        EXPECT_EQ(params.start_bound, midnight("20240101"));
        EXPECT_EQ(params.end_bound, midnight("20240131"));
    }
}

TEST(ArgumentChecks, AnExistingFileIsTheCardVolume)
{
    TempDir dir;
    dir.write("card.img", "x");
    const std::string image = dir.path() + "/card.img";
    RunParams params;
    bool ok = false;
    EXPECT_EQ(check({image.c_str(), "20240101", "20240131"}, params, ok), "");
    ASSERT_TRUE(ok);
    EXPECT_EQ(params.volume_path, image);
    EXPECT_FALSE(params.binary_card);
    // A directory is no card volume.
    EXPECT_EQ(check({dir.path().c_str(), "20240101", "20240131"}, params, ok),
              "Invalid drive specifier '" + dir.path() + "'.\n");
    EXPECT_FALSE(ok);
}

TEST(RunProgram, PrintsTheBannerBeforeAnything)
{
    const char* argv[] = {"RecoverQelSD"};
    capture_output();
    EXPECT_EQ(run_program(1, argv), 1);
    EXPECT_EQ(captured_output(),
              std::string("RecoverQelSD V1.01 - recovers logged records from data logger SD cards\n\n") + usage);
}

TEST(RunProgram, ReportsACardThatCannotBeOpened)
{
    // No volume of drive Q exists where the tests run.
    const char* argv[] = {"RecoverQelSD", "Q", "20240101", "20240131", "AB12"};
    capture_output();
    EXPECT_EQ(run_program(5, argv), 1);
    EXPECT_NE(captured_output().find("\n\nCannot open card.\n"), std::string::npos);
}

}  // namespace

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/options.h"
#include "app/run.h"
#include "tests/test_support.h"

namespace {

struct OptionCase {
    std::vector<const char*> args;            // the user arguments, without the program name
    std::vector<std::string> positional;      // what stays positional, in order
    const char* invalid;                      // the argument reported as invalid; empty when none
    const char* image;                        // the --image value taken
    const char* mapfile;                      // the --mapfile value taken
};

class OptionParsing : public testing::TestWithParam<OptionCase> {};

TEST_P(OptionParsing, SplitsOptionsFromPositionalArguments)
{
    const OptionCase c = GetParam();
    std::vector<const char*> argv = {"RecoverQelSD"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const ParsedCommandLine parsed = parse_command_line(static_cast<int>(argv.size()), argv.data());
    ASSERT_FALSE(parsed.positional.empty());
    EXPECT_STREQ(parsed.positional[0], "RecoverQelSD");
    EXPECT_EQ(std::vector<std::string>(parsed.positional.begin() + 1, parsed.positional.end()), c.positional);
    EXPECT_EQ(parsed.invalid_option, c.invalid);
    EXPECT_EQ(parsed.options.image_path, c.image);
    EXPECT_EQ(parsed.options.mapfile_path, c.mapfile);
}

INSTANTIATE_TEST_SUITE_P(Table, OptionParsing, testing::Values(
    OptionCase{{"E", "20240101", "20240131"}, {"E", "20240101", "20240131"}, "", "", ""},
    OptionCase{{"--image", "a.img", "E", "20240101", "20240131"}, {"E", "20240101", "20240131"}, "", "a.img", ""},
    OptionCase{{"E", "--image=a.img", "20240101", "20240131", "--mapfile", "m"},
               {"E", "20240101", "20240131"}, "", "a.img", "m"},
    // "--" ends the options: what follows is positional even when it looks like one.
    OptionCase{{"E", "20240101", "--", "20240131", "--ab"}, {"E", "20240101", "20240131", "--ab"}, "", "", ""},
    // A single dash that is no known alias stays positional, so such identifiers work as before.
    OptionCase{{"E", "20240101", "20240131", "-AB1"}, {"E", "20240101", "20240131", "-AB1"}, "", "", ""},
    OptionCase{{"-", "20240101"}, {"-", "20240101"}, "", "", ""},
    OptionCase{{"E", "--bogus", "20240101"}, {"E", "20240101"}, "--bogus", "", ""},
    OptionCase{{"E", "20240101", "--image"}, {"E", "20240101"}, "--image", "", ""},
    OptionCase{{"--image=", "E"}, {"E"}, "--image=", "", ""},
    OptionCase{{"--help=yes"}, {}, "--help=yes", "", ""},
    OptionCase{{"--imag", "x"}, {"x"}, "--imag", "", ""},
    // The first invalid option is the one reported.
    OptionCase{{"--one", "--two"}, {}, "--one", "", ""},
    // A later value of the same option wins.
    OptionCase{{"--image", "a", "--image", "b"}, {}, "", "b", ""}));

const char banner[] = "RecoverQelSD V1.01 - recovers logged records from data logger SD cards\n\n";

std::string run(std::vector<const char*> args, int& code)
{
    args.insert(args.begin(), "RecoverQelSD");
    capture_output();
    code = run_program(static_cast<int>(args.size()), args.data());
    return captured_output();
}

TEST(RunProgramOptions, InvalidOptionStopsAfterTheBanner)
{
    int code = 0;
    EXPECT_EQ(run({"E", "20240101", "20240131", "--nope"}, code), std::string(banner) + "Invalid option '--nope'.\n");
    EXPECT_EQ(code, 1);
    // Reported before any positional check.
    EXPECT_EQ(run({"--image"}, code), std::string(banner) + "Invalid option '--image'.\n");
    EXPECT_EQ(code, 1);
}

TEST(RunProgramOptions, HelpAndVersionStopWithSuccess)
{
    int code = 1;
    const std::string help = run({"--help"}, code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(help.rfind(std::string(banner) + "Use: RecoverQelSD DriveLetter StartDate EndDate [ QelD_Ident ]\n", 0),
              0u);
    for (const char* option : {"--image FILE", "--mapfile FILE", "--help", "--version"})
        EXPECT_NE(help.find(std::string("  ") + option), std::string::npos) << option;
    code = 1;
    EXPECT_EQ(run({"E", "--version", "junk"}, code), banner);
    EXPECT_EQ(code, 0);
}

}  // namespace

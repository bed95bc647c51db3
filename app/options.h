// Long options on the command line, GNU style: "--name VALUE" or "--name=VALUE",
// anywhere among the positional arguments; "--" ends the options.
#pragma once

#include <string>
#include <vector>

// What the options of one run ask for; a run without options leaves every member as it is here.
struct RunOptions {
    std::string image_path;    // --image: save every byte read into this new file, with a mapfile beside it
    std::string mapfile_path;  // --mapfile: read only the areas this rescue mapfile marks as read
    std::string report_path;   // --report: write a JSON account of the run into this file
    std::string output_dir;    // --output-dir, -C: where the day or upload files go; empty for the current directory
    bool unique = false;       // --unique: keep one copy of byte-identical lines in the day files
    bool check_crc = false;    // --check-crc: leave out text lines whose checksum does not match
    bool list = false;         // --list: print the drives and devices that can hold a card, then stop
    bool help = false;         // --help: print the usage and the options, then stop
    bool version = false;      // --version: print the banner, then stop
};

// The command line split into options and positional arguments.
struct ParsedCommandLine {
    RunOptions options;
    std::vector<const char*> positional;  // the program name, then the positional arguments in order
    std::string invalid_option;           // the first argument that is no valid option; empty when none
};

// Splits `argv` into its options and its positional arguments; never prints.
ParsedCommandLine parse_command_line(int argc, const char* const* argv);

// Prints one line for each option: its name, its value and what it does.
void print_option_help();

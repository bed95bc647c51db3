// The command line: RecoverQelSD DriveLetter StartDate EndDate [ QelD_Ident ].
#pragma once

#include <cstdint>
#include <string>

// What the checked arguments ask for.
struct RunParams {
    std::string volume_path;      // the raw volume ("\\.\E:") or an image or device file
    std::int64_t start_bound = 0; // local standard-time midnight of the start date
    std::int64_t end_bound = 0;   // local standard-time midnight of the end date
    bool binary_card = false;     // a QelD card, named by the identifier
    std::string identifier;       // the logger identifier, four bytes; empty for text cards
};

// Prints the three usage lines.
void print_usage();

// Returns the raw volume path "\\.\L:" of drive `letter`.
std::string drive_volume_path(char letter);

// Checks `argc`/`argv` in order, prints the first failure, and fills `params`; false on failure.
bool check_arguments(int argc, const char* const* argv, RunParams& params);

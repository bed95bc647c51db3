#include "app/arguments.h"

#include <cstdio>
#include <cstring>

#include "services/console.h"
#include "services/dates.h"
#include "platform/platform.h"

void print_usage()
{
    say("Use: RecoverQelSD DriveLetter StartDate EndDate [ QelD_Ident ]\n");
    say("     Start and end date format YYYYMMDD\n");
    say("     Specify 4-character ID for QelD cards\n");
}

namespace {

// A drive is one letter, optionally followed by a colon; returns it in upper case, or 0.
char drive_letter_of(const char* text)
{
    const std::size_t length = std::strlen(text);
    if (length == 0 || length > 2 || (length == 2 && text[1] != ':')) return 0;
    char letter = text[0];
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 0x20);
    return (letter >= 'A' && letter <= 'Z') ? letter : 0;
}

// Finds the card volume named by the first argument: a drive, or an image or device file.
bool resolve_card_volume(const char* text, std::string& volume_path)
{
    if (const char letter = drive_letter_of(text)) {
        volume_path = drive_volume_path(letter);
        return true;
    }
    if (std::strlen(text) > 2 && platform::is_volume_file(text)) {
        volume_path = text;
        return true;
    }
    return false;
}

// The identifier starts the upload file names, so it must be a plain name.
bool is_valid_identifier(const char* text)
{
    if (std::strlen(text) != 4) return false;
    for (const char* p = text; *p; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (byte < 0x20 || std::strchr("/\\:*?\"<>|", byte) != nullptr) return false;
    }
    return true;
}

}  // namespace

std::string drive_volume_path(char letter)
{
    char path[30];
    std::snprintf(path, sizeof path, "\\\\.\\%c:", letter);
    return path;
}

bool check_arguments(int argc, const char* const* argv, RunParams& params)
{
    if (argc != 4 && argc != 5) {
        print_usage();
        return false;
    }
    if (!resolve_card_volume(argv[1], params.volume_path)) {
        say("Invalid drive specifier '%s'.\n", argv[1]);
        return false;
    }
    params.start_bound = parse_date(argv[2]);
    if (params.start_bound == 0) {
        say("Invalid start date '%s'\n", argv[2]);
        return false;
    }
    params.end_bound = parse_date(argv[3]);
    if (params.end_bound == 0) {
        say("Invalid end date '%s'\n", argv[3]);
        return false;
    }
    if (params.end_bound < params.start_bound) {
        say("End date before start date\n");
        return false;
    }
    params.binary_card = argc == 5;
    if (params.binary_card) {
        if (!is_valid_identifier(argv[4])) {
            say("Invalid QelD identifier '%s'\n", argv[4]);
            return false;
        }
        params.identifier = argv[4];
    }
    return true;
}

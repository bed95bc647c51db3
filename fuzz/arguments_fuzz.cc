// Fuzz target: the argument checks over arbitrary argument vectors.
//
// The input, split at its NUL bytes, gives the arguments after the program name. For every
// vector the checks end in exactly one outcome: accepted with nothing printed, or refused with
// one message (the three usage lines, or one line starting "Invalid" or "End date"). The outcome,
// the message and the accepted parameters agree with plain checks made here, and an accepted
// identifier is four bytes that can only name a file in the current directory.

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/arguments.h"
#include "services/dates.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr std::size_t max_arguments = 8;

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// True when `text` is YYYYMMDD: eight digits, a year of 2000 to 2030, a day of its month.
bool is_date(const std::string& text)
{
    if (text.size() != 8) return false;
    for (const char c : text)
        if (!is_digit(c)) return false;
    const int year = std::stoi(text.substr(0, 4));
    const int month = std::stoi(text.substr(4, 2));
    const int day = std::stoi(text.substr(6, 2));
    static const int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 2000 || year > 2030 || month < 1 || month > 12 || day < 1) return false;
    return day <= (month == 2 && year % 4 == 0 ? 29 : lengths[month - 1]);
}

// A byte that cannot stand in a file name, or that would lead it out of the current directory.
bool is_name_breaking(unsigned char byte)
{
    return byte < 0x20 || std::strchr("/\\:*?\"<>|", byte) != nullptr;
}

// The outcome of plain checks of `args` (the program name first): the message, empty when accepted.
std::string plain_check(const std::vector<std::string>& args, RunParams& params)
{
    if (args.size() != 4 && args.size() != 5)
        return "Use: RecoverQelSD DriveLetter StartDate EndDate [ QelD_Ident ]\n"
               "     Start and end date format YYYYMMDD\n"
               "     Specify 4-character ID for QelD cards\n";
    const std::string& drive = args[1];
    const bool one_letter = (drive.size() == 1 || (drive.size() == 2 && drive[1] == ':')) &&
                            ((drive[0] >= 'A' && drive[0] <= 'Z') || (drive[0] >= 'a' && drive[0] <= 'z'));
    struct stat st {};
    if (one_letter) {
        const char letter = static_cast<char>(drive[0] >= 'a' ? drive[0] - 'a' + 'A' : drive[0]);
        params.volume_path = std::string("\\\\.\\") + letter + ":";
    } else if (drive.size() > 2 && ::stat(drive.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        params.volume_path = drive;
    } else {
        return "Invalid drive specifier '" + drive + "'.\n";
    }
    if (!is_date(args[2])) return "Invalid start date '" + args[2] + "'\n";
    if (!is_date(args[3])) return "Invalid end date '" + args[3] + "'\n";
    // Date texts order as their days do.
    if (args[3] < args[2]) return "End date before start date\n";
    params.binary_card = args.size() == 5;
    if (params.binary_card) {
        bool plain_name = args[4].size() == 4;
        for (const char c : args[4]) plain_name = plain_name && !is_name_breaking(static_cast<unsigned char>(c));
        if (!plain_name) return "Invalid QelD identifier '" + args[4] + "'\n";
        params.identifier = args[4];
    }
    return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> args = {"RecoverQelSD"};
    if (size != 0) {
        args.emplace_back();
        for (std::size_t i = 0; i < size && args.size() <= max_arguments; ++i) {
            if (data[i] == 0) {
                args.emplace_back();
            } else {
                args.back() += static_cast<char>(data[i]);
            }
        }
        if (args.size() > max_arguments) args.pop_back();
    }
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);

    RunParams params;
    begin_capture();
    const bool accepted = check_arguments(static_cast<int>(args.size()), argv.data(), params);
    const std::string console = end_capture();

    // One outcome: accepted in silence, or refused with one message of a known kind.
    if (accepted) {
        require(console.empty(), "accepted arguments with a message", console);
    } else {
        const bool usage = console.rfind("Use:", 0) == 0;
        require(usage || console.rfind("Invalid", 0) == 0 || console.rfind("End date", 0) == 0,
                "a refusal with an unknown message", console);
        // An argument echoed in a message may hold line feeds of its own, so only the usage is counted.
        require(console.ends_with('\n'), "a refusal without its line end", console);
        if (usage) require(std::count(console.begin(), console.end(), '\n') == 3, "a usage of another length", console);
    }
    if (accepted && params.binary_card) {
        require(params.identifier.size() == 4, "an accepted identifier of another length", params.identifier);
        for (const char c : params.identifier)
            require(!is_name_breaking(static_cast<unsigned char>(c)), "an accepted identifier that breaks a file name",
                    params.identifier);
    }

    RunParams expected;
    const std::string message = plain_check(args, expected);
    require(accepted == message.empty(), "accepted or refused unlike the plain checks", console + "|" + message);
    if (!accepted) {
        require(console == message, "another message than the plain checks give", console + "|" + message);
        return 0;
    }
    require(params.volume_path == expected.volume_path, "another card volume", params.volume_path);
    require(params.binary_card == expected.binary_card && params.identifier == expected.identifier,
            "another card path");
    require(params.start_bound == parse_date(args[2].c_str()) && params.end_bound == parse_date(args[3].c_str()) &&
                params.start_bound != 0 && params.start_bound <= params.end_bound,
            "other date bounds");
    return 0;
}

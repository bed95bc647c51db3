#include "app/options.h"

#include <cstring>
#include <string_view>

#include "services/console.h"

namespace {

// One option: its name after "--", an optional one-letter alias after "-", and where its setting goes.
struct KnownOption {
    const char* name;
    char alias;                          // 0 when the option has none
    const char* value_name;              // nullptr for an option that takes no value
    std::string RunOptions::*value;      // where a value goes
    bool RunOptions::*flag;              // what an option without a value sets
    const char* help;
};

const KnownOption known_options[] = {
    {"image", 0, "FILE", &RunOptions::image_path, nullptr,
     "save an image of the card into the new FILE, and a rescue mapfile FILE.map"},
    {"mapfile", 0, "FILE", &RunOptions::mapfile_path, nullptr,
     "read only the sectors that the rescue mapfile FILE marks as read ('+')"},
    {"output-dir", 'C', "DIR", &RunOptions::output_dir, nullptr,
     "write the day files or upload files into the existing directory DIR"},
    {"report", 0, "FILE", &RunOptions::report_path, nullptr, "write a JSON report of the run into FILE"},
    {"unique", 0, nullptr, nullptr, &RunOptions::unique,
     "text cards: keep one copy of lines that are equal byte for byte in the day files"},
    {"check-crc", 0, nullptr, nullptr, &RunOptions::check_crc,
     "text cards: leave out lines whose checksum does not match their data"},
    {"list", 0, nullptr, nullptr, &RunOptions::list, "list the drives and devices that can hold a card, and stop"},
    {"help", 0, nullptr, nullptr, &RunOptions::help, "print this help and stop"},
    {"version", 0, nullptr, nullptr, &RunOptions::version, "print the version and stop"},
};

const KnownOption* find_long_option(std::string_view name)
{
    for (const KnownOption& option : known_options)
        if (name == option.name) return &option;
    return nullptr;
}

const KnownOption* find_alias(char alias)
{
    for (const KnownOption& option : known_options)
        if (option.alias != 0 && option.alias == alias) return &option;
    return nullptr;
}

// Stores the setting of `option`; false when a value is missing, empty, or given to an option that takes none.
bool apply_option(const KnownOption& option, const char* value, RunOptions& options)
{
    if (option.value_name == nullptr) {
        if (value != nullptr) return false;
        options.*option.flag = true;
        return true;
    }
    if (value == nullptr || *value == '\0') return false;
    options.*option.value = value;
    return true;
}

// True when `text` is an option: "--name" or "--name=value", or exactly "-X" for a known alias X.
// Anything else that starts with '-' stays positional, so that an identifier such as "-AB1" works as before.
bool is_option(const char* text)
{
    if (text[0] != '-') return false;
    if (text[1] == '-') return true;
    return text[1] != '\0' && text[2] == '\0' && find_alias(text[1]) != nullptr;
}

// Takes the option at `argv[i]`, and its value from the next argument when it needs one and
// has none after '='; returns false when it is no valid option. Advances `i` past a value taken.
bool take_option(int argc, const char* const* argv, int& i, RunOptions& options)
{
    const char* text = argv[i];
    const KnownOption* option = nullptr;
    const char* value = nullptr;
    if (text[1] == '-') {
        const char* name = text + 2;
        const char* equals = std::strchr(name, '=');
        option = find_long_option(equals != nullptr ? std::string_view(name, equals - name) : std::string_view(name));
        if (equals != nullptr) value = equals + 1;
    } else {
        option = find_alias(text[1]);
    }
    if (option == nullptr) return false;
    if (option->value_name != nullptr && value == nullptr && i + 1 < argc) value = argv[++i];
    return apply_option(*option, value, options);
}

}  // namespace

ParsedCommandLine parse_command_line(int argc, const char* const* argv)
{
    ParsedCommandLine parsed;
    parsed.positional.push_back(argc > 0 ? argv[0] : "RecoverQelSD");
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const char* text = argv[i];
        if (options_ended || !is_option(text)) {
            parsed.positional.push_back(text);
            continue;
        }
        if (std::strcmp(text, "--") == 0) {
            options_ended = true;
            continue;
        }
        if (!take_option(argc, argv, i, parsed.options) && parsed.invalid_option.empty())
            parsed.invalid_option = text;
    }
    return parsed;
}

void print_option_help()
{
    for (const KnownOption& option : known_options) {
        std::string names = option.alias != 0 ? std::string("-") + option.alias + ", --" : std::string("--");
        names += option.name;
        if (option.value_name != nullptr) names = names + " " + option.value_name;
        say("  %-22s %s\n", names.c_str(), option.help);
    }
}

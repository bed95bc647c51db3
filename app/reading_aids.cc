#include "app/reading_aids.h"

#include <cstdio>

#include "services/console.h"

namespace {

// Reads all of `file` into `text`; false on a read error.
bool read_text_file(InputFile* file, std::string& text)
{
    char chunk[64 * 1024];
    for (;;) {
        bool error = false;
        const std::size_t got = platform::read_input_file(file, chunk, sizeof chunk, error);
        text.append(chunk, got);
        if (error) return false;
        if (got < sizeof chunk) return true;
    }
}

// Reads and parses the mapfile `path` into its finished areas; false when it cannot.
bool load_finished_areas(const std::string& path, FinishedAreas& readable)
{
    InputFile* file = platform::open_input_file("", path);
    if (file == nullptr) return false;
    std::string text;
    const bool read = read_text_file(file, text);
    platform::close_input_file(file);
    RescueMap map;
    if (!read || !parse_rescue_map(text, map)) return false;
    readable = finished_areas(map);
    return true;
}

}  // namespace

std::string mapfile_heading(int argc, const char* const* argv)
{
    char first[80];
    std::snprintf(first, sizeof first, "# Mapfile. Created by RecoverQelSD V%d.%02d\n", RECOVERQELSD_VERSION_MAJOR,
                  RECOVERQELSD_VERSION_MINOR);
    std::string heading = first;
    heading += "# Command line:";
    for (int i = 0; i < argc; ++i) {
        heading += ' ';
        // A line end in an argument would end the comment early.
        for (const char* c = argv[i]; *c != '\0'; ++c) heading += *c == '\n' || *c == '\r' ? ' ' : *c;
    }
    heading += '\n';
    return heading;
}

bool start_reading_aids(const RunOptions& options, const std::string& heading, CardVolume& volume, ReadingAids& aids)
{
    if (!options.mapfile_path.empty()) {
        if (!load_finished_areas(options.mapfile_path, aids.readable)) {
            say("Cannot read mapfile '%s'.\n", options.mapfile_path.c_str());
            return false;
        }
        aids.filtered = true;
    }
    if (!options.image_path.empty()) {
        std::uint64_t length = 0;
        const bool length_known = volume.length(length);
        CardImageSetup setup;
        setup.heading = heading;
        if (!create_card_image(options.image_path, length, length_known, setup, aids.image)) return false;
        aids.imaging = true;
    }
    return true;
}

ReaderHooks reader_hooks(ReadingAids& aids)
{
    ReaderHooks hooks;
    if (aids.imaging) hooks.image = &aids.image;
    if (aids.filtered) hooks.readable = &aids.readable;
    return hooks;
}

bool finish_reading_aids(ReadingAids& aids)
{
    if (!aids.imaging) return true;
    aids.imaging = false;
    return finish_card_image(aids.image);
}

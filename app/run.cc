#include "app/run.h"

#include "app/arguments.h"
#include "app/options.h"
#include "app/reading_aids.h"
#include "services/console.h"
#include "binarycard/sector_scan.h"
#include "binarycard/upload_writer.h"
#include "platform/platform.h"
#include "textcard/day_sort.h"
#include "textcard/text_scan.h"

namespace {

int run_binary_card(const RunParams& params, const RunOptions& options, const std::string& heading)
{
    const std::unique_ptr<CardVolume> volume = platform::open_card_volume(params.volume_path);
    if (!volume) {
        say("Cannot open card.\n");
        return 1;
    }
    ReadingAids aids;
    if (!start_reading_aids(options, heading, *volume, aids)) return 1;
    const std::unique_ptr<KeySource> keys = platform::open_console_keys();
    UploadWriter writer = make_upload_writer(params.identifier, "", platform::system_clock());
    const int result =
        scan_binary_card(*volume, params.start_bound, params.end_bound, *keys, writer, reader_hooks(aids));
    return finish_reading_aids(aids) ? result : 1;
}

int run_text_card(const RunParams& params, const RunOptions& options, const std::string& heading)
{
    int scanned = text_scan_failed;
    bool image_whole = true;
    {
        // The card is read to its end and closed before the day files are sorted.
        const std::unique_ptr<CardVolume> volume = platform::open_card_volume(params.volume_path);
        if (!volume) {
            say("Cannot open card.\n");
            return 1;
        }
        ReadingAids aids;
        if (!start_reading_aids(options, heading, *volume, aids)) return 1;
        TextScanSetup setup;
        setup.reader_hooks = reader_hooks(aids);
        scanned = scan_text_card(*volume, params.start_bound, params.end_bound, setup);
        image_whole = finish_reading_aids(aids);
    }
    if (scanned == text_scan_failed) return 1;
    // What could be read is sorted even when some sectors could not.
    if (sort_day_files(DaySortSetup{}) != 0) return 1;
    say("Finished.      \n");
    return scanned == text_scan_complete && image_whole ? 0 : 1;
}

}  // namespace

int run_program(int argc, const char* const* argv)
{
    platform::prepare_process();
    say("RecoverQelSD V%d.%02d - recovers logged records from data logger SD cards\n\n",
        RECOVERQELSD_VERSION_MAJOR, RECOVERQELSD_VERSION_MINOR);
    const ParsedCommandLine command_line = parse_command_line(argc, argv);
    if (!command_line.invalid_option.empty()) {
        say("Invalid option '%s'.\n", command_line.invalid_option.c_str());
        return 1;
    }
    const RunOptions& options = command_line.options;
    if (options.help) {
        print_usage();
        print_option_help();
        return 0;
    }
    if (options.version) return 0;
    RunParams params;
    if (!check_arguments(static_cast<int>(command_line.positional.size()), command_line.positional.data(), params))
        return 1;
    const std::string heading = mapfile_heading(argc, argv);
    return params.binary_card ? run_binary_card(params, options, heading) : run_text_card(params, options, heading);
}

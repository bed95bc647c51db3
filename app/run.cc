#include "app/run.h"

#include <utility>

#include "app/arguments.h"
#include "app/drive_list.h"
#include "app/options.h"
#include "app/reading_aids.h"
#include "app/run_report_file.h"
#include "services/console.h"
#include "services/run_report.h"
#include "binarycard/sector_scan.h"
#include "binarycard/upload_writer.h"
#include "platform/platform.h"
#include "textcard/day_sort.h"
#include "textcard/text_scan.h"

namespace {

int run_binary_card(const RunParams& params, const RunOptions& options, const std::string& heading,
                    RunReport* report)
{
    const std::unique_ptr<CardVolume> volume = platform::open_card_volume(params.volume_path);
    if (!volume) {
        say("Cannot open card.\n");
        return 1;
    }
    ReadingAids aids;
    if (!start_reading_aids(options, heading, *volume, aids)) return 1;
    const std::unique_ptr<KeySource> keys = platform::open_console_keys();
    UploadWriter writer = make_upload_writer(params.identifier, options.output_dir, platform::system_clock());
    writer.report = report;
    const int result = scan_binary_card(*volume, params.start_bound, params.end_bound, *keys, writer,
                                        reader_hooks(aids), report);
    return finish_reading_aids(aids) ? result : 1;
}

// The lock file of a directory of day files; its name is never that of a day file, and it stays.
constexpr const char* day_file_lock_name = "RecoverQelSD.lock";
// How often a waiting run tries the lock again.
constexpr int lock_retry_milliseconds = 100;

// Locks the directory `dir` of day files for a text run, so that no other run appends to or
// rewrites a day file until this one has sorted them; waits while another run holds it. Where
// the directory cannot be locked at all, the run goes on without. False when Ctrl-C ended the wait.
bool lock_day_file_directory(const std::string& dir, DirectoryLock*& lock)
{
    LockResult result = platform::try_lock_directory(dir, day_file_lock_name, lock);
    if (result != LockResult::busy) return true;
    say("Waiting for another run in this directory...\n");
    while (result == LockResult::busy) {
        if (platform::interrupt_requested()) {
            say("Processing terminated\n");
            return false;
        }
        platform::wait_milliseconds(lock_retry_milliseconds);
        result = platform::try_lock_directory(dir, day_file_lock_name, lock);
    }
    return true;
}

// Scans the card into day files and sorts them; returns the exit code.
int scan_and_sort(std::unique_ptr<CardVolume> volume, const RunParams& params, const RunOptions& options,
                  const std::string& heading, RunReport* report)
{
    int scanned = text_scan_failed;
    // Passed from the scan to the sort, which need not read back the day files the scan filled in order.
    WrittenDayFiles written;
    bool image_whole = true;
    {
        ReadingAids aids;
        if (!start_reading_aids(options, heading, *volume, aids)) return 1;
        TextScanSetup scan_setup;
        scan_setup.directory = options.output_dir;
        scan_setup.check_crc = options.check_crc;
        scan_setup.report = report;
        scan_setup.reader_hooks = reader_hooks(aids);
        scan_setup.written = &written;
        scanned = scan_text_card(*volume, params.start_bound, params.end_bound, scan_setup);
        image_whole = finish_reading_aids(aids);
    }
    // The card is read to its end and closed before the day files are sorted.
    volume.reset();
    if (scanned == text_scan_failed) return 1;
    // What could be read is sorted even when some sectors could not.
    DaySortSetup sort_setup;
    sort_setup.directory = options.output_dir;
    sort_setup.unique = options.unique;
    sort_setup.report = report;
    sort_setup.written = &written;
    if (sort_day_files(sort_setup) != 0) return 1;
    say("Finished.      \n");
    return scanned == text_scan_complete && image_whole ? 0 : 1;
}

int run_text_card(const RunParams& params, const RunOptions& options, const std::string& heading, RunReport* report)
{
    std::unique_ptr<CardVolume> volume = platform::open_card_volume(params.volume_path);
    if (!volume) {
        say("Cannot open card.\n");
        return 1;
    }
    DirectoryLock* lock = nullptr;
    if (!lock_day_file_directory(options.output_dir, lock)) {
        if (report != nullptr) report->interrupted = true;
        return 1;
    }
    const int result = scan_and_sort(std::move(volume), params, options, heading, report);
    platform::release_directory_lock(lock);
    return result;
}

// Checks the options that depend on the arguments; prints the first failure and returns false.
bool check_run_options(const RunParams& params, const RunOptions& options)
{
    // Upload files are streamed out record by record; there is no bounded way to know every line written.
    if (params.binary_card && options.unique) {
        say("Invalid option '--unique'.\n");
        return false;
    }
    if (!options.output_dir.empty() && !platform::is_directory(options.output_dir)) {
        say("Cannot open output directory '%s'.\n", options.output_dir.c_str());
        return false;
    }
    return true;
}

// The report's account of the command line.
RunReport start_report(const RunParams& params, const std::vector<const char*>& positional)
{
    RunReport report;
    report.card_kind = params.binary_card ? "binary" : "text";
    report.card_given = positional[1];
    report.card_opened = params.volume_path;
    report.start_date = positional[2];
    report.end_date = positional[3];
    return report;
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
    if (options.list) {
        print_drive_list();
        return 0;
    }
    RunParams params;
    if (!check_arguments(static_cast<int>(command_line.positional.size()), command_line.positional.data(), params))
        return 1;
    if (!check_run_options(params, options)) return 1;
    const std::string heading = mapfile_heading(argc, argv);
    RunReport report = start_report(params, command_line.positional);
    RunReport* kept = options.report_path.empty() ? nullptr : &report;
    int exit_code = params.binary_card ? run_binary_card(params, options, heading, kept)
                                       : run_text_card(params, options, heading, kept);
    if (kept != nullptr) {
        report.exit_code = exit_code;
        if (!write_report_file(options.report_path, report)) {
            say("Cannot write report file.\n");
            exit_code = 1;
        }
    }
    return exit_code;
}

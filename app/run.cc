#include "app/run.h"

#include <utility>

#include "app/arguments.h"
#include "services/console.h"
#include "binarycard/sector_scan.h"
#include "binarycard/upload_writer.h"
#include "platform/platform.h"
#include "textcard/day_sort.h"
#include "textcard/text_scan.h"

namespace {

int run_binary_card(const RunParams& params)
{
    const std::unique_ptr<CardVolume> volume = platform::open_card_volume(params.volume_path);
    if (!volume) {
        say("Cannot open card.\n");
        return 1;
    }
    const std::unique_ptr<KeySource> keys = platform::open_console_keys();
    UploadWriter writer = make_upload_writer(params.identifier, "", platform::system_clock());
    return scan_binary_card(*volume, params.start_bound, params.end_bound, *keys, writer);
}

// The lock file of a directory of day files; its name is never that of a day file, and it stays.
constexpr const char* day_file_lock_name = "RecoverQelSD.lock";
// How often a waiting run tries the lock again.
constexpr int lock_retry_milliseconds = 100;

// Locks the current directory for a text run, so that no other run appends to or rewrites a
// day file until this one has sorted them; waits while another run holds it. Where the
// directory cannot be locked at all, the run goes on without. False when Ctrl-C ended the wait.
bool lock_day_file_directory(DirectoryLock*& lock)
{
    LockResult result = platform::try_lock_directory("", day_file_lock_name, lock);
    if (result != LockResult::busy) return true;
    say("Waiting for another run in this directory...\n");
    while (result == LockResult::busy) {
        if (platform::interrupt_requested()) {
            say("Processing terminated\n");
            return false;
        }
        platform::wait_milliseconds(lock_retry_milliseconds);
        result = platform::try_lock_directory("", day_file_lock_name, lock);
    }
    return true;
}

// Scans the card into day files and sorts them; returns the exit code.
int scan_and_sort(std::unique_ptr<CardVolume> volume, const RunParams& params)
{
    const int scanned = scan_text_card(*volume, params.start_bound, params.end_bound, TextScanSetup{});
    // The card is read to its end and closed before the day files are sorted.
    volume.reset();
    if (scanned == text_scan_failed) return 1;
    // What could be read is sorted even when some sectors could not.
    if (sort_day_files(DaySortSetup{}) != 0) return 1;
    say("Finished.      \n");
    return scanned == text_scan_complete ? 0 : 1;
}

int run_text_card(const RunParams& params)
{
    std::unique_ptr<CardVolume> volume = platform::open_card_volume(params.volume_path);
    if (!volume) {
        say("Cannot open card.\n");
        return 1;
    }
    DirectoryLock* lock = nullptr;
    if (!lock_day_file_directory(lock)) return 1;
    const int result = scan_and_sort(std::move(volume), params);
    platform::release_directory_lock(lock);
    return result;
}

}  // namespace

int run_program(int argc, const char* const* argv)
{
    platform::prepare_process();
    say("RecoverQelSD V%d.%02d - recovers logged records from data logger SD cards\n\n",
        RECOVERQELSD_VERSION_MAJOR, RECOVERQELSD_VERSION_MINOR);
    RunParams params;
    if (!check_arguments(argc, argv, params)) return 1;
    return params.binary_card ? run_binary_card(params) : run_text_card(params);
}

// The seam between the recovery logic and the operating system. Everything
// that touches a device, a file, the clock, the keyboard or the console is
// declared here; platform/posix.cc and platform/windows.cc implement it.
// The card logic sees only these declarations, so tests can hand it an
// in-memory volume, a fixed clock and scripted keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

// A card volume: a readable byte stream over a whole raw volume or image.
class CardVolume {
public:
    virtual ~CardVolume() = default;
    // Moves the read position to byte `offset`; false when the volume refuses.
    virtual bool seek(std::uint64_t offset) = 0;
    // Reads up to `size` bytes, looping on short reads; fewer only at the end, or on an error, which sets `error`.
    virtual std::size_t read(void* buffer, std::size_t size, bool& error) = 0;
    // Gives the volume's length in bytes; false when it cannot tell.
    virtual bool length(std::uint64_t& bytes) = 0;
    // Reads up to `size` bytes at `offset` past any cache, so that a failure costs no more than the device's
    // own sectors that it touches; sets `error` on a failure. The read position is unknown afterwards.
    virtual std::size_t read_alone(std::uint64_t offset, void* buffer, std::size_t size, bool& error)
    {
        if (!seek(offset)) {
            error = true;
            return 0;
        }
        return read(buffer, size, error);
    }
};

// A source of key presses that never waits.
class KeySource {
public:
    virtual ~KeySource() = default;
    // Returns the code of the next pending key, or -1 when no key is pending.
    virtual int next_key() = 0;
    // True once the operator has asked the program to stop (Ctrl-C).
    virtual bool interrupted();
};

// The wall clock, in seconds since 1970-01-01 00:00:00 UTC.
class Clock {
public:
    virtual ~Clock() = default;
    // Returns the current time in whole seconds since the epoch.
    virtual std::int64_t now() = 0;
};

// An output file opened by the platform layer.
struct OutputFile;

// An input file opened by the platform layer.
struct InputFile;

// How an attempt to create a new file ended.
enum class CreateResult { created, exists, failed };

// A drive or device that can hold a card, as the drive list shows it.
struct DriveInfo {
    std::string path;          // what to name on the command line: "E:", "\\.\PhysicalDrive1", "/dev/sdb"
    std::string type;          // "removable", "fixed", "network", ... for drive letters; "disk" or "partition" otherwise
    bool size_known = false;
    std::uint64_t size = 0;    // bytes
    int removable = -1;        // 1 removable, 0 not, -1 unknown
    std::string label;         // the volume label; empty when none or unknown
    std::string file_system;   // e.g. "FAT32"; empty when unknown
    std::string model;         // the device's model name; empty when unknown
};
// An exclusive lock on a directory, taken through a lock file in it.
struct DirectoryLock;

// How an attempt to lock a directory ended: taken, held by another process, or not to be had there.
enum class LockResult { locked, busy, unavailable };

namespace platform {

// Tells the processor that the calling thread is looking, in a loop, for another thread's
// step, so that the loop takes less from the processor and from a thread that shares its core.
inline void pause_in_wait_loop()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Returns `size` bytes (at least one) of fresh memory starting on a page boundary, taken straight from the
// system so that freeing it gives it back; nullptr when there is none.
void* allocate_pages(std::size_t size);

// Gives back memory of `size` bytes that allocate_pages returned.
void free_pages(void* pages, std::size_t size);

// Prepares the process at start: Ctrl-C asks for a stop in good order, and a write beyond a
// file size limit fails with an error instead of ending the process.
void prepare_process();

// True once the operator has interrupted the program (Ctrl-C, SIGTERM, console close).
bool interrupt_requested();

// Tells a handler of a closing console, which holds the process open meanwhile, that every file is closed.
void files_closed();

// Waits about `milliseconds`; an interrupt may end the wait early.
void wait_milliseconds(int milliseconds);

// Writes `size` bytes to standard output; flushes at once when `flush` is set.
void write_stdout(const char* text, std::size_t size, bool flush);

// Opens the volume or image at `path` for raw reading; nullptr when it cannot.
std::unique_ptr<CardVolume> open_card_volume(const std::string& path);

// True when `path` names an existing file or device that is not a directory.
bool is_volume_file(const std::string& path);

// Returns local standard-time midnight (no daylight saving) of the day, in epoch seconds.
std::int64_t local_standard_midnight(int year, int month, int day);

// Fills `fields` with the UTC calendar fields of `seconds`; false when it cannot convert.
bool utc_calendar(std::int64_t seconds, std::tm& fields);

// Returns the system clock.
Clock& system_clock();

// Returns the console keyboard; while it lives, keys are read without echo or waiting.
std::unique_ptr<KeySource> open_console_keys();

// Creates `name` in directory `dir` (empty: the current one) for output of bytes unchanged
// (line ends included), never replacing a file.
OutputFile* create_new_file(const std::string& dir, const std::string& name, CreateResult& result);

// Writes all `size` bytes to `file`; when they cannot all be written (a full disk), keeps as many
// of their whole lines as fit, never part of one, and returns false.
bool write_file(OutputFile* file, const char* data, std::size_t size);

// Flushes and closes `file`; false when anything written could not be stored.
bool close_file(OutputFile* file);

// Opens `name` in `dir` (empty: the current one) for appending bytes unchanged, creating it when missing; nullptr when it cannot.
OutputFile* open_append_file(const std::string& dir, const std::string& name);

// Gives the length in bytes of the open output file `file`; false when it cannot tell.
bool output_file_length(OutputFile* file, std::uint64_t& bytes);

// Forces everything written to `file` onto the storage device; false when it cannot.
bool sync_file(OutputFile* file);

// Returns the names of the entries in `dir` (directories included) that the platform's wildcard search yields for `pattern`, unordered; empty when none match or `dir` cannot be searched.
std::vector<std::string> find_entries(const std::string& dir, const char* pattern);

// Opens `name` in `dir` for reading its bytes unchanged; nullptr when it cannot or when it is no regular file.
InputFile* open_input_file(const std::string& dir, const std::string& name);

// Gives the length in bytes of the open file `file`; false when it cannot tell.
bool input_file_length(InputFile* file, std::uint64_t& bytes);

// Reads up to `size` bytes of `file` into `buffer`, looping on short reads; fewer only at the end of
// the file, or on a read error, which sets `error`.
std::size_t read_input_file(InputFile* file, char* buffer, std::size_t size, bool& error);

// Closes `file`.
void close_input_file(InputFile* file);

// True when `name` in `dir` can be opened for writing; the check leaves the file as it was.
bool can_open_for_writing(const std::string& dir, const std::string& name);

// Creates `name` in `dir` for binary output with the permissions of the file `model` there, never replacing a file.
OutputFile* create_new_file_like(const std::string& dir, const std::string& name, const std::string& model,
                                 CreateResult& result);

// Renames `from` over `to` in `dir` in one step, so that `to` holds either its old or its new content; false when it cannot.
bool replace_file(const std::string& dir, const std::string& from, const std::string& to);

// Deletes the file `name` in `dir`; false when it cannot.
bool remove_file(const std::string& dir, const std::string& name);

// Writes all `size` bytes at byte `offset` of `file`; false when any byte could not be written.
bool write_file_at(OutputFile* file, std::uint64_t offset, const char* data, std::size_t size);

// Sets the length of `file` to `size` bytes, cutting it or extending it with zeros; false when it cannot.
bool set_file_size(OutputFile* file, std::uint64_t size);

// Returns a clock in whole seconds that never goes back, for measuring intervals.
Clock& steady_clock();
// True when `path` names an existing directory.
bool is_directory(const std::string& path);

// Returns the drives and block devices of the machine that can hold a card, in the system's order.
std::vector<DriveInfo> list_drives();
// Tries once, without waiting, to lock `dir` (empty: the current one) through the file `name` in it, which
// is created when missing and left in place; sets `lock` when locked. The lock ends with the process at the latest.
LockResult try_lock_directory(const std::string& dir, const std::string& name, DirectoryLock*& lock);

// Releases `lock`.
void release_directory_lock(DirectoryLock* lock);

}  // namespace platform

inline bool KeySource::interrupted()
{
    return platform::interrupt_requested();
}

// The platform layer on Linux and other POSIX systems.
#include "platform/platform.h"
#include "platform/line_writes.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <deque>

#include <dirent.h>
#ifdef __linux__
#include <linux/fs.h>
#endif

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

struct OutputFile {
    int fd;
};

struct InputFile {
    int fd;
};

struct DirectoryLock {
    int fd;
};

namespace platform {

void* allocate_pages(std::size_t size)
{
    void* pages = ::mmap(nullptr, size == 0 ? 1 : size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

void free_pages(void* pages, std::size_t size)
{
    if (pages != nullptr) ::munmap(pages, size == 0 ? 1 : size);
}

void write_stdout(const char* text, std::size_t size, bool flush)
{
    std::fwrite(text, 1, size, stdout);
    if (flush) std::fflush(stdout);
}

namespace {

// Writes as much of `data` as the file takes, retrying on interrupted and partial writes; returns how much.
std::size_t write_all(int fd, const char* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// Frees memory from posix_memalign.
struct FreeMemory {
    void operator()(void* p) const { std::free(p); }
};

class FileVolume final : public CardVolume {
public:
    // `direct_fd` reads the same device past the page cache, or is -1; `sector` is its logical sector size.
    FileVolume(int fd, int direct_fd, std::size_t sector) : fd_(fd), direct_fd_(direct_fd), sector_(sector)
    {
        // The end of a file or block device, found once; the read position stays at 0.
        const off_t end = ::lseek(fd_, 0, SEEK_END);
        length_known_ = end != static_cast<off_t>(-1) && ::lseek(fd_, 0, SEEK_SET) == 0;
        length_ = length_known_ ? static_cast<std::uint64_t>(end) : 0;
    }
    ~FileVolume() override
    {
        ::close(fd_);
        if (direct_fd_ >= 0) ::close(direct_fd_);
    }

    bool seek(std::uint64_t offset) override
    {
        return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1);
    }

    std::size_t read(void* buffer, std::size_t size, bool& error) override
    {
        auto* out = static_cast<char*>(buffer);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::read(fd_, out + done, size - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) error = true;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        return done;
    }

    bool length(std::uint64_t& bytes) override
    {
        bytes = length_;
        return length_known_;
    }

    // A block device read through the page cache fails a whole page when one of its
    // sectors fails; reading the device's own sectors directly loses only those.
    std::size_t read_alone(std::uint64_t offset, void* buffer, std::size_t size, bool& error) override
    {
        if (direct_fd_ < 0 || size == 0) return CardVolume::read_alone(offset, buffer, size, error);
        const std::uint64_t first = offset - offset % sector_;
        const std::uint64_t last = (offset + size + sector_ - 1) / sector_ * sector_;
        const std::size_t span = static_cast<std::size_t>(last - first);
        if (span > direct_capacity_) {
            void* memory = nullptr;
            if (::posix_memalign(&memory, std::max<std::size_t>(sector_, 4096), span) != 0) {
                return CardVolume::read_alone(offset, buffer, size, error);
            }
            direct_buffer_.reset(static_cast<char*>(memory));
            direct_capacity_ = span;
        }
        ssize_t got;
        do {
            got = ::pread(direct_fd_, direct_buffer_.get(), span, static_cast<off_t>(first));
        } while (got < 0 && errno == EINTR);
        if (got < 0 && errno == EINVAL) {
            // The device refuses direct reads after all: read through the cache from now on.
            ::close(direct_fd_);
            direct_fd_ = -1;
            return CardVolume::read_alone(offset, buffer, size, error);
        }
        if (got < 0) {
            error = true;
            return 0;
        }
        const std::size_t skip = static_cast<std::size_t>(offset - first);
        const std::size_t n = static_cast<std::size_t>(got) > skip ? std::min(size, static_cast<std::size_t>(got) - skip) : 0;
        std::memcpy(buffer, direct_buffer_.get() + skip, n);
        return n;
    }

private:
    int fd_;
    int direct_fd_;
    std::size_t sector_;
    std::unique_ptr<char, FreeMemory> direct_buffer_;
    std::size_t direct_capacity_ = 0;
    std::uint64_t length_ = 0;
    bool length_known_ = false;
};

// Opens a second descriptor of the block device `path` that reads past the page cache,
// and gives the device's logical sector size; -1 where the device or the system offers none.
int open_direct(const std::string& path, std::size_t& sector)
{
#if defined(__linux__) && defined(O_DIRECT) && defined(BLKSSZGET)
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    if (fd < 0) return -1;
    int size = 0;
    if (::ioctl(fd, BLKSSZGET, &size) != 0 || size <= 0 || (size & (size - 1)) != 0) {
        ::close(fd);
        return -1;
    }
    sector = static_cast<std::size_t>(size);
    return fd;
#else
    static_cast<void>(path);
    static_cast<void>(sector);
    return -1;
#endif
}

}  // namespace

std::unique_ptr<CardVolume> open_card_volume(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::size_t sector = 512;
    const int direct_fd = S_ISBLK(st.st_mode) ? open_direct(path, sector) : -1;
    return std::make_unique<FileVolume>(fd, direct_fd, sector);
}

bool is_volume_file(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

namespace {

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
std::int64_t days_since_epoch(int year, int month, int day)
{
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int year_of_era = y - era * 400;
    const int day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return static_cast<std::int64_t>(era) * 146097 + day_of_era - 719468;
}

struct LocalOffset {
    long seconds_east = 0;
    bool daylight_saving = false;
};

LocalOffset local_offset_at(std::int64_t seconds)
{
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm fields{};
    if (::localtime_r(&t, &fields) == nullptr) return {};
    return {fields.tm_gmtoff, fields.tm_isdst > 0};
}

}  // namespace

// The standard time of a zone is the smaller of its two offsets: daylight saving always
// moves clocks forward, as Windows sees every zone. Some zones are described the other way
// round (Irish summer time as the standard, winter as a negative saving), so the saving flag
// alone does not tell. The offsets of the months around the day, taken where the saving flag
// differs from the day's own, give the other half of the zone's year.
std::int64_t local_standard_midnight(int year, int month, int day)
{
    constexpr std::int64_t day_seconds = 86400;
    constexpr std::int64_t month_seconds = 30 * day_seconds;
    const std::int64_t utc_midnight = days_since_epoch(year, month, day) * day_seconds;
    const std::int64_t noon = utc_midnight + day_seconds / 2;
    const LocalOffset here = local_offset_at(noon);
    long standard = here.seconds_east;
    for (int months = -6; months <= 6; ++months) {
        const LocalOffset there = local_offset_at(noon + months * month_seconds);
        // Only a change of saving counts, not a zone's move to another standard time.
        if (there.daylight_saving != here.daylight_saving) standard = std::min(standard, there.seconds_east);
    }
    return utc_midnight - standard;
}

bool utc_calendar(std::int64_t seconds, std::tm& fields)
{
    const std::time_t t = static_cast<std::time_t>(seconds);
    return ::gmtime_r(&t, &fields) != nullptr;
}

namespace {

class SystemClock final : public Clock {
public:
    std::int64_t now() override { return static_cast<std::int64_t>(std::time(nullptr)); }
};

// The terminal settings to restore. They live at file scope because the
// signal handler below must reach them.
struct termios saved_terminal;
volatile std::sig_atomic_t terminal_changed = 0;

// Ctrl-C and SIGTERM are handled by the interrupt handler below; these others end
// or stop the process, so the terminal is put back first.
const int restoring_signals[] = {SIGHUP, SIGQUIT, SIGTSTP};
struct sigaction previous_actions[sizeof restoring_signals / sizeof restoring_signals[0]];

termios raw_terminal_settings(const termios& cooked)
{
    termios raw = cooked;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    return raw;
}

// Puts the terminal back before the process dies or stops, and takes the
// raw mode up again when a stopped process is continued in the foreground.
extern "C" void restore_terminal_on_signal(int sig)
{
    const int saved_errno = errno;
    if (terminal_changed) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
    if (sig == SIGTSTP) {
        ::raise(SIGSTOP);
        if (terminal_changed && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp()) {
            const termios raw = raw_terminal_settings(saved_terminal);
            ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        }
        errno = saved_errno;
        return;
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
    errno = saved_errno;
}

// Set by the first Ctrl-C or SIGTERM; the scans poll it and stop in good order.
volatile std::sig_atomic_t interrupt_seen = 0;

// The first interrupt only asks the scan to stop; a second one ends the process at
// once, as the operator then wants, with the terminal put back first.
extern "C" void note_interrupt(int sig)
{
    if (!interrupt_seen) {
        interrupt_seen = 1;
        return;
    }
    if (terminal_changed) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Keys from a terminal in the foreground, read without echo and without waiting.
class TerminalKeys final : public KeySource {
public:
    TerminalKeys()
    {
        if (!::isatty(STDIN_FILENO) || ::tcgetpgrp(STDIN_FILENO) != ::getpgrp()) return;
        if (::tcgetattr(STDIN_FILENO, &saved_terminal) != 0) return;
        struct sigaction action {};
        action.sa_handler = restore_terminal_on_signal;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < std::size(restoring_signals); ++i)
            ::sigaction(restoring_signals[i], &action, &previous_actions[i]);
        const termios raw = raw_terminal_settings(saved_terminal);
        terminal_changed = 1;
        active_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }

    ~TerminalKeys() override
    {
        if (!terminal_changed) return;
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
        terminal_changed = 0;
        for (std::size_t i = 0; i < std::size(restoring_signals); ++i)
            ::sigaction(restoring_signals[i], &previous_actions[i], nullptr);
    }

    int next_key() override
    {
        if (!active_) return -1;
        read_pending_bytes();
        if (pending_.empty()) return -1;
        const int key = pending_.front();
        pending_.pop_front();
        if (key == 27 && drop_escape_sequence_tail()) return sequence_key;
        return key;
    }

private:
    void read_pending_bytes()
    {
        unsigned char bytes[64];
        for (;;) {
            const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
            if (n <= 0) return;
            pending_.insert(pending_.end(), bytes, bytes + n);
        }
    }

    // A cursor or function key arrives as ESC '[' ... final byte, or ESC 'O' x.
    // It is one key, not Escape, so its tail is taken from the queue with it.
    // Returns true when the ESC just taken began such a sequence.
    bool drop_escape_sequence_tail()
    {
        if (pending_.empty()) return false;
        const unsigned char introducer = pending_.front();
        if (introducer == 'O') {
            pending_.pop_front();
            if (!pending_.empty()) pending_.pop_front();
            return true;
        }
        if (introducer != '[') return false;
        pending_.pop_front();
        while (!pending_.empty()) {
            const unsigned char b = pending_.front();
            pending_.pop_front();
            if (b >= 0x40 && b <= 0x7E) break;
        }
        return true;
    }

    // The code reported for a whole escape sequence: any value but Escape's.
    static constexpr int sequence_key = 0x100;

    bool active_ = false;
    std::deque<unsigned char> pending_;
};

}  // namespace

void prepare_process()
{
    // A write beyond a file size limit must fail with an error, not end the process.
    ::signal(SIGXFSZ, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = note_interrupt;
    sigemptyset(&action.sa_mask);
    for (const int sig : {SIGINT, SIGTERM}) {
        // A signal ignored when the program starts (a background job of a script) stays ignored.
        struct sigaction current {};
        if (::sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        ::sigaction(sig, &action, nullptr);
    }
}

bool interrupt_requested()
{
    return interrupt_seen != 0;
}

void files_closed() {}

void wait_milliseconds(int milliseconds)
{
    struct timespec wait {};
    wait.tv_sec = milliseconds / 1000;
    wait.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    ::nanosleep(&wait, nullptr);
}

Clock& system_clock()
{
    static SystemClock clock;
    return clock;
}

std::unique_ptr<KeySource> open_console_keys()
{
    return std::make_unique<TerminalKeys>();
}

OutputFile* create_new_file(const std::string& dir, const std::string& name, CreateResult& result)
{
    const std::string path = dir.empty() ? name : dir + "/" + name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        result = errno == EEXIST ? CreateResult::exists : CreateResult::failed;
        return nullptr;
    }
    result = CreateResult::created;
    return new OutputFile{fd};
}

bool write_file(OutputFile* file, const char* data, std::size_t size)
{
    struct stat st {};
    const bool known = ::fstat(file->fd, &st) == 0;
    if (write_all(file->fd, data, size) == size) return true;
    // A full disk takes part of a large write, or refuses it whole while smaller ones still fit.
    // The file is cut back to where it was and the lines written again one at a time, so that
    // it keeps every whole line that fits and never part of one.
    if (!known || ::ftruncate(file->fd, st.st_size) != 0 || ::lseek(file->fd, st.st_size, SEEK_SET) < 0) return false;
    const std::size_t lines = write_line_by_line(
        data, size, [file](const char* line, std::size_t length) { return write_all(file->fd, line, length); });
    if (lines == size) return true;
    const off_t keep = st.st_size + static_cast<off_t>(lines);
    if (::ftruncate(file->fd, keep) == 0) ::lseek(file->fd, keep, SEEK_SET);
    return false;
}

bool close_file(OutputFile* file)
{
    const bool ok = ::close(file->fd) == 0;
    delete file;
    return ok;
}

namespace {

std::string path_in(const std::string& dir, const std::string& name)
{
    return dir.empty() ? name : dir + "/" + name;
}

// Wildcard match where '?' stands for exactly one byte and every other byte for itself.
bool matches_pattern(const char* name, const char* pattern)
{
    for (; *pattern != '\0'; ++name, ++pattern) {
        if (*name == '\0') return false;
        if (*pattern != '?' && *pattern != *name) return false;
    }
    return *name == '\0';
}

}  // namespace

OutputFile* open_append_file(const std::string& dir, const std::string& name)
{
    const int fd = ::open(path_in(dir, name).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    return fd < 0 ? nullptr : new OutputFile{fd};
}

bool output_file_length(OutputFile* file, std::uint64_t& bytes)
{
    struct stat st {};
    if (::fstat(file->fd, &st) != 0 || st.st_size < 0) return false;
    bytes = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool sync_file(OutputFile* file)
{
    return ::fsync(file->fd) == 0;
}

std::vector<std::string> find_entries(const std::string& dir, const char* pattern)
{
    std::vector<std::string> names;
    DIR* listing = ::opendir(dir.empty() ? "." : dir.c_str());
    if (listing == nullptr) return names;
    while (const dirent* entry = ::readdir(listing))
        if (matches_pattern(entry->d_name, pattern)) names.emplace_back(entry->d_name);
    ::closedir(listing);
    return names;
}

InputFile* open_input_file(const std::string& dir, const std::string& name)
{
    // Non-blocking, so that a FIFO of that name cannot stall the open; it is refused below.
    const int fd = ::open(path_in(dir, name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    return new InputFile{fd};
}

bool input_file_length(InputFile* file, std::uint64_t& bytes)
{
    struct stat st {};
    if (::fstat(file->fd, &st) != 0 || st.st_size < 0) return false;
    bytes = static_cast<std::uint64_t>(st.st_size);
    return true;
}

std::size_t read_input_file(InputFile* file, char* buffer, std::size_t size, bool& error)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(file->fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = true;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void close_input_file(InputFile* file)
{
    ::close(file->fd);
    delete file;
}

bool can_open_for_writing(const std::string& dir, const std::string& name)
{
    const int fd = ::open(path_in(dir, name).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

OutputFile* create_new_file_like(const std::string& dir, const std::string& name, const std::string& model,
                                 CreateResult& result)
{
    result = CreateResult::failed;
    struct stat st {};
    if (::stat(path_in(dir, model).c_str(), &st) != 0) return nullptr;
    const std::string path = path_in(dir, name);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST) result = CreateResult::exists;
        return nullptr;
    }
    // Owner first, since a change of owner clears set-id bits. Only a privileged run
    // can give the file to another owner; otherwise it stays with the one who runs.
    if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) static_cast<void>(!::fchown(fd, st.st_uid, st.st_gid));
    if (::fchmod(fd, st.st_mode & 07777) != 0) {
        ::close(fd);
        ::unlink(path.c_str());
        return nullptr;
    }
    result = CreateResult::created;
    return new OutputFile{fd};
}

bool replace_file(const std::string& dir, const std::string& from, const std::string& to)
{
    return ::rename(path_in(dir, from).c_str(), path_in(dir, to).c_str()) == 0;
}

bool remove_file(const std::string& dir, const std::string& name)
{
    return ::unlink(path_in(dir, name).c_str()) == 0;
}

bool write_file_at(OutputFile* file, std::uint64_t offset, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(file->fd, data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool set_file_size(OutputFile* file, std::uint64_t size)
{
    return ::ftruncate(file->fd, static_cast<off_t>(size)) == 0;
}

namespace {

class SteadyClock final : public Clock {
public:
    std::int64_t now() override
    {
        timespec t{};
        ::clock_gettime(CLOCK_MONOTONIC, &t);
        return static_cast<std::int64_t>(t.tv_sec);
    }
};

}  // namespace

Clock& steady_clock()
{
    static SteadyClock clock;
    return clock;
}


bool is_directory(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

// The first line of the small attribute file `path`, without trailing blanks; empty when it cannot be read.
std::string read_attribute(const std::string& path)
{
    std::string text;
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return text;
    char line[256];
    if (std::fgets(line, sizeof line, file) != nullptr) text = line;
    std::fclose(file);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) text.pop_back();
    return text;
}

// The names in directory `path`, sorted, without "." and "..".
std::vector<std::string> directory_names(const std::string& path)
{
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Fills the size of the block device whose sysfs directory is `sys`: its "size" counts 512-byte units.
void read_block_size(const std::string& sys, DriveInfo& drive)
{
    const std::string size = read_attribute(sys + "/size");
    if (size.empty()) return;
    char* end = nullptr;
    const unsigned long long units = std::strtoull(size.c_str(), &end, 10);
    if (end == size.c_str()) return;
    drive.size_known = true;
    drive.size = units * 512;
}

}  // namespace

std::vector<DriveInfo> list_drives()
{
    const std::string root = "/sys/block";
    std::vector<DriveInfo> drives;
    for (const std::string& name : directory_names(root)) {
        const std::string sys = root + "/" + name;
        DriveInfo disk;
        disk.path = "/dev/" + name;
        disk.type = "disk";
        read_block_size(sys, disk);
        const std::string removable = read_attribute(sys + "/removable");
        if (!removable.empty()) disk.removable = removable == "1" ? 1 : 0;
        disk.model = read_attribute(sys + "/device/model");
        drives.push_back(disk);
        // A partition is a subdirectory that has a "partition" attribute.
        for (const std::string& part : directory_names(sys)) {
            const std::string part_sys = sys + "/" + part;
            if (read_attribute(part_sys + "/partition").empty()) continue;
            DriveInfo partition;
            partition.path = "/dev/" + part;
            partition.type = "partition";
            read_block_size(part_sys, partition);
            partition.removable = disk.removable;
            drives.push_back(partition);
        }
    }
    return drives;
}

LockResult try_lock_directory(const std::string& dir, const std::string& name, DirectoryLock*& lock)
{
    lock = nullptr;
    // Read-only is enough for a lock, so a lock file made by another user serves as well.
    const int fd = ::open(path_in(dir, name).c_str(), O_RDONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return LockResult::unavailable;
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        lock = new DirectoryLock{fd};
        return LockResult::locked;
    }
    const bool busy = errno == EWOULDBLOCK;
    ::close(fd);
    return busy ? LockResult::busy : LockResult::unavailable;
}

void release_directory_lock(DirectoryLock* lock)
{
    if (lock == nullptr) return;
    ::close(lock->fd);
    delete lock;
}

}  // namespace platform

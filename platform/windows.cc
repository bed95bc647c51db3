// The platform layer on Windows: the C runtime's calls, and Win32 for raw volumes.
#include "platform/platform.h"
#include "platform/line_writes.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#include <winioctl.h>

struct OutputFile {
    int fd;
};

struct InputFile {
    int fd;
};

struct DirectoryLock {
    HANDLE handle;
};

namespace platform {

namespace {

// Set by the first Ctrl-C, Ctrl-Break or console close; the scans poll it and stop in good order.
volatile LONG interrupt_seen = 0;

// Set by the main thread once every file of the run is closed; a closing console waits for it.
HANDLE files_closed_event = nullptr;

// How long a closing console is held open for the files to be closed: within the five
// seconds Windows grants before it ends the process.
constexpr DWORD close_wait_milliseconds = 4000;

// The first interrupt only asks the scan to stop; for a second Ctrl-C the default
// handling ends the process at once. When the console closes, or the user logs off or the
// system shuts down, the process ends as soon as this returns, so it waits until the main
// thread has stopped and closed its files, buffered lines written.
BOOL WINAPI note_interrupt(DWORD event)
{
    const bool first = InterlockedExchange(&interrupt_seen, 1) == 0;
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        if (files_closed_event != nullptr) WaitForSingleObject(files_closed_event, close_wait_milliseconds);
        return TRUE;
    }
    return first ? TRUE : FALSE;
}

}  // namespace

void prepare_process()
{
    files_closed_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(note_interrupt, TRUE);
}

bool interrupt_requested()
{
    return interrupt_seen != 0;
}

void files_closed()
{
    if (files_closed_event != nullptr) SetEvent(files_closed_event);
}

void wait_milliseconds(int milliseconds)
{
    Sleep(static_cast<DWORD>(milliseconds));
}

void* allocate_pages(std::size_t size)
{
    return VirtualAlloc(nullptr, size == 0 ? 1 : size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void free_pages(void* pages, std::size_t)
{
    if (pages != nullptr) VirtualFree(pages, 0, MEM_RELEASE);
}

void write_stdout(const char* text, std::size_t size, bool flush)
{
    std::fwrite(text, 1, size, stdout);
    if (flush) std::fflush(stdout);
}

namespace {

// Reads a raw volume, a disk or an image file through one handle. Raw volumes and
// disks take only whole sectors at sector-aligned offsets into aligned memory, so
// every read of the handle is a multiple of `alignment` bytes at such an offset,
// into a page-aligned buffer, and callers are served from that buffer.
class HandleVolume final : public CardVolume {
public:
    HandleVolume(HANDLE handle, std::uint64_t length, bool length_known)
        : handle_(handle), length_(length), length_known_(length_known),
          buffer_(static_cast<char*>(VirtualAlloc(nullptr, chunk, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)))
    {
    }

    ~HandleVolume() override
    {
        if (buffer_ != nullptr) VirtualFree(buffer_, 0, MEM_RELEASE);
        CloseHandle(handle_);
    }

    bool valid() const { return buffer_ != nullptr; }

    bool length(std::uint64_t& bytes) override
    {
        bytes = length_;
        return length_known_;
    }

    bool seek(std::uint64_t offset) override
    {
        const std::uint64_t aligned = offset - offset % alignment;
        LARGE_INTEGER position;
        position.QuadPart = static_cast<LONGLONG>(aligned);
        if (!SetFilePointerEx(handle_, position, nullptr, FILE_BEGIN)) return false;
        handle_offset_ = aligned;
        begin_ = end_ = 0;
        skip_ = static_cast<std::size_t>(offset - aligned);
        ended_ = false;
        return true;
    }

    std::size_t read(void* buffer, std::size_t size, bool& error) override
    {
        auto* out = static_cast<char*>(buffer);
        std::size_t done = 0;
        while (done < size) {
            if (begin_ == end_ && !fill(size - done, error)) break;
            const std::size_t n = std::min(size - done, end_ - begin_);
            std::memcpy(out + done, buffer_ + begin_, n);
            begin_ += n;
            done += n;
        }
        return done;
    }

private:
    static constexpr std::size_t chunk = 4u << 20;
    // Raw volumes take whole sectors at sector offsets: every handle read keeps to these.
    static constexpr std::size_t alignment = 512;

    // Reads into the buffer what serves the next `wanted` bytes, in whole sectors and at most
    // one chunk; false at the end of the volume, or on a failure, which sets `error`.
    bool fill(std::size_t wanted, bool& error)
    {
        while (!ended_) {
            // Small requests stay small, so that reading one sector alone touches no other sector.
            const std::size_t span = skip_ + wanted;
            DWORD request = static_cast<DWORD>(std::min(chunk, (span + alignment - 1) / alignment * alignment));
            if (length_known_) {
                if (handle_offset_ >= length_) break;
                // A device's length is a whole number of sectors, so this stays a sector multiple.
                request = static_cast<DWORD>(std::min<std::uint64_t>(request, length_ - handle_offset_));
            }
            DWORD got = 0;
            if (!ReadFile(handle_, buffer_, request, &got, nullptr)) {
                // Past the end is the end; any other failure is the caller's to handle.
                if (GetLastError() == ERROR_HANDLE_EOF) break;
                error = true;
                return false;
            }
            // Short of the known length, an empty read is a failure, and a short one is no end.
            if (got == 0 && length_known_ && handle_offset_ < length_) {
                error = true;
                return false;
            }
            if (got == 0) break;
            handle_offset_ += got;
            begin_ = skip_ < got ? skip_ : got;
            skip_ -= begin_;
            end_ = got;
            if (got < request && !(length_known_ && handle_offset_ < length_)) ended_ = true;
            if (begin_ < end_) return true;
        }
        ended_ = true;
        return false;
    }

    HANDLE handle_;
    std::uint64_t length_;
    bool length_known_;
    char* buffer_;
    std::uint64_t handle_offset_ = 0;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::size_t skip_ = 0;
    bool ended_ = false;
};

// The byte length of an open volume, disk or file; false when the handle cannot tell.
bool volume_length(HANDLE handle, std::uint64_t& length)
{
    GET_LENGTH_INFORMATION info{};
    DWORD returned = 0;
    if (DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info, &returned, nullptr)) {
        length = static_cast<std::uint64_t>(info.Length.QuadPart);
        return true;
    }
    LARGE_INTEGER size{};
    if (GetFileSizeEx(handle, &size)) {
        length = static_cast<std::uint64_t>(size.QuadPart);
        return true;
    }
    return false;
}

class SystemClock final : public Clock {
public:
    std::int64_t now() override { return static_cast<std::int64_t>(_time64(nullptr)); }
};

// Keys from the console; _getch never echoes.
class ConsoleKeys final : public KeySource {
public:
    int next_key() override { return _kbhit() ? _getch() : -1; }
};

}  // namespace

std::unique_ptr<CardVolume> open_card_volume(const std::string& path)
{
    // Shared for reading and writing: Windows keeps its own handles on a mounted volume.
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    // Lets reads reach the last sectors of a volume, beyond what its file system claims.
    DWORD returned = 0;
    DeviceIoControl(handle, FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0, &returned, nullptr);
    std::uint64_t length = 0;
    const bool length_known = volume_length(handle, length);
    auto volume = std::make_unique<HandleVolume>(handle, length, length_known);
    if (!volume->valid()) return nullptr;
    return volume;
}

bool is_volume_file(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    // Devices such as \\.\PhysicalDrive1 have no attributes; ask for a handle instead.
    const HANDLE device = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return false;
    CloseHandle(device);
    return true;
}

std::int64_t local_standard_midnight(int year, int month, int day)
{
    std::tm fields{};
    fields.tm_mday = day;
    fields.tm_mon = month - 1;
    fields.tm_year = year - 1900;
    fields.tm_isdst = 0;
    return static_cast<std::int64_t>(_mktime64(&fields));
}

bool utc_calendar(std::int64_t seconds, std::tm& fields)
{
    const __time64_t t = static_cast<__time64_t>(seconds);
    return _gmtime64_s(&fields, &t) == 0;
}

Clock& system_clock()
{
    static SystemClock clock;
    return clock;
}

std::unique_ptr<KeySource> open_console_keys()
{
    return std::make_unique<ConsoleKeys>();
}

OutputFile* create_new_file(const std::string& dir, const std::string& name, CreateResult& result)
{
    const std::string path = dir.empty() ? name : dir + "\\" + name;
    int fd = -1;
    // Binary: the caller writes CR LF itself, and the runtime hands each buffer to WriteFile
    // whole instead of translating it through a small buffer of its own.
    const errno_t error = _sopen_s(&fd, path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                                   _SH_DENYNO, _S_IREAD | _S_IWRITE);
    if (error != 0 || fd < 0) {
        result = error == EEXIST ? CreateResult::exists : CreateResult::failed;
        return nullptr;
    }
    result = CreateResult::created;
    return new OutputFile{fd};
}

namespace {

// Writes as much of `data` as the file takes; returns how much.
std::size_t write_all(int fd, const char* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const std::size_t rest = size - done;
        const unsigned chunk = rest > (1u << 30) ? (1u << 30) : static_cast<unsigned>(rest);
        const int n = _write(fd, data + done, chunk);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

}  // namespace

bool write_file(OutputFile* file, const char* data, std::size_t size)
{
    const __int64 before = _filelengthi64(file->fd);
    if (write_all(file->fd, data, size) == size) return true;
    // A full disk takes part of a large write, or refuses it whole while smaller ones still fit.
    // The file is cut back to where it was and the lines written again one at a time, so that
    // it keeps every whole line that fits and never part of one. Output files are binary, so
    // the bytes in the file are the bytes handed over.
    if (before < 0 || _chsize_s(file->fd, before) != 0 || _lseeki64(file->fd, before, SEEK_SET) < 0) return false;
    const std::size_t lines = write_line_by_line(
        data, size, [file](const char* line, std::size_t length) { return write_all(file->fd, line, length); });
    if (lines == size) return true;
    const __int64 keep = before + static_cast<__int64>(lines);
    if (_chsize_s(file->fd, keep) == 0) _lseeki64(file->fd, keep, SEEK_SET);
    return false;
}

bool close_file(OutputFile* file)
{
    const bool ok = _close(file->fd) == 0;
    delete file;
    return ok;
}

namespace {

std::string path_in(const std::string& dir, const std::string& name)
{
    return dir.empty() ? name : dir + "\\" + name;
}

// The attributes a rewritten file takes over from the one it replaces.
constexpr DWORD kept_attributes =
    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

}  // namespace

OutputFile* open_append_file(const std::string& dir, const std::string& name)
{
    int fd = -1;
    const errno_t error = _sopen_s(&fd, path_in(dir, name).c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY,
                                   _SH_DENYNO, _S_IREAD | _S_IWRITE);
    return error != 0 || fd < 0 ? nullptr : new OutputFile{fd};
}

bool output_file_length(OutputFile* file, std::uint64_t& bytes)
{
    const __int64 length = _filelengthi64(file->fd);
    if (length < 0) return false;
    bytes = static_cast<std::uint64_t>(length);
    return true;
}

bool sync_file(OutputFile* file)
{
    return _commit(file->fd) == 0;
}

std::vector<std::string> find_entries(const std::string& dir, const char* pattern)
{
    std::vector<std::string> names;
    struct _finddata64i32_t entry {};
    const intptr_t search = _findfirst64i32(path_in(dir, pattern).c_str(), &entry);
    if (search == -1) return names;
    do {
        names.emplace_back(entry.name);
    } while (_findnext64i32(search, &entry) == 0);
    _findclose(search);
    return names;
}

InputFile* open_input_file(const std::string& dir, const std::string& name)
{
    int fd = -1;
    if (_sopen_s(&fd, path_in(dir, name).c_str(), _O_RDONLY | _O_BINARY, _SH_DENYNO, 0) != 0 || fd < 0)
        return nullptr;
    struct _stat64 st {};
    if (_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
        _close(fd);
        return nullptr;
    }
    return new InputFile{fd};
}

bool input_file_length(InputFile* file, std::uint64_t& bytes)
{
    const __int64 length = _filelengthi64(file->fd);
    if (length < 0) return false;
    bytes = static_cast<std::uint64_t>(length);
    return true;
}

std::size_t read_input_file(InputFile* file, char* buffer, std::size_t size, bool& error)
{
    std::size_t done = 0;
    while (done < size) {
        const std::size_t left = size - done;
        const unsigned chunk = left > (1u << 30) ? (1u << 30) : static_cast<unsigned>(left);
        const int n = _read(file->fd, buffer + done, chunk);
        if (n < 0) error = true;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void close_input_file(InputFile* file)
{
    _close(file->fd);
    delete file;
}

bool can_open_for_writing(const std::string& dir, const std::string& name)
{
    int fd = -1;
    if (_sopen_s(&fd, path_in(dir, name).c_str(), _O_WRONLY | _O_BINARY, _SH_DENYNO, 0) != 0 || fd < 0)
        return false;
    _close(fd);
    return true;
}

OutputFile* create_new_file_like(const std::string& dir, const std::string& name, const std::string& model,
                                 CreateResult& result)
{
    result = CreateResult::failed;
    const DWORD model_attributes = GetFileAttributesA(path_in(dir, model).c_str());
    if (model_attributes == INVALID_FILE_ATTRIBUTES) return nullptr;
    const std::string path = path_in(dir, name);
    int fd = -1;
    const errno_t error = _sopen_s(&fd, path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYNO,
                                   _S_IREAD | _S_IWRITE);
    if (error != 0 || fd < 0) {
        if (error == EEXIST) result = CreateResult::exists;
        return nullptr;
    }
    const DWORD attributes = model_attributes & kept_attributes;
    if (!SetFileAttributesA(path.c_str(), attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL)) {
        _close(fd);
        _unlink(path.c_str());
        return nullptr;
    }
    result = CreateResult::created;
    return new OutputFile{fd};
}

bool replace_file(const std::string& dir, const std::string& from, const std::string& to)
{
    return MoveFileExA(path_in(dir, from).c_str(), path_in(dir, to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool remove_file(const std::string& dir, const std::string& name)
{
    return _unlink(path_in(dir, name).c_str()) == 0;
}

bool write_file_at(OutputFile* file, std::uint64_t offset, const char* data, std::size_t size)
{
    if (_lseeki64(file->fd, static_cast<__int64>(offset), SEEK_SET) < 0) return false;
    // Image bytes are no lines: a failed write is cut back by the image's writer, to whole sectors.
    return write_all(file->fd, data, size) == size;
}

bool set_file_size(OutputFile* file, std::uint64_t size)
{
    return _chsize_s(file->fd, static_cast<__int64>(size)) == 0;
}

namespace {

class SteadyClock final : public Clock {
public:
    std::int64_t now() override { return static_cast<std::int64_t>(GetTickCount64() / 1000); }
};

}  // namespace

Clock& steady_clock()
{
    static SteadyClock clock;
    return clock;
}


bool is_directory(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

namespace {

const char* drive_type_name(UINT type)
{
    switch (type) {
    case DRIVE_REMOVABLE: return "removable";
    case DRIVE_FIXED: return "fixed";
    case DRIVE_REMOTE: return "network";
    case DRIVE_CDROM: return "cd-rom";
    case DRIVE_RAMDISK: return "ram disk";
    case DRIVE_NO_ROOT_DIR: return "no volume";
    default: return "unknown";
    }
}

// Opens the device `path` for queries: with read access where allowed (for its length), else without.
HANDLE open_device(const std::string& path, bool& readable)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    readable = handle != INVALID_HANDLE_VALUE;
    if (!readable) handle = CreateFileA(path.c_str(), 0, share, nullptr, OPEN_EXISTING, 0, nullptr);
    return handle;
}

// Fills the length of the open device `handle`, when it tells it.
void query_length(HANDLE handle, DriveInfo& drive)
{
    GET_LENGTH_INFORMATION length{};
    DWORD returned = 0;
    if (DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &returned, nullptr)) {
        drive.size_known = true;
        drive.size = static_cast<std::uint64_t>(length.Length.QuadPart);
    }
}

// Fills whether the open device `handle` holds removable media, and its model name.
void query_storage(HANDLE handle, DriveInfo& drive)
{
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    alignas(8) char buffer[1024] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buffer, sizeof buffer - 1,
                         &returned, nullptr) ||
        returned < sizeof(STORAGE_DEVICE_DESCRIPTOR))
        return;
    const auto* descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer);
    drive.removable = descriptor->RemovableMedia ? 1 : 0;
    if (descriptor->ProductIdOffset != 0 && descriptor->ProductIdOffset < returned) {
        drive.model = buffer + descriptor->ProductIdOffset;
        while (!drive.model.empty() && drive.model.back() == ' ') drive.model.pop_back();
    }
}

// The drive of `letter`, with what the system tells of its volume.
DriveInfo describe_drive_letter(char letter)
{
    DriveInfo drive;
    drive.path = std::string(1, letter) + ":";
    const std::string root = drive.path + "\\";
    const UINT type = GetDriveTypeA(root.c_str());
    drive.type = drive_type_name(type);
    if (type == DRIVE_REMOVABLE) drive.removable = 1;
    if (type == DRIVE_FIXED) drive.removable = 0;
    char label[MAX_PATH + 1] = {};
    char file_system[MAX_PATH + 1] = {};
    if (GetVolumeInformationA(root.c_str(), label, sizeof label, nullptr, nullptr, nullptr, file_system,
                              sizeof file_system)) {
        drive.label = label;
        drive.file_system = file_system;
    }
    // A network share has no raw volume to ask.
    if (type == DRIVE_REMOTE) return drive;
    bool readable = false;
    const HANDLE handle = open_device("\\\\.\\" + drive.path, readable);
    if (handle != INVALID_HANDLE_VALUE) {
        if (readable) query_length(handle, drive);
        CloseHandle(handle);
    }
    ULARGE_INTEGER total{};
    if (!drive.size_known && GetDiskFreeSpaceExA(root.c_str(), nullptr, &total, nullptr)) {
        drive.size_known = true;
        drive.size = total.QuadPart;
    }
    return drive;
}

// Physical drives are numbered from 0; numbers can be left free when disks are removed.
constexpr int max_physical_drives = 32;

}  // namespace

std::vector<DriveInfo> list_drives()
{
    // A drive without media must not pop up a message box.
    const UINT previous_mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    std::vector<DriveInfo> drives;
    const DWORD letters = GetLogicalDrives();
    for (int i = 0; i < 26; ++i)
        if (letters & (DWORD{1} << i)) drives.push_back(describe_drive_letter(static_cast<char>('A' + i)));
    for (int n = 0; n < max_physical_drives; ++n) {
        DriveInfo drive;
        drive.path = "\\\\.\\PhysicalDrive" + std::to_string(n);
        drive.type = "disk";
        bool readable = false;
        const HANDLE handle = open_device(drive.path, readable);
        if (handle == INVALID_HANDLE_VALUE) continue;
        if (readable) query_length(handle, drive);
        query_storage(handle, drive);
        CloseHandle(handle);
        drives.push_back(drive);
    }
    SetErrorMode(previous_mode);
    return drives;
}

LockResult try_lock_directory(const std::string& dir, const std::string& name, DirectoryLock*& lock)
{
    lock = nullptr;
    const HANDLE handle = CreateFileA(path_in(dir, name).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LockResult::unavailable;
    OVERLAPPED whole{};
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
        lock = new DirectoryLock{handle};
        return LockResult::locked;
    }
    const DWORD error = GetLastError();
    CloseHandle(handle);
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? LockResult::busy : LockResult::unavailable;
}

void release_directory_lock(DirectoryLock* lock)
{
    if (lock == nullptr) return;
    OVERLAPPED whole{};
    UnlockFileEx(lock->handle, 0, 1, 0, &whole);
    CloseHandle(lock->handle);
    delete lock;
}

}  // namespace platform

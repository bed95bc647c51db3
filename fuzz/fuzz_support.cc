#include "fuzz/fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

bool FuzzVolume::seek(std::uint64_t offset)
{
    position = offset;
    return true;
}

std::size_t FuzzVolume::read(void* buffer, std::size_t size, bool& error)
{
    ++reads;
    if (position >= content.size()) return 0;
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, content.size() - position));
    // The read gives the bytes before the first bad sector in its way, then fails.
    const auto bad = bad_sectors.lower_bound(position / 512);
    if (bad != bad_sectors.end() && *bad * 512 < position + n) {
        n = static_cast<std::size_t>(std::max<std::uint64_t>(*bad * 512, position) - position);
        error = true;
    }
    std::memcpy(buffer, content.data() + position, n);
    position += n;
    return n;
}

bool FuzzVolume::length(std::uint64_t& bytes)
{
    bytes = content.size();
    return true;
}

namespace {

// The scratch directory of the process, removed at its exit.
struct ProcessScratch {
    ProcessScratch()
    {
        std::string pattern = (fs::temp_directory_path() / "recoverqel-fuzz-XXXXXX").string();
        require(::mkdtemp(pattern.data()) != nullptr, "cannot make a scratch directory");
        path = pattern;
    }
    ~ProcessScratch()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string path;
    bool in_use = false;
};

ProcessScratch& process_scratch()
{
    static ProcessScratch scratch;
    return scratch;
}

}  // namespace

ScratchDir::ScratchDir() : path(process_scratch().path)
{
    require(!process_scratch().in_use, "two scratch directories at once");
    process_scratch().in_use = true;
    require(fs::is_empty(path), "the scratch directory is not empty", path);
}

ScratchDir::~ScratchDir()
{
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(path, error)) fs::remove_all(entry.path(), error);
    require(!error, "cannot empty the scratch directory", path);
    process_scratch().in_use = false;
}

std::vector<std::string> entries_of(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string read_file(const std::string& dir, const std::string& name)
{
    std::ifstream in(fs::path(dir) / name, std::ios::binary);
    require(in.good(), "cannot read back a file", name);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string& dir, const std::string& name, std::string_view content)
{
    std::ofstream out(fs::path(dir) / name, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    require(out.good(), "cannot write a file", name);
}

namespace {

// Standard output is sent to this in-memory file while captured; the real one waits in saved_stdout.
int capture_fd = -1;
int saved_stdout = -1;

}  // namespace

void begin_capture()
{
    require(saved_stdout < 0, "capture started twice");
    if (capture_fd < 0) capture_fd = ::memfd_create("console", 0);
    require(capture_fd >= 0, "cannot make the capture file");
    std::fflush(stdout);
    require(::ftruncate(capture_fd, 0) == 0 && ::lseek(capture_fd, 0, SEEK_SET) == 0, "cannot empty the capture file");
    saved_stdout = ::dup(STDOUT_FILENO);
    require(saved_stdout >= 0 && ::dup2(capture_fd, STDOUT_FILENO) >= 0, "cannot capture standard output");
}

std::string end_capture()
{
    std::fflush(stdout);
    std::string text;
    char chunk[4096];
    require(::lseek(capture_fd, 0, SEEK_SET) == 0, "cannot rewind the capture file");
    for (ssize_t n; (n = ::read(capture_fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<std::size_t>(n));
    ::dup2(saved_stdout, STDOUT_FILENO);
    ::close(saved_stdout);
    saved_stdout = -1;
    return text;
}

std::string escaped(std::string_view bytes)
{
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            out += c;
        } else {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02X", byte);
            out += code;
        }
    }
    return out;
}

void require(bool ok, const char* what, std::string_view detail)
{
    if (ok) return;
    // The console may be captured: the report goes to standard error.
    std::fprintf(stderr, "\nPROPERTY FAILED: %s\n", what);
    if (!detail.empty()) std::fprintf(stderr, "  %s\n", escaped(detail).c_str());
    std::fflush(stderr);
    std::abort();
}

// Serves an image file through FUSE as card.img, failing with EIO every read that
// touches one of the chosen 512-byte sectors, as a damaged card does.
//
//   failing_card IMAGE SECTORS MOUNTPOINT [FUSE OPTIONS...]
//
// SECTORS is a comma-separated list of sector numbers (may be empty). Reads go straight
// to this program (direct_io), so every failure reaches the reader as it happens.
//
// With FAILING_CARD_HOLD=SECTOR:FILE in the environment, a read that reaches sector
// SECTOR or beyond waits until FILE exists: a card that stalls where a test wants it to.
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

const char card_path[] = "/card.img";
int image_fd = -1;
off_t image_size = 0;
std::set<off_t> bad_sectors;
off_t hold_sector = -1;
std::string hold_file;

// Waits while a read up to `end` reaches the held sector and the hold file is missing.
void wait_for_hold(off_t end)
{
    if (hold_sector < 0 || end <= hold_sector * 512) return;
    struct stat st {};
    const timespec pause{0, 50 * 1000 * 1000};
    while (stat(hold_file.c_str(), &st) != 0) nanosleep(&pause, nullptr);
}

int card_getattr(const char* path, struct stat* st, fuse_file_info*)
{
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (std::strcmp(path, card_path) != 0) return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = image_size;
    return 0;
}

int card_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags)
{
    if (std::strcmp(path, "/") != 0) return -ENOENT;
    fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, card_path + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int card_open(const char* path, fuse_file_info* info)
{
    if (std::strcmp(path, card_path) != 0) return -ENOENT;
    if ((info->flags & O_ACCMODE) != O_RDONLY) return -EACCES;
    info->direct_io = 1;
    return 0;
}

int card_read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info*)
{
    if (offset >= image_size) return 0;
    if (static_cast<off_t>(size) > image_size - offset) size = static_cast<size_t>(image_size - offset);
    wait_for_hold(offset + static_cast<off_t>(size));
    const auto bad = bad_sectors.lower_bound(offset / 512);
    if (bad != bad_sectors.end() && *bad * 512 < offset + static_cast<off_t>(size)) {
        // The good bytes before the damage come back; the read that starts on it fails.
        if (*bad * 512 <= offset) return -EIO;
        size = static_cast<size_t>(*bad * 512 - offset);
    }
    const ssize_t n = pread(image_fd, buffer, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: failing_card IMAGE SECTORS MOUNTPOINT [FUSE OPTIONS...]\n");
        return 2;
    }
    image_fd = open(argv[1], O_RDONLY);
    if (image_fd < 0) return 2;
    image_size = lseek(image_fd, 0, SEEK_END);
    for (const char* p = argv[2]; *p;) {
        char* end = nullptr;
        bad_sectors.insert(std::strtoll(p, &end, 10));
        p = *end == ',' ? end + 1 : end;
    }
    if (const char* hold = std::getenv("FAILING_CARD_HOLD")) {
        const char* colon = std::strchr(hold, ':');
        if (colon != nullptr) {
            hold_sector = std::strtoll(hold, nullptr, 10);
            hold_file = colon + 1;
        }
    }
    fuse_operations operations{};
    operations.getattr = card_getattr;
    operations.readdir = card_readdir;
    operations.open = card_open;
    operations.read = card_read;
    std::vector<char*> fuse_args = {argv[0], argv[3]};
    for (int i = 4; i < argc; ++i) fuse_args.push_back(argv[i]);
    return fuse_main(static_cast<int>(fuse_args.size()), fuse_args.data(), &operations, nullptr);
}

// Runs a program on a new pseudo-terminal as its controlling terminal, with
// keys typed before it starts, and records everything it prints.
//
//   pty_run KEYS OUTPUT PROGRAM [ARGS...]
//
// KEYS is a string in which \e stands for Escape. The terminal starts without
// echo and without output processing, so OUTPUT holds the program's bytes as
// they are. The exit status is the program's; 99 when the program left the
// terminal in other settings than it found it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::string decode_keys(const char* text)
{
    std::string keys;
    for (const char* p = text; *p; ++p) {
        if (p[0] == '\\' && p[1] == 'e') {
            keys += '\x1b';
            ++p;
        } else {
            keys += *p;
        }
    }
    return keys;
}

bool same_settings(const termios& a, const termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: pty_run KEYS OUTPUT PROGRAM [ARGS...]\n");
        return 2;
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 2;
    const char* slave_name = ptsname(master);
    const int slave = open(slave_name, O_RDWR | O_NOCTTY);
    termios settings{};
    tcgetattr(slave, &settings);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tcsetattr(slave, TCSANOW, &settings);
    tcgetattr(slave, &settings);

    const std::string keys = decode_keys(argv[1]);
    if (write(master, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) return 2;

    const pid_t child = fork();
    if (child == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        close(master);
        close(slave);
        execvp(argv[3], argv + 3);
        _exit(127);
    }
    close(slave);

    std::FILE* output = std::fopen(argv[2], "wb");
    if (!output) return 2;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // EIO once the program and its terminal are gone
        std::fwrite(buffer, 1, static_cast<std::size_t>(n), output);
    }
    std::fclose(output);

    int status = 0;
    waitpid(child, &status, 0);
    termios after{};
    tcgetattr(master, &after);
    if (!same_settings(settings, after)) {
        std::fprintf(stderr, "pty_run: the terminal was not restored\n");
        return 99;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#include "services/console.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "platform/platform.h"

void say(const char* format, ...)
{
    char small[512];
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length < 0) {
        va_end(again);
        return;
    }
    const char* text = small;
    std::vector<char> large;
    if (static_cast<std::size_t>(length) >= sizeof small) {
        large.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(large.data(), large.size(), format, again);
        text = large.data();
    }
    va_end(again);
    // Flushed at once, so that a console, a log file or a pipe shows each message as it happens.
    platform::write_stdout(text, static_cast<std::size_t>(length), true);
}

// What both platform layers do to keep whole lines when a write to an output file fails.
#pragma once

#include <cstddef>
#include <cstring>

namespace platform {

// Writes the lines of `data` with one call of `write_all(data, size)` (which returns the bytes
// written) per line, up to the first line that cannot be written whole; returns the bytes of
// the lines written whole.
template <typename WriteAll>
std::size_t write_line_by_line(const char* data, std::size_t size, WriteAll write_all)
{
    std::size_t done = 0;
    while (done < size) {
        const void* line_feed = std::memchr(data + done, '\n', size - done);
        const std::size_t line =
            line_feed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(line_feed) - (data + done)) + 1
                                 : size - done;
        if (write_all(data + done, line) != line) break;
        done += line;
    }
    return done;
}

}  // namespace platform

// Buffers for reading and writing files and volumes. The kernel copies data into
// and out of a buffer that starts on a page boundary several times faster than
// into one that does not (on some processors five times), so every buffer that
// a read or write call sees is one of these.
#pragma once

#include <cstddef>
#include <memory>

// The start of every I/O buffer is a multiple of this.
constexpr std::size_t io_buffer_alignment = 4096;

// Gives the pages of an IoBuffer back to the system.
struct IoBufferRelease {
    std::size_t size = 0;
    // Frees the `size` bytes at `bytes`.
    void operator()(char* bytes) const;
};

// A fixed-size block of memory starting on a page boundary, taken from the system when made and
// given back when destroyed, so that large buffers never linger in the heap; it starts zeroed.
struct IoBuffer {
    std::unique_ptr<char[], IoBufferRelease> bytes;
    std::size_t size = 0;

    // The first byte of the buffer.
    char* data() const { return bytes.get(); }
};

// Allocates a page-aligned buffer of `size` bytes; throws std::bad_alloc when it cannot.
IoBuffer make_io_buffer(std::size_t size);

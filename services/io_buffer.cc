#include "services/io_buffer.h"

#include <new>

#include "platform/platform.h"

void IoBufferRelease::operator()(char* bytes) const
{
    platform::free_pages(bytes, size);
}

IoBuffer make_io_buffer(std::size_t size)
{
    void* pages = platform::allocate_pages(size);
    if (pages == nullptr) throw std::bad_alloc();
    IoBuffer buffer;
    buffer.size = size;
    // Pages that are never touched take no memory, so a generous size costs nothing.
    buffer.bytes = std::unique_ptr<char[], IoBufferRelease>(static_cast<char*>(pages), IoBufferRelease{size});
    return buffer;
}

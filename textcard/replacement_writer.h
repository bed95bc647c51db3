// The storing of sorted day files beside the sorting: one thread writes the blocks of each new
// file; each file once written is synced and closed on a thread of its own, so that the syncs of
// two files can overlap; another thread renames each synced file over its day file. Files are
// stored in the order they are handed on; once one fails, every file after it is discarded, so
// that a pass that stops at a file leaves the day files after it as they were.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "services/io_buffer.h"

struct DaySortSetup;

// One new file on its way to replace a day file.
struct Replacement {
    OutputFile* file = nullptr;
    std::string temporary;  // the new file's name
    std::string name;       // the day file's name
    bool failed = false;    // a write to it failed
    std::thread syncing;    // syncs and closes it once written
    bool sync_done = false;
    bool synced = false;    // synced and closed without a failure
};

// A block of a replacement's bytes waiting to be written, or, with no bytes, the end of the replacement.
struct PendingBlock {
    Replacement* replacement = nullptr;
    IoBuffer bytes;
    std::size_t size = 0;
    bool last = false;
};

// The two threads and what they share. Made fresh for each sorting pass; its destructor waits
// until every file handed on is stored or discarded.
struct ReplacementWriter {
    // Starts the threads, which store files through the steps of `setup` (which must outlive this).
    explicit ReplacementWriter(const DaySortSetup& setup);
    // Discards every file not stored yet, waits for the threads and ends them.
    ~ReplacementWriter();
    ReplacementWriter(const ReplacementWriter&) = delete;
    ReplacementWriter& operator=(const ReplacementWriter&) = delete;

    // Starts handing on the new file `temporary`, open as `file`, that replaces the day file `name`.
    void begin(OutputFile* file, const std::string& temporary, const std::string& name);
    // Hands on the first `size` bytes of `block` for the file begun last, and leaves an empty block of the
    // same size in its place; waits while several blocks wait. False once a write to that file failed.
    bool put(IoBuffer& block, std::size_t size);
    // Ends the file begun last: once its blocks are written it is synced, closed and renamed over its day file.
    void end();
    // How many files were begun.
    std::size_t handed() const { return replacements.size(); }
    // Waits until the first `count` files begun are stored or discarded; true when all of them were stored.
    bool wait_stored(std::size_t count);
    // Discards every file begun but not stored yet (each is closed and removed), and waits for that.
    void abandon();

    const DaySortSetup& setup;
    std::deque<Replacement> replacements;  // every file begun, in order; they stay put while others are added

    std::mutex lock;
    std::condition_variable changed;
    std::deque<PendingBlock> to_write;
    std::deque<Replacement*> to_store;
    std::vector<IoBuffer> free_blocks;
    std::size_t blocks_made = 0;
    std::size_t stored = 0;  // files stored or discarded, in order
    // The number of the first file not stored, after which every file is discarded; the largest size_t while none.
    std::size_t first_failure = std::numeric_limits<std::size_t>::max();
    bool abandoned = false;
    bool stopping = false;
    std::thread writer;
    std::thread storer;

    void write_blocks();
    void sync_file(Replacement& replacement);
    void store_files();
};

#include "textcard/replacement_writer.h"

#include <limits>

#include "textcard/day_sort.h"

namespace {

// How many blocks may wait to be written: enough to keep the writing thread busy while the next
// one is filled, few enough to keep the memory small.
constexpr std::size_t waiting_blocks = 2;

}  // namespace

ReplacementWriter::ReplacementWriter(const DaySortSetup& setup) : setup(setup)
{
    writer = std::thread([this] { write_blocks(); });
    storer = std::thread([this] { store_files(); });
}

ReplacementWriter::~ReplacementWriter()
{
    abandon();
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    changed.notify_all();
    writer.join();
    storer.join();
}

void ReplacementWriter::begin(OutputFile* file, const std::string& temporary, const std::string& name)
{
    std::lock_guard<std::mutex> guard(lock);
    Replacement& replacement = replacements.emplace_back();
    replacement.file = file;
    replacement.temporary = temporary;
    replacement.name = name;
}

bool ReplacementWriter::put(IoBuffer& block, std::size_t size)
{
    std::unique_lock<std::mutex> guard(lock);
    Replacement* replacement = &replacements.back();
    changed.wait(guard, [this] { return !free_blocks.empty() || blocks_made < waiting_blocks; });
    IoBuffer next;
    if (!free_blocks.empty() && free_blocks.back().size >= block.size) {
        next = std::move(free_blocks.back());
        free_blocks.pop_back();
    } else {
        if (!free_blocks.empty()) free_blocks.pop_back();  // too small for this writer: made anew
        else ++blocks_made;
        guard.unlock();
        next = make_io_buffer(block.size);
        guard.lock();
    }
    to_write.push_back({replacement, std::move(block), size, false});
    block = std::move(next);
    const bool failed = replacement->failed;
    guard.unlock();
    changed.notify_all();
    return !failed;
}

void ReplacementWriter::end()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        to_write.push_back({&replacements.back(), IoBuffer{}, 0, true});
    }
    changed.notify_all();
}

bool ReplacementWriter::wait_stored(std::size_t count)
{
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [this, count] { return stored >= count; });
    return first_failure >= count;
}

void ReplacementWriter::abandon()
{
    std::unique_lock<std::mutex> guard(lock);
    abandoned = true;
    changed.notify_all();
    changed.wait(guard, [this] { return stored >= replacements.size(); });
}

void ReplacementWriter::write_blocks()
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        changed.wait(guard, [this] { return !to_write.empty() || stopping; });
        if (to_write.empty()) return;
        PendingBlock pending = std::move(to_write.front());
        to_write.pop_front();
        Replacement* replacement = pending.replacement;
        if (pending.last) {
            replacement->syncing = std::thread([this, replacement] { sync_file(*replacement); });
            to_store.push_back(replacement);
            changed.notify_all();
            continue;
        }
        // Nothing more is written to a file that is to be discarded.
        const bool wanted = !replacement->failed && !abandoned;
        guard.unlock();
        const bool written = !wanted || setup.write_file(replacement->file, pending.bytes.data(), pending.size);
        guard.lock();
        if (!written) replacement->failed = true;
        free_blocks.push_back(std::move(pending.bytes));
        changed.notify_all();
    }
}

void ReplacementWriter::sync_file(Replacement& replacement)
{
    bool discard;
    {
        std::lock_guard<std::mutex> guard(lock);
        discard = replacement.failed || first_failure != std::numeric_limits<std::size_t>::max() || abandoned;
    }
    bool synced = false;
    if (discard) {
        setup.close_file(replacement.file);
    } else {
        synced = setup.sync_file(replacement.file);
        synced = setup.close_file(replacement.file) && synced;
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        replacement.synced = synced;
        replacement.sync_done = true;
    }
    changed.notify_all();
}

void ReplacementWriter::store_files()
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        // The writing thread hands on every file before it stops, as it writes in order.
        changed.wait(guard, [this] { return !to_store.empty() || (stopping && stored >= replacements.size()); });
        if (to_store.empty()) return;
        Replacement& replacement = *to_store.front();
        to_store.pop_front();
        changed.wait(guard, [&replacement] { return replacement.sync_done; });
        const bool discard =
            !replacement.synced || first_failure != std::numeric_limits<std::size_t>::max() || abandoned;
        guard.unlock();
        replacement.syncing.join();
        const bool kept = !discard && setup.replace_file(setup.directory, replacement.temporary, replacement.name);
        if (!kept) platform::remove_file(setup.directory, replacement.temporary);
        guard.lock();
        if (!kept && first_failure == std::numeric_limits<std::size_t>::max()) first_failure = stored;
        ++stored;
        changed.notify_all();
    }
}

#include "services/read_ahead.h"

#include <chrono>

#include "platform/platform.h"

namespace {

// How long a thread keeps looking for the other's next step before it sleeps. Waking a
// sleeping thread costs far more than reading a block from the page cache on some
// machines (a virtual processor that halted), and a block of a mebibyte takes 50 to
// 100 us to read or walk, so in a running scan neither side sleeps. Looking much
// longer costs more than it saves where the two threads' processors share one core
// at times (virtual machines): the looking thread then holds back the one it waits for
// (on a 2-core virtual machine, 120 us gave a median of 83 ms over a 1 GiB image
// where 300 us gave 102 ms, and 2 ms 276 ms).
constexpr std::chrono::microseconds spin_time{120};

// Looks at `ready` until it holds or `spin_time` has passed; true when it held.
template <typename Ready>
bool spin_until(Ready ready)
{
    const auto until = std::chrono::steady_clock::now() + spin_time;
    for (;;) {
        for (int i = 0; i < 256; ++i) {
            if (ready()) return true;
            platform::pause_in_wait_loop();
        }
        if (std::chrono::steady_clock::now() >= until) return ready();
    }
}

// Waits until `ready` holds: first looking for it when it is `near` (expected within the
// spin time), then sleeping.
template <typename Ready>
void wait_until(ReadAhead& ahead, bool near, Ready ready)
{
    if (near && spin_until(ready)) return;
    std::unique_lock<std::mutex> lock(ahead.mutex);
    ahead.changed.wait(lock, ready);
}

// True when `nanoseconds` are likely over before a thread that looks for them stops looking.
bool within_spin_time(double nanoseconds)
{
    return nanoseconds < static_cast<double>(std::chrono::nanoseconds(spin_time).count());
}

// Nanoseconds from `start` to now.
std::int64_t nanoseconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
}

// Adds `sample` to the running `average`, which follows the last few blocks.
void note_time(double& average, std::int64_t sample)
{
    average = average == 0 ? static_cast<double>(sample) : average + (static_cast<double>(sample) - average) / 8;
}

// True when walking a block takes at least a quarter of the time reading one does.
bool worth_reading_ahead(const ReadAhead& ahead)
{
    return ahead.always || ahead.walk_nanoseconds * 4 >= ahead.read_nanoseconds;
}

// Sets the phase under the mutex, so that a thread about to sleep on it sees the change, and wakes it.
void set_phase(ReadAhead& ahead, ReadAhead::Phase phase)
{
    {
        std::lock_guard<std::mutex> lock(ahead.mutex);
        ahead.phase.store(phase, std::memory_order_release);
    }
    ahead.changed.notify_all();
}

// Makes each read handed over, until told to quit.
void run_worker(ReadAhead& ahead)
{
    for (;;) {
        wait_until(ahead, ahead.worker_looks.load(std::memory_order_acquire), [&] {
            return ahead.quit.load(std::memory_order_acquire) ||
                   ahead.phase.load(std::memory_order_acquire) == ReadAhead::posted;
        });
        if (ahead.quit.load(std::memory_order_acquire)) return;
        const auto start = std::chrono::steady_clock::now();
        make_plain_read(*ahead.reader->volume, ahead.job);
        ahead.job_nanoseconds = nanoseconds_since(start);
        set_phase(ahead, ReadAhead::done);
    }
}

// Waits until the read in flight is made and hands it back; false when none was in flight.
bool take_job(ReadAhead& ahead, PlainRead& job)
{
    if (ahead.phase.load(std::memory_order_acquire) == ReadAhead::idle) return false;
    wait_until(ahead, within_spin_time(ahead.read_nanoseconds),
               [&] { return ahead.phase.load(std::memory_order_acquire) == ReadAhead::done; });
    job = ahead.job;
    ahead.phase.store(ReadAhead::idle, std::memory_order_relaxed);
    return true;
}

}  // namespace

ReadAhead::~ReadAhead() { stop_read_ahead(*this); }

CardPiece read_card_ahead(ReadAhead& ahead, void* buffer, std::size_t size)
{
    if (ahead.handed) note_time(ahead.walk_nanoseconds, nanoseconds_since(ahead.handed_at));
    CardPiece piece;
    PlainRead job;
    const bool taken = take_job(ahead, job);
    if (taken && job.buffer == buffer && job.asked == size) {
        note_time(ahead.read_nanoseconds, ahead.job_nanoseconds);
        piece = take_plain_read(*ahead.reader, job);
    } else {
        // Read for another place: the bytes are dropped, and the volume's position is no longer the reader's.
        if (taken) ahead.reader->reposition = true;
        const auto start = std::chrono::steady_clock::now();
        piece = read_card(*ahead.reader, buffer, size);
        note_time(ahead.read_nanoseconds, nanoseconds_since(start));
    }
    ahead.handed = true;
    ahead.handed_at = std::chrono::steady_clock::now();
    return piece;
}

bool read_ahead(ReadAhead& ahead, void* buffer, std::size_t size)
{
    if (ahead.phase.load(std::memory_order_acquire) != ReadAhead::idle || !worth_reading_ahead(ahead)) return false;
    if (!plan_plain_read(*ahead.reader, buffer, size, ahead.job)) return false;
    if (!ahead.worker.joinable()) ahead.worker = std::thread(run_worker, std::ref(ahead));
    // When the caller walks a block quickly, the worker looks for the next read before it sleeps.
    ahead.worker_looks.store(within_spin_time(ahead.walk_nanoseconds), std::memory_order_release);
    set_phase(ahead, ReadAhead::posted);
    return true;
}

void stop_read_ahead(ReadAhead& ahead)
{
    PlainRead dropped;
    if (take_job(ahead, dropped)) ahead.reader->reposition = true;
    {
        std::lock_guard<std::mutex> lock(ahead.mutex);
        ahead.quit.store(true, std::memory_order_release);
    }
    ahead.changed.notify_all();
    if (ahead.worker.joinable()) ahead.worker.join();
}

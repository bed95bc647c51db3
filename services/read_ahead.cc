#include "services/read_ahead.h"

namespace {

// Makes each read handed over, until told to quit.
void run_worker(ReadAhead& ahead)
{
    std::unique_lock<std::mutex> lock(ahead.mutex);
    for (;;) {
        ahead.changed.wait(lock, [&] { return ahead.quit || (ahead.in_flight && !ahead.job_done); });
        if (ahead.quit) return;
        PlainRead job = ahead.job;
        lock.unlock();
        make_plain_read(*ahead.reader->volume, job);
        lock.lock();
        ahead.job = job;
        ahead.job_done = true;
        ahead.changed.notify_all();
    }
}

// Waits until the read in flight is made and hands it back; false when none was in flight.
bool take_job(ReadAhead& ahead, PlainRead& job)
{
    std::unique_lock<std::mutex> lock(ahead.mutex);
    if (!ahead.in_flight) return false;
    ahead.changed.wait(lock, [&] { return ahead.job_done; });
    job = ahead.job;
    ahead.in_flight = false;
    ahead.job_done = false;
    return true;
}

}  // namespace

ReadAhead::~ReadAhead() { stop_read_ahead(*this); }

CardPiece read_card_ahead(ReadAhead& ahead, void* buffer, std::size_t size)
{
    PlainRead job;
    if (take_job(ahead, job)) {
        if (job.buffer == buffer && job.asked == size) return take_plain_read(*ahead.reader, job);
        // Read for another place: the bytes are dropped, and the volume's position is no longer the reader's.
        ahead.reader->reposition = true;
    }
    return read_card(*ahead.reader, buffer, size);
}

void read_ahead(ReadAhead& ahead, void* buffer, std::size_t size)
{
    PlainRead job;
    if (!plan_plain_read(*ahead.reader, buffer, size, job)) return;
    std::lock_guard<std::mutex> lock(ahead.mutex);
    if (ahead.in_flight) return;
    if (!ahead.worker.joinable()) ahead.worker = std::thread(run_worker, std::ref(ahead));
    ahead.job = job;
    ahead.in_flight = true;
    ahead.job_done = false;
    ahead.changed.notify_all();
}

void stop_read_ahead(ReadAhead& ahead)
{
    PlainRead dropped;
    if (take_job(ahead, dropped)) ahead.reader->reposition = true;
    {
        std::lock_guard<std::mutex> lock(ahead.mutex);
        ahead.quit = true;
        ahead.changed.notify_all();
    }
    if (ahead.worker.joinable()) ahead.worker.join();
}

// Reading a card's next block on a second thread while the caller walks the block
// before it, so that the copy out of the volume overlaps the walk. Only the volume
// read itself runs there: everything the reader notes of a read (its position, the
// image, the sectors that failed) is taken on the caller's thread when the caller
// asks for that block. A block read ahead and never asked for, because the scan
// stopped, leaves no trace but the volume's own position.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "services/card_reader.h"

// The read-ahead state of one scan: create it over the scan's reader, and let it
// end (or call stop_read_ahead) before the reader or its volume goes away.
struct ReadAhead {
    explicit ReadAhead(CardReader& card_reader) : reader(&card_reader) {}
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;
    ~ReadAhead();

    // Where the read handed over stands.
    enum Phase : int { idle, posted, done };

    CardReader* reader = nullptr;
    std::thread worker;               // started with the first read ahead
    std::mutex mutex;                 // held to change `phase` or `quit`, so that a sleeper never misses it
    std::condition_variable changed;
    PlainRead job;                    // the read ahead: the caller's while idle, the worker's while posted
    std::atomic<int> phase{idle};
    std::atomic<bool> quit{false};    // the worker is to end
    std::int64_t job_nanoseconds = 0; // how long the worker took for the read it made last
    std::atomic<bool> worker_looks{true};  // the worker looks for the next read before it sleeps

    // Reading ahead pays only when walking a block takes a fair part of what reading it takes;
    // where the walk is quick (an empty card), handing blocks between threads costs more than
    // it saves, so blocks are then read on the caller's thread. Both times are followed as averages.
    bool always = false;              // read ahead whatever the times say
    double read_nanoseconds = 0;      // average time to read a block
    double walk_nanoseconds = 0;      // average time the caller spends on a block
    bool handed = false;              // the caller has had a block
    std::chrono::steady_clock::time_point handed_at;  // ...and when
};

// Reads as read_card would, taking the block read ahead when it was read into this
// buffer for this size; a block read ahead for another place is dropped and read again.
CardPiece read_card_ahead(ReadAhead& ahead, void* buffer, std::size_t size);

// Starts reading, on the second thread, the block that read_card would read next for `size`
// bytes into `buffer`, when that is a plain block read and reading ahead pays; true when it
// started, and then the caller must leave those bytes alone until it asks for them with read_card_ahead.
bool read_ahead(ReadAhead& ahead, void* buffer, std::size_t size);

// Waits for a read in flight, drops it and ends the second thread.
void stop_read_ahead(ReadAhead& ahead);

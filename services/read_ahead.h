// Reading a card's next block on a second thread while the caller walks the block
// before it, so that the copy out of the volume overlaps the walk. Only the volume
// read itself runs there: everything the reader notes of a read (its position, the
// image, the sectors that failed) is taken on the caller's thread when the caller
// asks for that block. A block read ahead and never asked for, because the scan
// stopped, leaves no trace but the volume's own position.
#pragma once

#include <condition_variable>
#include <cstddef>
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

    CardReader* reader = nullptr;
    std::thread worker;            // started with the first read ahead
    std::mutex mutex;
    std::condition_variable changed;
    PlainRead job;                 // the read ahead, while `in_flight`
    bool in_flight = false;        // a read was handed to the worker and not yet taken
    bool job_done = false;         // ... and the worker has made it
    bool quit = false;             // the worker is to end
};

// Reads as read_card would, taking the block read ahead when it was read into this
// buffer for this size; a block read ahead for another place is dropped and read again.
CardPiece read_card_ahead(ReadAhead& ahead, void* buffer, std::size_t size);

// Starts reading, on the second thread, the block that read_card would read next for `size`
// bytes into `buffer`, when that is a plain block read; the caller must leave those bytes
// alone until it asks for them with read_card_ahead.
void read_ahead(ReadAhead& ahead, void* buffer, std::size_t size);

// Waits for a read in flight, drops it and ends the second thread.
void stop_read_ahead(ReadAhead& ahead);

// Reading a card volume front to back in large blocks, stepping over sectors
// that cannot be read: a damaged card is read as far as it can be, never retried
// without end, and every sector it could not give is counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/platform.h"

constexpr std::size_t card_sector_size = 512;

struct CardImage;
struct FinishedAreas;

// What a reader does besides reading: both are optional.
struct ReaderHooks {
    CardImage* image = nullptr;                // receives every byte read, and every sector stepped over
    const FinishedAreas* readable = nullptr;   // only whole sectors in these areas are read; others are unreadable
};

// A run of sectors in a row that could not be read.
struct SectorRun {
    std::uint64_t offset = 0;  // volume offset of the first sector of the run
    std::int64_t count = 0;    // sectors in the run
};

// What one read of the card gave.
struct CardPiece {
    std::size_t bytes = 0;    // bytes read into the buffer
    std::size_t skipped = 0;  // bytes right after them that could not be read and were stepped over
    bool end = false;         // the volume ends after these bytes
};

// The reading state of one scan. Create it fresh for each scan.
struct CardReader {
    CardVolume* volume = nullptr;
    std::uint64_t position = 0;        // volume offset of the next byte to read
    std::uint64_t careful_until = 0;   // after a failed read, read sector by sector up to here
    std::int64_t skipped_sectors = 0;  // sectors that could not be read, even alone
    std::uint64_t first_skipped = 0;   // volume offset of the first of them
    std::uint64_t length = 0;          // the volume's length, when it is known
    bool length_known = false;
    std::int64_t unreadable_run = 0;   // sectors skipped since the last one that could be read
    bool reposition = false;           // the volume's own position is not `position` after a failure
    bool ended = false;
    ReaderHooks hooks;
    std::vector<SectorRun> unreadable_runs;  // the skipped sectors, as runs in a row
};

// Makes a reader of `volume` from byte `offset`; `positioned` is false when the volume cannot be positioned there.
CardReader start_card_reader(CardVolume& volume, std::uint64_t offset, bool& positioned);

// Reads up to `size` bytes from the reader's position; fewer before an unreadable sector or the end.
CardPiece read_card(CardReader& reader, void* buffer, std::size_t size);

// One plain block read of the volume at the reader's position: the read that read_card makes
// while no sector has failed nearby. It is split in three steps so that the volume read itself
// can run on another thread while the reader's state stays on the caller's.
struct PlainRead {
    void* buffer = nullptr;
    std::size_t asked = 0;        // bytes the caller asked for
    std::size_t size = 0;         // bytes to read: fewer than asked before an area not to be read
    std::uint64_t position = 0;   // volume offset of the first byte
    bool seek_first = false;      // the volume's own position must be set first
    std::size_t got = 0;          // bytes read
    bool error = false;           // the read (or its seek) failed
    bool seeked = false;          // the seek was made and succeeded
};

// Prepares in `read` the read that read_card would make next for `size` bytes into `buffer`;
// false when that next read is not a plain one (the end, a sector alone, or a skip).
bool plan_plain_read(const CardReader& reader, void* buffer, std::size_t size, PlainRead& read);

// Makes the planned read on `volume`; touches nothing else, so it may run on another thread.
void make_plain_read(CardVolume& volume, PlainRead& read);

// Takes a plain read made at the reader's position into its state (position, image, failures),
// exactly as read_card does after its own read, and gives the piece it read.
CardPiece take_plain_read(CardReader& reader, const PlainRead& read);

// Prints "Cannot read ..." with the count and place of the sectors skipped, when there were any.
void report_unreadable_sectors(const CardReader& reader);

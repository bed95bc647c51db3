// An image of the card, written while the card is scanned: every byte read goes to
// its place in the image file, and a rescue mapfile beside it (the image's name
// with ".map") says which areas were read, which could not be, and which were never tried.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/platform.h"
#include "services/rescue_map.h"

// How an image reaches its files. The defaults are the real ones; tests replace
// the image writes to make them fail as on a full disk.
struct CardImageSetup {
    // Comment lines at the head of every mapfile, each ending in a line feed.
    std::string heading;
    // Seconds between two rewrites of the mapfile while the scan goes on.
    std::int64_t map_interval = 30;
    // The clock that times those rewrites.
    Clock* clock = &platform::steady_clock();
    // Writes bytes at an offset of the image; false when any could not be written.
    std::function<bool(OutputFile*, std::uint64_t, const char*, std::size_t)> write_at = platform::write_file_at;
    // Sets the length of the image; false when it cannot.
    std::function<bool(OutputFile*, std::uint64_t)> set_size = platform::set_file_size;
    // Forces the image onto the storage device; false when it cannot.
    std::function<bool(OutputFile*)> sync = platform::sync_file;
};

// The state of one image while it is made. Create it with create_card_image.
struct CardImage {
    CardImageSetup setup;
    std::string map_path;                 // the mapfile beside the image
    OutputFile* file = nullptr;           // the image, open until finish_card_image
    RescueMap map;                        // the areas handled so far, from byte 0 up to `covered`
    std::uint64_t covered = 0;            // every byte before this one was read, found bad or given up on
    std::uint64_t volume_length = 0;      // the card's length, when it is known
    bool length_known = false;
    bool write_failed = false;            // the image could not be written; it holds only the bytes below `covered`
    std::uint64_t furthest = 0;           // the furthest the scan got, also after a failed write
    bool map_failed = false;              // a mapfile could not be written (reported once)
    std::int64_t map_written_at = 0;      // clock time of the last mapfile
    std::uint64_t synced_until = 0;       // what lay before this was on the storage device at the last sync
};

// Creates the new image file `path` for a card of `length` bytes (`length_known` false when
// unknown) and its first mapfile; false after printing "Cannot create image file '%s'." when it cannot.
bool create_card_image(const std::string& path, std::uint64_t length, bool length_known, CardImageSetup setup,
                       CardImage& image);

// Stores `size` bytes read from the card at byte `pos` in the image, and marks them read.
void image_store(CardImage& image, std::uint64_t pos, const void* data, std::size_t size);

// Marks `size` bytes of the card from byte `pos` as unreadable; they stay zeros in the image.
void image_skip(CardImage& image, std::uint64_t pos, std::uint64_t size);

// Completes the image to the bytes handled, writes the final mapfile and closes the image;
// false when the image could not be written whole or a mapfile could not be written (both reported).
bool finish_card_image(CardImage& image);

// Returns the mapfile of the image as it stands: what was handled, the rest of the card untried.
RescueMap image_map(const CardImage& image);

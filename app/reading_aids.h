// What --image and --mapfile add to a run: an image of the card with its mapfile,
// and the areas of an image that its rescue mapfile marks as read.
#pragma once

#include <string>

#include "app/options.h"
#include "platform/platform.h"
#include "services/card_image.h"
#include "services/card_reader.h"
#include "services/rescue_map.h"

// The image and the readable areas of one run, each only when an option asks for it.
struct ReadingAids {
    FinishedAreas readable;
    bool filtered = false;  // --mapfile: only `readable` is read
    CardImage image;
    bool imaging = false;   // --image: `image` is being made
};

// Returns the comment lines that head the mapfiles of this run: the program and its command line.
std::string mapfile_heading(int argc, const char* const* argv);

// Reads the mapfile and creates the image that `options` ask for, for the opened `volume`;
// false after printing why not, before anything of the card is read.
bool start_reading_aids(const RunOptions& options, const std::string& heading, CardVolume& volume, ReadingAids& aids);

// Returns the card reader's hooks into `aids`.
ReaderHooks reader_hooks(ReadingAids& aids);

// Completes the image and writes its last mapfile; false when the image or a mapfile could not be written (reported).
bool finish_reading_aids(ReadingAids& aids);

// The binary-card path: walk every sector of a QelD card and store the
// records of the date range as record lines in upload files.
#pragma once

#include <cstdint>

#include "binarycard/upload_writer.h"
#include "platform/platform.h"
#include "services/card_reader.h"
#include "services/run_report.h"

// Counts of one scan: every valid record is found; those in range are stored.
struct BinaryScanCounts {
    std::int64_t found = 0;
    std::int64_t in_range = 0;
    std::int64_t stored = 0;
};

// Scans `volume` from the start of logging data to its end (or until Escape
// is read from `keys`, or `keys` reports an interrupt), storing records timed
// from `start_bound` to `end_bound` inclusive through `writer`; prints its
// messages and returns the exit code: 1 after an interrupt, a failure or unreadable sectors.
// With an image in `hooks`, the bytes before the logging data are read for the image first;
// fills `report` with its counts when it is not nullptr.
int scan_binary_card(CardVolume& volume, std::int64_t start_bound, std::int64_t end_bound, KeySource& keys,
                     UploadWriter& writer, const ReaderHooks& hooks = {}, RunReport* report = nullptr);

// Walks the records of one sector from offset 0 up to the first invalid one, storing
// those in range; false when the writer failed (it has printed why).
bool walk_sector(const std::uint8_t* sector, std::int64_t start_bound, std::int64_t end_bound, UploadWriter& writer,
                 BinaryScanCounts& counts);

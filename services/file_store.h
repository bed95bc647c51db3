// Small files that must never be seen half written: mapfiles and run reports.
#pragma once

#include <string>

// Stores `text` as the whole content of the file `path`: written and synced under a new name
// beside it, then renamed over it, so that `path` holds its old or its new content at every
// moment, even when the run is killed; false when it could not (nothing is left behind then).
bool store_whole_file(const std::string& path, const std::string& text);

#include "services/file_store.h"

#include "platform/platform.h"

bool store_whole_file(const std::string& path, const std::string& text)
{
    const std::string fresh = path + ".new";
    // A leftover of a run killed while storing is taken over.
    platform::remove_file("", fresh);
    CreateResult result = CreateResult::failed;
    OutputFile* file = platform::create_new_file("", fresh, result);
    if (file == nullptr) return false;
    bool stored = platform::write_file(file, text.data(), text.size());
    stored = platform::sync_file(file) && stored;
    stored = platform::close_file(file) && stored;
    stored = stored && platform::replace_file("", fresh, path);
    if (!stored) platform::remove_file("", fresh);
    return stored;
}

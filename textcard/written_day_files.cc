#include "textcard/written_day_files.h"

WrittenDayFile* follow_opened_day_file(WrittenDayFiles& written, const std::string& name, bool length_known,
                                       std::uint64_t length)
{
    const auto found = written.files.find(name);
    if (found != written.files.end()) return found->second.followed ? &found->second : nullptr;
    // Beyond the capacity, a name first seen now may still have been opened, empty, before.
    if (written.files.size() >= written.capacity) return nullptr;
    WrittenDayFile& file = written.files[name];
    file.followed = length_known && length == 0;
    return file.followed ? &file : nullptr;
}

const WrittenDayFile* day_file_in_order(const WrittenDayFiles* written, const std::string& name, bool drop_repeats)
{
    if (written == nullptr) return nullptr;
    const auto found = written->files.find(name);
    if (found == written->files.end()) return nullptr;
    const WrittenDayFile& file = found->second;
    if (!file.followed || !file.in_order || (drop_repeats && file.repeats)) return nullptr;
    return &file;
}

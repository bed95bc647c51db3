#include "services/card_image.h"

#include <algorithm>

#include "services/console.h"
#include "services/file_store.h"

namespace {

constexpr std::uint64_t sector = 512;

// Stores the mapfile as it stands, whole at every moment, even when the run is killed.
void write_map_file(CardImage& image)
{
    image.map_written_at = image.setup.clock->now();
    if (store_whole_file(image.map_path, format_rescue_map(image_map(image), image.setup.heading))) return;
    if (!image.map_failed) say("Cannot write mapfile '%s'.\n", image.map_path.c_str());
    image.map_failed = true;
}

// Gives up on writing the image: it keeps only what lies before `cut`, which was
// written whole, and the mapfile calls everything from there on untried.
void stop_image(CardImage& image, std::uint64_t cut)
{
    say("Cannot write image file.\n");
    image.write_failed = true;
    cut = std::min(cut, image.covered);
    auto& areas = image.map.areas;
    while (!areas.empty() && areas.back().pos >= cut) areas.pop_back();
    if (!areas.empty()) areas.back().size = std::min(areas.back().size, cut - areas.back().pos);
    image.covered = cut;
    image.setup.set_size(image.file, cut);
    write_map_file(image);
}

// Rewrites the mapfile when its interval has passed, once what it calls read is on the storage device.
void refresh_map(CardImage& image)
{
    if (image.setup.clock->now() - image.map_written_at < image.setup.map_interval) return;
    if (!image.setup.sync(image.file)) {
        stop_image(image, image.synced_until);
        return;
    }
    image.synced_until = image.covered;
    write_map_file(image);
}

// Moves on to byte `pos`; bytes between what was handled and `pos` were never tried.
void reach(CardImage& image, std::uint64_t pos)
{
    if (pos > image.covered) append_map_area(image.map, image.covered, pos - image.covered, '?');
    image.covered = std::max(image.covered, pos);
}

}  // namespace

bool create_card_image(const std::string& path, std::uint64_t length, bool length_known, CardImageSetup setup,
                       CardImage& image)
{
    CreateResult result = CreateResult::failed;
    image.file = platform::create_new_file("", path, result);
    if (image.file == nullptr) {
        say("Cannot create image file '%s'.\n", path.c_str());
        return false;
    }
    image.setup = std::move(setup);
    image.map_path = path + ".map";
    image.volume_length = length;
    image.length_known = length_known;
    write_map_file(image);
    return true;
}

void image_store(CardImage& image, std::uint64_t pos, const void* data, std::size_t size)
{
    // Bytes handled before are not taken again.
    if (pos < image.covered && !image.write_failed) {
        const std::uint64_t seen = std::min<std::uint64_t>(size, image.covered - pos);
        data = static_cast<const char*>(data) + seen;
        pos += seen;
        size -= static_cast<std::size_t>(seen);
    }
    if (size == 0) return;
    image.furthest = std::max(image.furthest, pos + size);
    if (image.write_failed) return;
    reach(image, pos);
    if (!image.setup.write_at(image.file, pos, static_cast<const char*>(data), size)) {
        // Part of these bytes may be in the image; only whole sectors before them count.
        stop_image(image, pos - pos % sector);
        return;
    }
    append_map_area(image.map, pos, size, '+');
    image.covered = pos + size;
    refresh_map(image);
}

void image_skip(CardImage& image, std::uint64_t pos, std::uint64_t size)
{
    if (pos < image.covered && !image.write_failed) {
        const std::uint64_t seen = std::min(size, image.covered - pos);
        pos += seen;
        size -= seen;
    }
    if (size == 0) return;
    image.furthest = std::max(image.furthest, pos + size);
    if (image.write_failed) return;
    reach(image, pos);
    append_map_area(image.map, pos, size, '-');
    image.covered = pos + size;
    refresh_map(image);
}

bool finish_card_image(CardImage& image)
{
    if (image.file == nullptr) return false;
    if (!image.write_failed) {
        // Unreadable sectors at the end are zeros too: the image is as long as what was handled.
        if (!image.setup.set_size(image.file, image.covered)) {
            std::uint64_t written = 0;
            for (const MapArea& area : image.map.areas)
                if (area.status == '+') written = area.pos + area.size;
            stop_image(image, written);
        } else if (!image.setup.sync(image.file)) {
            stop_image(image, image.synced_until);
        }
    }
    const bool closed = platform::close_file(image.file);
    image.file = nullptr;
    if (!closed && !image.write_failed) {
        say("Cannot write image file.\n");
        image.write_failed = true;
    }
    write_map_file(image);
    return !image.write_failed && !image.map_failed;
}

RescueMap image_map(const CardImage& image)
{
    RescueMap map = image.map;
    std::uint64_t end = std::max(image.furthest, image.covered);
    if (image.length_known) end = std::max(end, image.volume_length);
    append_map_area(map, image.covered, end - image.covered, '?');
    map.current_pos = image.covered;
    map.current_status = image.covered >= end ? '+' : '?';
    map.current_pass = 1;
    return map;
}

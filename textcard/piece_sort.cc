#include "textcard/piece_sort.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "services/io_buffer.h"

// The sort works on a 16-byte entry per piece: a 64-bit key made of the eight bytes
// that follow the prefix that all pieces share (for a day file "20YYMMDD", so the
// key is the time of day and the record type), and the piece's place. Entries are
// sorted by key with a radix sort; pieces with equal keys are then ordered by a full
// comparison. A file with more pieces than one chunk holds is sorted chunk by chunk,
// each chunk's bytes rearranged in place, and the sorted chunks are merged.
//
// A day file as the scan writes it takes a shorter way: all its pieces are 38-byte record
// lines of one date, so a line's place is its number, and the six digits hhmmss after the
// date give the second of the day. One pass checks that form and counts the lines of each
// second, a second one puts the line numbers into groups by second; the few lines of one
// second are ordered by their remaining bytes while they are copied out.

namespace {

// Sorted pieces are handed on in blocks of about this size.
constexpr std::size_t write_block = std::size_t{1} << 20;
// A block holds one more piece than that.
constexpr std::size_t block_size = write_block + max_piece_length;

// The eight bytes at `p` as a big-endian number, so that numbers compare as the bytes do.
std::uint64_t big_endian_word(const char* p)
{
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    static_assert(std::endian::native == std::endian::little);
    return __builtin_bswap64(w);
}

using Entry = PieceEntry;

std::uint64_t place_of(std::size_t offset, std::size_t length) { return std::uint64_t{offset} << 8 | length; }
std::size_t offset_of(const Entry& e) { return static_cast<std::size_t>(e.place >> 8); }
std::size_t length_of(const Entry& e) { return static_cast<std::size_t>(e.place & 0xFF); }

// The key of a piece whose first `shared` bytes all pieces share: its next eight bytes,
// with zeros past its end, so that a smaller key always means an earlier piece.
std::uint64_t key_of(const char* piece, std::size_t length, std::size_t shared)
{
    if (length >= shared + 8) return big_endian_word(piece + shared);
    char padded[8] = {};
    if (length > shared) std::memcpy(padded, piece + shared, length - shared);
    return big_endian_word(padded);
}

// How many leading bytes `a` and `b` share, at most `limit`.
std::size_t shared_prefix(const char* a, const char* b, std::size_t limit)
{
    std::size_t i = 0;
    for (; i + 8 <= limit; i += 8) {
        std::uint64_t x;
        std::uint64_t y;
        std::memcpy(&x, a + i, sizeof x);
        std::memcpy(&y, b + i, sizeof y);
        // On a little-endian machine the lowest differing bit lies in the first differing byte.
        if (x != y) return i + static_cast<std::size_t>(std::countr_zero(x ^ y)) / 8;
    }
    while (i < limit && a[i] == b[i]) ++i;
    return i;
}

// Sorts `n` entries by key, stably, with `spare` room for as many; returns where they ended up.
// Each key byte of a day file's lines takes only a few values (digits), so every byte is first
// replaced by its rank among the values that occur at its place: that keeps the order of the
// keys and packs them into few bits, which then take two or three passes of 11 bits each.
Entry* radix_sort(Entry* entries, Entry* spare, std::size_t n)
{
    std::size_t byte_counts[8][256] = {};
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = entries[i].key;
        for (int b = 0; b < 8; ++b) ++byte_counts[b][(k >> (8 * b)) & 0xFF];
    }
    std::uint64_t rank[8][256];
    int total_bits = 0;
    for (int b = 0; b < 8; ++b) {
        int distinct = 0;
        for (int v = 0; v < 256; ++v) {
            rank[b][v] = static_cast<std::uint64_t>(distinct) << total_bits;
            if (byte_counts[b][v] != 0) ++distinct;
        }
        total_bits += distinct <= 1 ? 0 : static_cast<int>(std::bit_width(static_cast<unsigned>(distinct - 1)));
    }
    if (total_bits == 0) return entries;

    const int passes = (total_bits + 10) / 11;
    const int digit_bits = (total_bits + passes - 1) / passes;
    const std::size_t digits = std::size_t{1} << digit_bits;
    const std::uint64_t digit_mask = digits - 1;
    std::vector<std::size_t> counts(digits * static_cast<std::size_t>(passes), 0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = entries[i].key;
        std::uint64_t packed = 0;
        for (int b = 0; b < 8; ++b) packed |= rank[b][(k >> (8 * b)) & 0xFF];
        entries[i].key = packed;
        for (int p = 0; p < passes; ++p) ++counts[p * digits + ((packed >> (p * digit_bits)) & digit_mask)];
    }
    Entry* from = entries;
    Entry* to = spare;
    for (int p = 0; p < passes; ++p) {
        std::size_t* count = counts.data() + p * digits;
        const int shift = p * digit_bits;
        if (count[(from[0].key >> shift) & digit_mask] == n) continue;
        std::size_t sum = 0;
        for (std::size_t v = 0; v < digits; ++v) {
            const std::size_t c = count[v];
            count[v] = sum;
            sum += c;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const Entry e = from[i];
            to[count[(e.key >> shift) & digit_mask]++] = e;
        }
        std::swap(from, to);
    }
    return from;
}

// Cuts the chunk of at most `max_pieces` pieces and `max_bytes` bytes (at least one piece) that starts
// at `start`, before `end`, into `entries`; sets `shared` to how many leading bytes its pieces share
// and clears `in_order` when a piece sorts before the one before it. Returns the number of pieces.
std::size_t cut_chunk(const char* content, std::size_t start, std::size_t end, std::size_t max_pieces,
                      std::size_t max_bytes, Entry* entries, std::size_t& shared, bool& in_order)
{
    std::size_t n = 0;
    std::size_t at = start;
    std::size_t previous = 0;
    shared = max_piece_length;
    while (at < end && n < max_pieces) {
        const std::size_t length = piece_length_at(content + at, end - at);
        if (n > 0 && at + length - start > max_bytes) break;
        shared = std::min({shared, length, shared_prefix(content + start, content + at, std::min(shared, length))});
        if (in_order && n > 0 && piece_before({content + at, length}, {content + previous, at - previous}))
            in_order = false;
        entries[n++].place = place_of(at, length);
        previous = at;
        at += length;
    }
    return n;
}

constexpr std::uint64_t byte_ones = 0x0101010101010101;
constexpr std::uint64_t byte_highs = 0x8080808080808080;
constexpr std::size_t seconds_per_day = 86400;
// Where the time of day hhmmss of a record line starts, and where the bytes after it start.
constexpr std::size_t time_at = 8;
constexpr std::size_t tail_at = 14;

std::uint64_t word_at(const char* p)
{
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// The high bit of every byte of `w` that is not zero, and no other bit: exact for every byte, as
// no sum carries into the next byte.
std::uint64_t nonzero_bytes(std::uint64_t w) { return (((w & ~byte_highs) + ~byte_highs) | w) & byte_highs; }

// True when the 38 bytes at `line` are one whole piece: a line feed as the last byte and none before.
bool whole_record_piece(const char* line)
{
    static_assert(max_piece_length == 38);
    constexpr std::uint64_t line_feeds = byte_ones * '\n';
    const std::uint64_t none_before = nonzero_bytes(word_at(line) ^ line_feeds) &
                                      nonzero_bytes(word_at(line + 8) ^ line_feeds) &
                                      nonzero_bytes(word_at(line + 16) ^ line_feeds) &
                                      nonzero_bytes(word_at(line + 24) ^ line_feeds);
    // Bytes 30 to 37: only the last one, the top byte of the word, is a line feed.
    return none_before == byte_highs && nonzero_bytes(word_at(line + 30) ^ line_feeds) == byte_highs >> 8;
}

// The hours, minutes and seconds that the six digits at the bottom of `w` stand for, as the
// bytes 0, 2 and 4 of the result: ten times each first digit plus the second.
std::uint64_t digit_pairs(std::uint64_t w)
{
    const std::uint64_t digits = w & 0x0F0F0F0F0F0F;
    // No byte exceeds 9 * 10 + 9, so nothing carries from one byte into the next.
    return digits * 10 + (digits >> 8);
}

// The second of the day of the time hhmmss at the bottom six bytes of `w`, known to be one.
std::uint32_t second_of_time(std::uint64_t w)
{
    const std::uint64_t pairs = digit_pairs(w);
    return static_cast<std::uint32_t>((pairs & 0xFF) * 3600 + (pairs >> 16 & 0xFF) * 60 + (pairs >> 32 & 0xFF));
}

// The second of the day of the bottom six bytes of `w` when they are a time hhmmss (00:00:00 to
// 23:59:59), seconds_per_day otherwise. Seconds keep the order of the times they stand for.
std::uint32_t second_of_day(std::uint64_t w)
{
    constexpr std::uint64_t high_nibbles = 0xF0F0F0F0F0F0;
    const std::uint64_t x = w & 0xFFFFFFFFFFFF;
    // Every byte '0' to '9': its high nibble 3, and its low one not carrying when 6 is added.
    if ((x & high_nibbles) != 0x303030303030 || (((x & 0x0F0F0F0F0F0F) + 0x060606060606) & high_nibbles) != 0)
        return seconds_per_day;
    const std::uint64_t pairs = digit_pairs(x);
    if ((pairs & 0xFF) >= 24 || (pairs >> 16 & 0xFF) >= 60 || (pairs >> 32 & 0xFF) >= 60) return seconds_per_day;
    return second_of_time(x);
}

// True when the record line `a` sorts before the record line `b` of the same date and second:
// their bytes after the time decide.
bool tail_before(const char* a, const char* b)
{
    for (const std::size_t at : {tail_at, tail_at + 8, tail_at + 16}) {
        const std::uint64_t x = big_endian_word(a + at);
        const std::uint64_t y = big_endian_word(b + at);
        if (x != y) return x < y;
    }
    return false;
}

// Checks that the `n` pieces of `content` are all record lines of one date and counts the lines
// of each second into `counts` (zeroed beforehand); false as soon as a piece is no such line.
// Clears `in_order` when a line sorts before the line before it.
bool count_record_lines(const char* content, std::size_t n, std::uint32_t* counts, bool& in_order)
{
    const std::uint64_t date = word_at(content);
    const char* previous = nullptr;
    std::uint32_t previous_second = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const char* line = content + i * max_piece_length;
        const std::uint32_t second = second_of_day(word_at(line + time_at));
        if (second == seconds_per_day || word_at(line) != date || !whole_record_piece(line)) return false;
        ++counts[second];
        if (in_order && previous != nullptr &&
            (second < previous_second || (second == previous_second && tail_before(line, previous))))
            in_order = false;
        previous = line;
        previous_second = second;
    }
    return true;
}

// A second's group of at most this many record lines is ordered by ranks, one comparison of every
// pair without a branch; a larger one by a comparison sort.
constexpr std::size_t rank_group = 32;

// The record line of a line entry: the low half of the entry is its number.
const char* line_of(const char* content, std::uint64_t entry)
{
    return content + static_cast<std::size_t>(static_cast<std::uint32_t>(entry)) * max_piece_length;
}

// Orders the `count` entries of `group`, record lines that share their date and second. An entry's
// high half holds the first four bytes after the time, so the entries' order is the lines' order
// except among lines that share those bytes too, which a comparison of the lines then orders.
void order_group(const char* content, std::uint64_t* group, std::size_t count)
{
    if (count <= rank_group) {
        // Entries are all different, as their line numbers are: each one's rank is its place. Two
        // entries are ranked in one pass, so that two independent sums share each load.
        std::uint64_t ordered[rank_group];
        std::size_t i = 0;
        for (; i + 1 < count; i += 2) {
            const std::uint64_t a = group[i];
            const std::uint64_t b = group[i + 1];
            std::size_t rank_a = 0;
            std::size_t rank_b = 0;
            for (std::size_t j = 0; j < count; ++j) {
                rank_a += group[j] < a;
                rank_b += group[j] < b;
            }
            ordered[rank_a] = a;
            ordered[rank_b] = b;
        }
        if (i < count) {
            std::size_t rank = 0;
            for (std::size_t j = 0; j < count; ++j) rank += group[j] < group[i];
            ordered[rank] = group[i];
        }
        std::memcpy(group, ordered, count * sizeof *group);
    } else {
        std::sort(group, group + count);
    }
    const auto before = [content](std::uint64_t a, std::uint64_t b) {
        return tail_before(line_of(content, a), line_of(content, b));
    };
    for (std::size_t i = 0; i + 1 < count;) {
        std::size_t j = i + 1;
        while (j < count && group[j] >> 32 == group[i] >> 32) ++j;
        if (j - i > 1) std::sort(group + i, group + j, before);
        i = j;
    }
}

// Sorts a content of `n` record lines into `result` (its entries, one per line), or tells that it is
// in order; false, with nothing done, when the content is not made only of record lines of one date.
bool sort_record_lines(const char* content, std::size_t n, PieceSortMemory& memory, SortedPieces& result)
{
    constexpr std::size_t ends_size = seconds_per_day * sizeof(std::uint32_t);
    if (memory.second_ends.size < ends_size) memory.second_ends = make_io_buffer(ends_size);
    auto* ends = reinterpret_cast<std::uint32_t*>(memory.second_ends.data());
    std::memset(ends, 0, ends_size);
    bool in_order = true;
    if (!count_record_lines(content, n, ends, in_order)) return false;
    result.in_order = in_order;
    if (in_order) return true;

    // Grown in steps, as the buffer of the content is.
    constexpr std::size_t step = std::size_t{2} << 20;
    if (memory.keys.size < n * sizeof(std::uint64_t)) memory.keys = make_io_buffer((n * sizeof(std::uint64_t) / step + 1) * step);
    // The second half of a chunk sort is not needed here: given back, so that the entries and it never add up.
    memory.spare = IoBuffer{};
    auto* entries = reinterpret_cast<std::uint64_t*>(memory.keys.data());
    // Each second's count becomes where its group starts, then, as its lines are put in, where it ends.
    std::uint32_t start = 0;
    for (std::size_t s = 0; s < seconds_per_day; ++s) {
        const std::uint32_t count = ends[s];
        ends[s] = start;
        start += count;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const char* line = content + i * max_piece_length;
        const std::uint64_t tail = big_endian_word(line + tail_at) >> 32;
        entries[ends[second_of_time(word_at(line + time_at))]++] = tail << 32 | i;
    }
    std::size_t begin = 0;
    for (std::size_t s = 0; s < seconds_per_day; ++s) {
        if (ends[s] - begin > 1) order_group(content, entries + begin, ends[s] - begin);
        begin = ends[s];
    }
    result.lines = entries;
    result.count = n;
    return true;
}

// Orders entries of equal key by the whole piece; equal pieces are alike, so any order of them will do.
void order_equal_keys(const char* content, Entry* entries, std::size_t n)
{
    const auto before = [content](const Entry& a, const Entry& b) {
        return piece_before({content + offset_of(a), length_of(a)}, {content + offset_of(b), length_of(b)});
    };
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i + 1;
        while (j < n && entries[j].key == entries[i].key) ++j;
        if (j - i > 1) std::sort(entries + i, entries + j, before);
        i = j;
    }
}

// Sorts the `n` entries of a chunk whose pieces share their first `shared` bytes; returns where they ended up.
Entry* sort_chunk(const char* content, Entry* entries, Entry* spare, std::size_t n, std::size_t shared)
{
    for (std::size_t i = 0; i < n; ++i)
        entries[i].key = key_of(content + offset_of(entries[i]), length_of(entries[i]), shared);
    Entry* sorted = radix_sort(entries, spare, n);
    order_equal_keys(content, sorted, n);
    return sorted;
}

// Collects bytes into a page-aligned block and hands full blocks on.
struct BlockWriter {
    const PieceBlockHandler* handle = nullptr;
    IoBuffer* block = nullptr;  // of at least block_size bytes
    std::size_t used = 0;
    bool failed = false;
    bool drop_repeats = false;      // leave out a piece equal to the one handed on before it
    const char* last = nullptr;     // the piece handed on last; it stays in the content
    std::size_t last_size = 0;
    PieceCounts counts;

    void put(const char* data, std::size_t size)
    {
        if (drop_repeats && last != nullptr && size == last_size && std::memcmp(data, last, size) == 0) {
            ++counts.repeats;
            return;
        }
        last = data;
        last_size = size;
        ++counts.pieces;
        // Nearly every piece is a whole record line; a copy of known size is a few moves.
        if (size == max_piece_length) {
            std::memcpy(block->data() + used, data, max_piece_length);
        } else {
            std::memcpy(block->data() + used, data, size);
        }
        used += size;
        if (used >= write_block) hand_on_full();
    }

    // Puts the pieces of `content`, which stand in order, without leaving out repeats.
    void put_in_order(const char* content, std::size_t size)
    {
        counts.pieces += count_pieces(content, size).pieces;
        for (std::size_t at = 0; at < size && !failed;) {
            const std::size_t length = std::min(size - at, write_block - used);
            std::memcpy(block->data() + used, content + at, length);
            used += length;
            at += length;
            if (used >= write_block) hand_on_full();
        }
    }

    // Puts a whole record line, as put() does.
    void put_line(const char* line)
    {
        if (drop_repeats) {
            put(line, max_piece_length);
            return;
        }
        ++counts.pieces;
        std::memcpy(block->data() + used, line, max_piece_length);
        used += max_piece_length;
        if (used >= write_block) hand_on_full();
    }

    // Hands on exactly write_block bytes, so that every write but the last starts and ends on a page
    // boundary of the file: the kernel copies into page cache at a page-aligned place several times
    // faster. The bytes past them start the next block.
    void hand_on_full()
    {
        char overflow[max_piece_length];
        const std::size_t extra = used - write_block;
        std::memcpy(overflow, block->data() + write_block, extra);
        if (!failed) failed = !(*handle)(*block, write_block);
        std::memcpy(block->data(), overflow, extra);
        used = extra;
    }

    bool flush()
    {
        if (used != 0 && !failed) failed = !(*handle)(*block, used);
        used = 0;
        return !failed;
    }
};

// A sorted stretch of the content, read piece by piece during the merge.
struct RunCursor {
    const char* next = nullptr;  // the current piece
    const char* end = nullptr;
    std::size_t length = 0;      // of the current piece
    std::uint64_t key = 0;       // of the current piece
};

void load_piece(RunCursor& run, std::size_t shared)
{
    run.length = piece_length_at(run.next, static_cast<std::size_t>(run.end - run.next));
    run.key = key_of(run.next, run.length, shared);
}

// True when the current piece of `a` sorts after that of `b`.
bool run_after(const RunCursor& a, const RunCursor& b)
{
    if (a.key != b.key) return a.key > b.key;
    return piece_before({b.next, b.length}, {a.next, a.length});
}

// Merges the sorted runs, whose pieces all share their first `shared` bytes, into `out`.
void merge_runs(const std::vector<PieceRun>& runs, std::size_t shared, BlockWriter& out)
{
    std::vector<RunCursor> heap;
    for (const PieceRun& stretch : runs) {
        RunCursor run{stretch.begin, stretch.end, 0, 0};
        if (run.next == run.end) continue;
        load_piece(run, shared);
        heap.push_back(run);
    }
    std::make_heap(heap.begin(), heap.end(), run_after);
    while (!heap.empty() && !out.failed) {
        std::pop_heap(heap.begin(), heap.end(), run_after);
        RunCursor& run = heap.back();
        out.put(run.next, run.length);
        run.next += run.length;
        if (run.next == run.end) {
            heap.pop_back();
            continue;
        }
        load_piece(run, shared);
        std::push_heap(heap.begin(), heap.end(), run_after);
    }
}

// How many lines ahead of the one being copied out the lines of a record-line sort are fetched into
// the cache: they lie anywhere in the content, and fetching several at once hides the wait for each.
constexpr std::size_t fetch_ahead = 16;

// Puts the record lines of `sorted` in order.
void put_record_lines(const SortedPieces& sorted, BlockWriter& out)
{
    const std::size_t fetched = std::min(sorted.count, fetch_ahead);
    for (std::size_t i = 0; i < fetched; ++i) __builtin_prefetch(line_of(sorted.content, sorted.lines[i]));
    for (std::size_t i = 0; i < sorted.count && !out.failed; ++i) {
        if (i + fetch_ahead < sorted.count) {
            const char* ahead = line_of(sorted.content, sorted.lines[i + fetch_ahead]);
            __builtin_prefetch(ahead);
            __builtin_prefetch(ahead + max_piece_length - 1);
        }
        out.put_line(line_of(sorted.content, sorted.lines[i]));
    }
}

}  // namespace

std::size_t piece_length_at(const char* data, std::size_t remaining)
{
    if (remaining >= max_piece_length) {
        // Eight bytes at a time (the last word overlaps the one before): the lowest byte of a word
        // equal to a line feed is found exactly by the carry trick, and that is the one wanted.
        constexpr std::uint64_t ones = 0x0101010101010101;
        constexpr std::uint64_t highs = 0x8080808080808080;
        for (const std::size_t at : {0, 8, 16, 24, 30}) {
            std::uint64_t w;
            std::memcpy(&w, data + at, sizeof w);
            w ^= ones * '\n';
            const std::uint64_t found = (w - ones) & ~w & highs;
            if (found != 0) return at + static_cast<std::size_t>(std::countr_zero(found)) / 8 + 1;
        }
        return max_piece_length;
    }
    const void* line_feed = std::memchr(data, '\n', remaining);
    return line_feed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(line_feed) - data) + 1 : remaining;
}

std::vector<std::string_view> split_line_pieces(std::string_view content)
{
    std::vector<std::string_view> pieces;
    pieces.reserve(content.size() / max_piece_length + 1);
    while (!content.empty()) {
        const std::size_t length = piece_length_at(content.data(), content.size());
        pieces.push_back(content.substr(0, length));
        content.remove_prefix(length);
    }
    return pieces;
}

bool piece_before(std::string_view a, std::string_view b)
{
    // Eight bytes at a time, read as big-endian numbers so that their order is the bytes' order.
    const std::size_t common = std::min(a.size(), b.size());
    std::size_t i = 0;
    for (; i + 8 <= common; i += 8) {
        const std::uint64_t x = big_endian_word(a.data() + i);
        const std::uint64_t y = big_endian_word(b.data() + i);
        if (x != y) return x < y;
    }
    for (; i < common; ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

bool pieces_in_order(std::string_view content)
{
    std::string_view previous;
    for (std::size_t at = 0; at < content.size();) {
        const std::string_view piece = content.substr(at, piece_length_at(content.data() + at, content.size() - at));
        if (piece_before(piece, previous)) return false;
        previous = piece;
        at += piece.size();
    }
    return true;
}

SortedPieces sort_pieces(char* content, std::size_t size, const PieceSortLimits& limits, PieceSortMemory& memory)
{
    SortedPieces result;
    result.content = content;
    result.size = size;
    result.in_order = size == 0;
    if (size == 0) return result;
    if (size % max_piece_length == 0 && size / max_piece_length <= std::min<std::size_t>(limits.record_lines, UINT32_MAX) &&
        sort_record_lines(content, size / max_piece_length, memory, result))
        return result;

    // A last piece shorter than 38 bytes without a line feed would run into the next piece
    // once moved, so it stays at the end of the content as a run of its own. After the last
    // line feed, pieces are 38 bytes each but the last.
    std::size_t body = size;
    if (content[size - 1] != '\n') {
        std::size_t after = size;  // just past the last line feed
        while (after > 0 && content[after - 1] != '\n') --after;
        body = size - (size - after) % max_piece_length;
    }

    const std::size_t chunk_pieces = std::max<std::size_t>(limits.chunk_pieces, 1);
    const std::size_t chunk_bytes = std::max(limits.chunk_bytes, max_piece_length);
    const std::size_t capacity = std::min(chunk_pieces, body + 1);
    // Either half also takes a chunk's bytes while they are put in order.
    const std::size_t half = std::max(capacity * sizeof(Entry), std::min(chunk_bytes, body + 1));
    // Entries of record lines may have taken more than a chunk's half: given back, so that the two
    // halves never take more than two chunks' worth.
    const std::size_t largest_half = std::max(chunk_pieces * sizeof(Entry), chunk_bytes);
    if (memory.keys.size < half || memory.keys.size > largest_half) memory.keys = make_io_buffer(half);
    if (memory.spare.size < half) memory.spare = make_io_buffer(half);
    auto* entries = reinterpret_cast<Entry*>(memory.keys.data());
    auto* spare_entries = reinterpret_cast<Entry*>(memory.spare.data());

    // The whole content as one chunk, when its pieces fit: the common case, sorted without a merge.
    if (body == size) {
        std::size_t shared = 0;
        bool in_order = true;
        const std::size_t n = cut_chunk(content, 0, body, chunk_pieces, body, entries, shared, in_order);
        if (offset_of(entries[n - 1]) + length_of(entries[n - 1]) == body) {
            result.in_order = in_order;
            if (in_order) return result;
            result.entries = sort_chunk(content, entries, spare_entries, n, shared);
            result.count = n;
            return result;
        }
    }
    result.in_order = pieces_in_order({content, size});
    if (result.in_order) return result;

    std::size_t shared_all = max_piece_length;  // bytes that every piece of every chunk shares
    for (std::size_t start = 0; start < body;) {
        std::size_t shared = 0;
        bool in_order = true;
        const std::size_t n = cut_chunk(content, start, body, chunk_pieces, chunk_bytes, entries, shared, in_order);
        const std::size_t at = offset_of(entries[n - 1]) + length_of(entries[n - 1]);
        shared_all = std::min({shared_all, shared,
                               shared_prefix(content, content + start, std::min(shared_all, shared))});
        const Entry* sorted = sort_chunk(content, entries, spare_entries, n, shared);
        // Put the chunk's bytes in order in place, through the half of the memory not holding the entries.
        char* scratch = sorted == entries ? memory.spare.data() : memory.keys.data();
        std::size_t o = 0;
        for (std::size_t i = 0; i < n; ++i) {
            std::memcpy(scratch + o, content + offset_of(sorted[i]), length_of(sorted[i]));
            o += length_of(sorted[i]);
        }
        std::memcpy(content + start, scratch, o);
        result.runs.push_back({content + start, content + at});
        start = at;
    }
    if (body < size) {
        result.runs.push_back({content + body, content + size});
        shared_all = std::min({shared_all, size - body, shared_prefix(content, content + body, std::min(shared_all, size - body))});
    }
    result.shared = shared_all;
    return result;
}

PieceCounts count_pieces(const char* content, std::size_t size)
{
    PieceCounts counts;
    const char* last = nullptr;
    std::size_t last_size = 0;
    for (std::size_t at = 0; at < size;) {
        const std::size_t length = piece_length_at(content + at, size - at);
        if (last != nullptr && length == last_size && std::memcmp(content + at, last, length) == 0) ++counts.repeats;
        ++counts.pieces;
        last = content + at;
        last_size = length;
        at += length;
    }
    return counts;
}

bool write_piece_blocks(const SortedPieces& sorted, const PieceBlockHandler& handle, IoBuffer& block, bool drop_repeats,
                        PieceCounts* counts)
{
    if (block.size < block_size) block = make_io_buffer(block_size);
    BlockWriter out;
    out.handle = &handle;
    out.block = &block;
    out.drop_repeats = drop_repeats;
    if (sorted.in_order && !drop_repeats) {
        out.put_in_order(sorted.content, sorted.size);
    } else if (sorted.in_order) {
        for (std::size_t at = 0; at < sorted.size && !out.failed;) {
            const std::size_t length = piece_length_at(sorted.content + at, sorted.size - at);
            out.put(sorted.content + at, length);
            at += length;
        }
    } else if (sorted.lines != nullptr) {
        put_record_lines(sorted, out);
    } else if (sorted.runs.empty()) {
        for (std::size_t i = 0; i < sorted.count && !out.failed; ++i)
            out.put(sorted.content + offset_of(sorted.entries[i]), length_of(sorted.entries[i]));
    } else {
        merge_runs(sorted.runs, sorted.shared, out);
    }
    if (counts != nullptr) *counts = out.counts;
    return out.flush();
}

bool write_pieces(const SortedPieces& sorted, const std::function<bool(const char* data, std::size_t size)>& write,
                  bool drop_repeats, PieceCounts* counts)
{
    if (sorted.in_order && !drop_repeats) {
        if (counts != nullptr) *counts = {count_pieces(sorted.content, sorted.size).pieces, 0};
        return sorted.size == 0 || write(sorted.content, sorted.size);
    }
    const PieceBlockHandler handle = [&write](IoBuffer& full, std::size_t size) { return write(full.data(), size); };
    IoBuffer block;
    return write_piece_blocks(sorted, handle, block, drop_repeats, counts);
}

bool write_sorted_pieces(char* content, std::size_t size, const PieceSortLimits& limits,
                         const std::function<bool(const char* data, std::size_t size)>& write)
{
    PieceSortMemory memory;
    return write_pieces(sort_pieces(content, size, limits, memory), write);
}

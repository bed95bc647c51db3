// Line pieces of a day file and their order: how a file's bytes are cut into pieces,
// how two pieces compare, and a sort of all pieces of a file held in memory that
// takes a bounded amount of memory beside the file's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "services/io_buffer.h"

// A line piece without a line feed ends after this many bytes.
constexpr std::size_t max_piece_length = 38;

// Returns the length of the line piece that starts at `data`, of which `remaining` bytes are
// left: up to and including the first line feed, or 38 bytes when no line feed comes first, or all.
std::size_t piece_length_at(const char* data, std::size_t remaining);

// Splits `content` into line pieces: each runs up to and including the first line feed,
// or 38 bytes when no line feed comes first, or to the end; together they are all of `content`.
std::vector<std::string_view> split_line_pieces(std::string_view content);

// True when piece `a` sorts before piece `b`: the first differing byte, as an unsigned value,
// decides, and a piece that is a prefix of the other comes first.
bool piece_before(std::string_view a, std::string_view b);

// True when the line pieces of `content` already stand in ascending order.
bool pieces_in_order(std::string_view content);

// How much memory a piece sort may take beside the content: pieces are sorted in chunks
// of at most this many pieces and bytes, which are then merged.
struct PieceSortLimits {
    std::size_t chunk_pieces = std::size_t{896} << 10;  // 917,504 pieces: 28 MiB of sort keys
    std::size_t chunk_bytes = std::size_t{14} << 20;    // sorted in place through half the keys' memory
    // A content made only of record lines (see sort_pieces) of at most this many lines is sorted
    // whole through an 8-byte entry per line: 24 MiB, which leaves room for the blocks being written.
    std::size_t record_lines = std::size_t{3} << 20;
};

// One piece to sort: its key (the eight bytes after the prefix that all pieces share) and
// where it lies (its offset in the content << 8 | its length).
struct PieceEntry {
    std::uint64_t key;
    std::uint64_t place;
};

// A stretch of the content whose pieces stand in ascending order.
struct PieceRun {
    const char* begin;
    const char* end;
};

// Memory that the sorts of successive files share, so that each sort need not take fresh pages.
struct PieceSortMemory {
    IoBuffer keys;         // sort entries, or the entries of record lines
    IoBuffer spare;        // as many sort entries again
    IoBuffer second_ends;  // where the record lines of each second of the day end among their entries
};

// The line pieces of a content in ascending order, ready to be written: either the entries of
// its one chunk, or sorted runs of its bytes to be merged. Valid while the content and memory are.
struct SortedPieces {
    const char* content = nullptr;
    std::size_t size = 0;
    bool in_order = false;                // the content is in order as it is
    const PieceEntry* entries = nullptr;  // the pieces in order, when `runs` is empty
    std::size_t count = 0;
    std::vector<PieceRun> runs;
    std::size_t shared = 0;               // how many leading bytes all pieces share
    // Record lines: one entry per line in order, its low half the line's number. `count` lines.
    const std::uint64_t* lines = nullptr;
};

// Sorts the line pieces of `content` within the memory `limits` allow beside it, reordering
// `content` in place where it takes more than one chunk; tells when it is in order already.
// A content made only of record lines as the scan writes them (38-byte pieces, each ending in a
// line feed, all with the same first eight bytes and a time of day hhmmss after them) is sorted
// by bucketing its lines by that second, which leaves the content as it is.
SortedPieces sort_pieces(char* content, std::size_t size, const PieceSortLimits& limits, PieceSortMemory& memory);

// How many pieces a content holds or a write handed on, and how many equal the piece before them.
struct PieceCounts {
    std::size_t pieces = 0;   // pieces counted or handed on
    std::size_t repeats = 0;  // pieces equal byte for byte to the piece before them (left out by a write that drops them)
};

// Counts the pieces of `content`, in the order they stand, and those equal to the piece before them.
PieceCounts count_pieces(const char* content, std::size_t size);

// Hands the pieces of `sorted` to `write` in order, nothing between them, in blocks of about a
// mebibyte, leaving out repeats when `drop_repeats` is set; fills `counts` when given. Returns
// false as soon as `write` does.
bool write_pieces(const SortedPieces& sorted, const std::function<bool(const char* data, std::size_t size)>& write,
                  bool drop_repeats = false, PieceCounts* counts = nullptr);

// Receives a full block of sorted pieces: the first `size` bytes of `block`. It may take the block
// and leave another one of the same size in its place. False stops the writing.
using PieceBlockHandler = std::function<bool(IoBuffer& block, std::size_t size)>;

// Hands the pieces of `sorted` to `handle` as write_pieces does, always copied into blocks, so that the
// content may change as soon as it returns. The pieces go into `block` first (made when too small),
// which is left for the next call.
bool write_piece_blocks(const SortedPieces& sorted, const PieceBlockHandler& handle, IoBuffer& block,
                        bool drop_repeats = false, PieceCounts* counts = nullptr);

// Sorts and writes the line pieces of `content`, as sort_pieces and write_pieces do.
bool write_sorted_pieces(char* content, std::size_t size, const PieceSortLimits& limits,
                         const std::function<bool(const char* data, std::size_t size)>& write);

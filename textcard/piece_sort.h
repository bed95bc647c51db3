// Line pieces of a day file and their order: how a file's bytes are cut into pieces,
// how two pieces compare, and a sort of all pieces of a file held in memory that
// takes a bounded amount of memory beside the file's bytes.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

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
    std::size_t chunk_pieces = std::size_t{3} << 18;  // 786,432 pieces: 24 MiB of sort keys
    std::size_t chunk_bytes = std::size_t{12} << 20;  // must fit in half the keys' memory
};

// Hands the line pieces of `content` to `write`, in ascending order (duplicates kept, nothing
// between them), in blocks of about a mebibyte; `content` may be reordered while sorting.
// Returns false as soon as `write` does.
bool write_sorted_pieces(char* content, std::size_t size, const PieceSortLimits& limits,
                         const std::function<bool(const char* data, std::size_t size)>& write);

// The straightforward model of day-file sorting that the tests and fuzz targets check the
// real sort against: split byte by byte, compare byte by byte, sort with the library.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Splits `content` byte by byte: a piece ends after a line feed, at 38 bytes, or at the end.
inline std::vector<std::string> plain_pieces(std::string_view content)
{
    std::vector<std::string> pieces;
    std::string piece;
    for (const char c : content) {
        piece += c;
        if (c == '\n' || piece.size() == 38) {
            pieces.push_back(piece);
            piece.clear();
        }
    }
    if (!piece.empty()) pieces.push_back(piece);
    return pieces;
}

// True when `a` comes before `b`: the first differing byte, taken as unsigned, decides; a prefix comes first.
inline bool plain_before(const std::string& a, const std::string& b)
{
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

// The content of a day file after sorting: its pieces in ascending order, nothing between them.
inline std::string plain_sorted(std::string_view content)
{
    std::vector<std::string> pieces = plain_pieces(content);
    std::stable_sort(pieces.begin(), pieces.end(), plain_before);
    std::string out;
    for (const std::string& piece : pieces) out += piece;
    return out;
}

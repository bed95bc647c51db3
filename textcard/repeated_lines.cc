#include "textcard/repeated_lines.h"

#include <algorithm>

std::size_t drop_repeated_pieces(std::vector<std::string_view>& pieces)
{
    // Sorted, so equal pieces stand together.
    const auto kept_end = std::unique(pieces.begin(), pieces.end());
    const auto dropped = static_cast<std::size_t>(pieces.end() - kept_end);
    pieces.erase(kept_end, pieces.end());
    return dropped;
}

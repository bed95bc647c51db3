// One copy of each line: dropping the repeats from sorted line pieces.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

// Removes from the sorted `pieces` every piece equal byte for byte to the one before it,
// keeping the order of the rest; returns how many it removed.
std::size_t drop_repeated_pieces(std::vector<std::string_view>& pieces);

// A card reader asked for fewer bytes than a sector at a time must still count each
// unreadable sector once, as it does for reads of whole blocks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "services/card_reader.h"
#include "tests/test_support.h"

namespace {

TEST(CardReader, CountsAnUnreadableSectorOnceWhateverTheReadSize)
{
    // 3 whole sectors and a partial one; sectors 0 and 2 cannot be read.
    const Bytes bytes(3 * 512 + 100, 'a');
    for (const std::size_t read_size : {std::size_t{1}, std::size_t{38}, std::size_t{100}, std::size_t{511}}) {
        MemoryVolume volume(bytes);
        volume.bad_sectors = {0, 2};
        bool positioned = false;
        CardReader reader = start_card_reader(volume, 0, positioned);
        ASSERT_TRUE(positioned);
        std::vector<char> buffer(read_size);
        std::size_t read = 0;
        std::size_t skipped = 0;
        for (int calls = 0;; ++calls) {
            ASSERT_LT(calls, 100000) << "the reader never reached the end";
            const CardPiece piece = read_card(reader, buffer.data(), buffer.size());
            read += piece.bytes;
            skipped += piece.skipped;
            if (piece.end) break;
        }
        EXPECT_EQ(read, bytes.size() - 2 * 512) << read_size;
        EXPECT_EQ(skipped, 2u * 512) << read_size;
        EXPECT_EQ(reader.skipped_sectors, 2) << read_size;
        EXPECT_EQ(reader.first_skipped, 0u) << read_size;
    }
}

}  // namespace

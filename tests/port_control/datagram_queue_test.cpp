#include "components/datagram_queue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <string>

namespace port_control {
namespace {

std::string datagram(size_t number, size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((number * 31 + i) & 0xFF);
    return bytes;
}

// Datagrams go in through both doors (written in place, copied in) and come out whole, in
// order, while the store grows, moves what it holds to the front and starts again empty; a
// queue that grows long and one that drains often, small datagrams going into the room
// inside and moving out of it as others follow.
TEST(DatagramQueueTest, DatagramsComeOutWholeAndInOrderAcrossGrowthAndMoves) {
    for (const unsigned popsInSix : {2u, 3u, 4u}) {
        SCOPED_TRACE(popsInSix);
        DatagramQueue queue;
        std::deque<std::string> expected;
        std::mt19937 random(7);
        size_t number = 0;
        for (int step = 0; step < 20000; ++step) {
            if (random() % 6 >= popsInSix) {
                const size_t size = random() % 4 == 0 ? random() % 9000 : random() % 64;
                const std::string bytes = datagram(number++, size);
                if (random() % 2 == 0) {
                    // Room for a full datagram, of which only part is written.
                    char* space = queue.spaceFor(random() % 2 == 0 ? 64 * 1024 : size);
                    std::memcpy(space, bytes.data(), bytes.size());
                    queue.commit(bytes.size());
                } else {
                    queue.push(bytes);
                }
                expected.push_back(bytes);
            } else if (!expected.empty()) {
                ASSERT_EQ(queue.front(), expected.front()) << step;
                queue.pop();
                expected.pop_front();
            }
            ASSERT_EQ(queue.count(), expected.size());
        }
        size_t held = 0;
        for (const std::string& bytes : expected)
            held += bytes.size();
        EXPECT_EQ(queue.bytes(), held);
        while (!expected.empty()) {
            ASSERT_EQ(queue.front(), expected.front());
            queue.pop();
            expected.pop_front();
        }
        EXPECT_TRUE(queue.empty());
        EXPECT_EQ(queue.bytes(), 0u);
    }
}

TEST(DatagramQueueTest, EmptyDatagramsCountAsDatagrams) {
    DatagramQueue queue;
    queue.push("");
    queue.push("x");
    queue.spaceFor(16);
    queue.commit(0);
    ASSERT_EQ(queue.count(), 3u);
    EXPECT_EQ(queue.front(), "");
    queue.pop();
    EXPECT_EQ(queue.front(), "x");
    queue.pop();
    EXPECT_EQ(queue.front(), "");
    queue.pop();
    EXPECT_TRUE(queue.empty());
}

TEST(DatagramQueueTest, TheStoreABurstGrewIsGivenBackWhenItDrainsAndASmallOneKept) {
    DatagramQueue queue;
    queue.push(std::string(1000, 'a'));
    queue.pop();
    const size_t small = queue.capacity();
    EXPECT_GE(small, 1000u);
    queue.push("b");
    queue.pop();
    EXPECT_EQ(queue.capacity(), small) << "a small store is kept for the next datagrams";

    for (int i = 0; i < 1000; ++i)
        queue.push(std::string(1000, 'c'));
    EXPECT_GE(queue.capacity(), 1000u * 1000u);
    queue.clear();
    EXPECT_EQ(queue.capacity(), 0u);
    EXPECT_TRUE(queue.empty());
}

}  // namespace
}  // namespace port_control

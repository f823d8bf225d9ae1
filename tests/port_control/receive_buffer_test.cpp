#include "receive_buffer.h"

#include <gtest/gtest.h>

namespace port_control {
namespace {

TEST(ReceiveBufferTest, PiecesComeOutInOrderAcrossCompactions) {
    ReceiveBuffer buffer;
    std::u16string expected;
    for (int i = 0; i < 20000; ++i) {
        const char16_t c = static_cast<char16_t>(u'A' + i % 26);
        buffer.append(std::u16string(1, c));
        expected.push_back(c);
    }
    std::u16string drained;
    for (size_t piece : {1u, 7u, 4096u, 3u, 1u})
        drained += buffer.take(piece);
    while (!buffer.empty())
        drained += buffer.take(333);
    EXPECT_EQ(drained, expected);
    EXPECT_EQ(buffer.take(5), u"");
}

TEST(ReceiveBufferTest, TakingAllOrMoreThanWaitingEmptiesIt) {
    ReceiveBuffer buffer;
    buffer.append(u"ABC");
    EXPECT_EQ(buffer.take(10), u"ABC");
    EXPECT_TRUE(buffer.empty());
    buffer.append(u"DE");
    buffer.append(u"F");
    EXPECT_EQ(buffer.take(0), u"DEF");
    EXPECT_EQ(buffer.capacityBytes(), std::u16string().capacity() * sizeof(char16_t));
}

TEST(ReceiveBufferTest, AppendingAfterPartialReadsKeepsOrder) {
    ReceiveBuffer buffer;
    buffer.append(std::u16string(10000, u'x'));
    EXPECT_EQ(buffer.take(9000).size(), 9000u);  // compacts
    buffer.append(u"yz");
    EXPECT_EQ(buffer.size(), 1002u);
    EXPECT_EQ(buffer.take(0), std::u16string(1000, u'x') + u"yz");
}

TEST(ReceiveBufferTest, CompactionReleasesTheConsumedPart) {
    ReceiveBuffer buffer;
    buffer.append(std::u16string(1 << 20, u'a'));
    buffer.take((1 << 20) - 100);
    EXPECT_LE(buffer.capacityBytes(), 2 * 100 + 64u);
}

}  // namespace
}  // namespace port_control

#include "receive_buffer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

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
    EXPECT_EQ(buffer.capacityBytes(), 0u) << "a drained buffer holds no storage";
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

// Texts of every size, read in pieces of every size, come out as they went in; and what
// waits never takes much more than two bytes a character, whether it came in small pieces
// (gathered) or large ones (kept as they are), nor keeps what was read.
TEST(ReceiveBufferTest, MixedSizesComeOutInOrderAndMemoryFollowsWhatWaits) {
    ReceiveBuffer buffer;
    std::u16string expected;
    std::mt19937 random(3);
    size_t next = 0;
    auto text = [&](size_t size) {
        std::u16string t;
        for (size_t i = 0; i < size; ++i)
            t += static_cast<char16_t>(u'A' + next++ % 26);
        return t;
    };
    std::u16string drained;
    for (int round = 0; round < 3000; ++round) {
        const size_t size = random() % 3 == 0 ? 2048 + random() % 5000 : 1 + random() % 300;
        std::u16string piece = text(size);
        expected += piece;
        buffer.append(std::move(piece));
        if (random() % 2 == 0)
            drained += buffer.take(1 + random() % 3000);
        const size_t waiting = buffer.size();
        ASSERT_EQ(waiting, expected.size() - drained.size());
        ASSERT_LE(buffer.capacityBytes(), 2 * waiting * 9 / 8 + 2 * (2 * 4096 + 7000))
            << "round " << round;
    }
    drained += buffer.take(0);
    EXPECT_EQ(drained, expected);
}

// A stream read as it comes, over a backlog that never drains, holds what waits and no more:
// neither the chunks read nor their places in the queue pile up. Small texts (gathered), texts
// of a chunk's size (kept as they come) and texts that keep their room (decoded from
// double-byte characters) each arrive at the pace they are read.
TEST(ReceiveBufferTest, AStreamThatNeverDrainsHoldsOnlyWhatWaits) {
    struct Case {
        size_t textSize;
        size_t textRoom;
        size_t backlog;
    };
    for (const Case& c :
         {Case{100, 100, 5000}, Case{3000, 3000, 10000}, Case{1, 1, 50}, Case{600, 1200, 3000}}) {
        ReceiveBuffer buffer;
        uint32_t next = 0;
        auto text = [&] {
            std::u16string t;
            t.reserve(c.textRoom);
            for (size_t i = 0; i < c.textSize; ++i)
                t += static_cast<char16_t>(u'A' + next++ % 26);
            return t;
        };
        uint32_t expected = 0;
        auto takeAndCheck = [&](size_t count) {
            for (char16_t got : buffer.take(count))
                ASSERT_EQ(got, static_cast<char16_t>(u'A' + expected++ % 26));
        };
        while (buffer.size() < c.backlog)
            buffer.append(text());
        for (int round = 0; round < 20000; ++round) {
            ASSERT_TRUE(buffer.append(text()));
            takeAndCheck(c.textSize);
            const size_t bound = 2 * buffer.size() * 9 / 8 + 2 * 2 * ReceiveBuffer::kChunkUnits +
                                 2 * c.textRoom + 4096;
            ASSERT_LE(buffer.capacityBytes(), bound)
                << "text of " << c.textSize << ", round " << round;
        }
        takeAndCheck(0);
        EXPECT_EQ(expected, next);
    }
}

TEST(ReceiveBufferTest, TextWithMuchSpareRoomIsKeptTight) {
    ReceiveBuffer buffer;
    std::u16string roomy;
    roomy.reserve(100000);
    roomy.assign(10000, u'z');
    buffer.append(std::move(roomy));
    EXPECT_LE(buffer.capacityBytes(), 2 * 10000 * 9 / 8);
    EXPECT_EQ(buffer.take(0), std::u16string(10000, u'z'));
}

// A peer cannot grow the buffer past its cap: text that would pass it is refused whole, the
// last text that fits exactly is taken, and what is held stays at two bytes a character.
TEST(ReceiveBufferTest, TextPastTheCapIsRefusedWholeAndTheMemoryStaysBounded) {
    constexpr size_t kLargest = 65507;  // the largest datagram
    constexpr size_t kFit = ReceiveBuffer::kMaxCharacters / kLargest;
    ReceiveBuffer buffer;
    size_t accepted = 0;
    for (size_t i = 0; i < kFit + 3; ++i)
        accepted += buffer.append(std::u16string(kLargest, u'L'));
    EXPECT_EQ(accepted, kFit);
    EXPECT_EQ(buffer.size(), kFit * kLargest);
    EXPECT_LE(buffer.capacityBytes(), 2 * ReceiveBuffer::kMaxCharacters * 9 / 8);

    const size_t rest = ReceiveBuffer::kMaxCharacters - buffer.size();
    EXPECT_TRUE(buffer.append(std::u16string(rest, u'r')));
    EXPECT_FALSE(buffer.append(u"x"));
    EXPECT_TRUE(buffer.append(u"")) << "nothing to add always fits";
    EXPECT_EQ(buffer.size(), ReceiveBuffer::kMaxCharacters);
    EXPECT_EQ(buffer.take(2), u"LL");
    EXPECT_TRUE(buffer.append(u"xy")) << "reading makes room";
    EXPECT_FALSE(buffer.append(u"z"));
}

}  // namespace
}  // namespace port_control

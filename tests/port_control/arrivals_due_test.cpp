#include "components/arrivals_due.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>

namespace port_control {
namespace {

// Counts come out in order while the ring wraps, grows out of the inline slots at any head,
// drains, and starts again; runs of pushes of each length up to past the kept size.
TEST(ArrivalsDueTest, CountsComeOutInOrderAcrossWrapsGrowthAndDrains) {
    ArrivalsDue due;
    std::deque<int32_t> expected;
    std::mt19937 random(11);
    int32_t next = 0;
    for (int step = 0; step < 20000; ++step) {
        const unsigned run = random() % 8 == 0 ? random() % 3000 : random() % 6;
        for (unsigned i = 0; i < run; ++i) {
            due.push(next);
            expected.push_back(next++);
        }
        const unsigned taken = random() % 7;
        for (unsigned i = 0; i < taken && !expected.empty(); ++i) {
            ASSERT_EQ(due.pop(), expected.front()) << step;
            expected.pop_front();
        }
        ASSERT_EQ(due.size(), expected.size());
        if (random() % 50 == 0) {
            due.clear();
            expected.clear();
        }
        ASSERT_EQ(due.empty(), expected.empty());
    }
}

}  // namespace
}  // namespace port_control

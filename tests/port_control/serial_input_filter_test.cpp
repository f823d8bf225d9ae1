#include "components/serial_input_filter.h"

#include <gtest/gtest.h>

namespace port_control {
namespace {

std::string run(SerialInputFilter& filter, std::string_view input,
                SerialInputFilter::Options options, SerialInputFilter::Report* report = nullptr) {
    std::string out;
    auto result = filter.filter(input, options, out);
    if (report)
        *report = result;
    return out;
}

using namespace std::string_literals;

TEST(SerialInputFilterTest, UnescapesMarksAndReportsThem) {
    SerialInputFilter filter;
    SerialInputFilter::Report report;
    SerialInputFilter::Options keep;  // no replacement
    EXPECT_EQ(run(filter,
                  "a\xFF\xFF"
                  "b",
                  keep, &report),
              "a\xFF"
              "b");
    EXPECT_EQ(report.parityErrors, 0u);

    EXPECT_EQ(run(filter,
                  "\xFF\0X\xFF\0\0"
                  "c"s,
                  keep, &report),
              "Xc");
    EXPECT_EQ(report.parityErrors, 1u);
    EXPECT_EQ(report.breaks, 1u);

    SerialInputFilter::Options replace;
    replace.parityReplacement = '?';
    EXPECT_EQ(run(filter, "\xFF\0X\xFF\0Y"s, replace, &report), "??");
    EXPECT_EQ(report.parityErrors, 2u);
}

TEST(SerialInputFilterTest, MarksSplitAcrossReadsAreJoined) {
    SerialInputFilter filter;
    SerialInputFilter::Options options;
    options.parityReplacement = '#';
    SerialInputFilter::Report report;
    std::string out;
    out += run(filter, "1\xFF", options);
    out += run(filter,
               "\xFF"
               "2\xFF",
               options);
    out += run(filter, "\0"s, options);
    out += run(filter, "Z3", options, &report);
    EXPECT_EQ(out,
              "1\xFF"
              "2#3");
    EXPECT_EQ(report.parityErrors, 1u);

    // A flush forgets half a mark.
    run(filter, "\xFF", options);
    filter.reset();
    EXPECT_EQ(run(filter, "\0A"s, options), "\0A"s);
}

TEST(SerialInputFilterTest, OnALineWithoutMarksEveryByteIsData) {
    SerialInputFilter filter;
    SerialInputFilter::Options options;
    options.marked = false;
    SerialInputFilter::Report report;
    const std::string marks = "\xFF\0\0\xFF\0X\xFF\xFF\xFF"s;
    EXPECT_EQ(run(filter, marks, options, &report), marks);
    EXPECT_EQ(report.breaks, 0u);
    EXPECT_EQ(report.parityErrors, 0u);
    options.nullDiscard = true;
    EXPECT_EQ(run(filter, "\xFF\0a\x1A"s, options, &report),
              "\xFF"
              "a\x1A");
    EXPECT_TRUE(report.eofReceived);
}

TEST(SerialInputFilterTest, NullDiscardAndEofDetectionApplyToDeliveredBytes) {
    SerialInputFilter filter;
    SerialInputFilter::Options options;
    options.nullDiscard = true;
    SerialInputFilter::Report report;
    EXPECT_EQ(run(filter, "\0a\0\0b"s, options, &report), "ab");
    EXPECT_FALSE(report.eofReceived);
    EXPECT_EQ(run(filter, "x\x1Ay", options, &report), "x\x1Ay");
    EXPECT_TRUE(report.eofReceived);
    // A parity error replaced by NUL is dropped like any other NUL.
    options.parityReplacement = '\0';
    EXPECT_EQ(run(filter, "\xFF\0Q!"s, options, &report), "!");
    EXPECT_EQ(report.parityErrors, 1u);
    // An escape followed by something the line discipline never sends is kept as data.
    EXPECT_EQ(run(filter, "\xFFq", SerialInputFilter::Options{}), "\xFFq");
}

}  // namespace
}  // namespace port_control

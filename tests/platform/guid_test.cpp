#include "platform/guid.h"

#include <gtest/gtest.h>

#include "platform/unknown.h"

namespace platform {
namespace {

// {70EA1CB1-0F47-4800-95EA-58FD1B89C64B}
constexpr Guid kSample{
    0x70EA1CB1, 0x0F47, 0x4800, {0x95, 0xEA, 0x58, 0xFD, 0x1B, 0x89, 0xC6, 0x4B}};

TEST(GuidText, ParsesAndFormatsTheBracedForm) {
    EXPECT_EQ(Guid::parse("{70EA1CB1-0F47-4800-95EA-58FD1B89C64B}"), kSample);
    EXPECT_EQ(Guid::parse("{70ea1cb1-0f47-4800-95ea-58fd1b89c64b}"), kSample);
    EXPECT_EQ(kSample.toString(), "{70EA1CB1-0F47-4800-95EA-58FD1B89C64B}");
    EXPECT_EQ(IID_IUnknown.toString(), "{00000000-0000-0000-C000-000000000046}");
    EXPECT_EQ(Guid::parse(IID_IClassFactory.toString()), IID_IClassFactory);
}

TEST(GuidText, RejectsAnythingButTheExactForm) {
    for (const char* text : {
             "",
             "70EA1CB1-0F47-4800-95EA-58FD1B89C64B",     // no braces
             "{70EA1CB1-0F47-4800-95EA-58FD1B89C64B",    // one brace
             "{70EA1CB1-0F47-4800-95EA-58FD1B89C64B}x",  // trailing text
             "{70EA1CB1-0F47-4800-95EA58FD1B89C64B-}",   // dash moved
             "{70EA1CB1-0F47-4800-95EA-58FD1B89C64G}",   // not hex
             "{70EA1CB1-0F47-4800-95EA-58FD1B89C6 4}",   // blank inside
             "{+0EA1CB1-0F47-4800-95EA-58FD1B89C64B}",   // sign
             "(70EA1CB1-0F47-4800-95EA-58FD1B89C64B)",
         }) {
        EXPECT_EQ(Guid::parse(text), std::nullopt) << text;
    }
}

TEST(GuidBytes, UseThePlatformLayout) {
    const auto bytes = kSample.toBytes();
    const std::array<uint8_t, 16> expected{0xB1, 0x1C, 0xEA, 0x70, 0x47, 0x0F, 0x00, 0x48,
                                           0x95, 0xEA, 0x58, 0xFD, 0x1B, 0x89, 0xC6, 0x4B};
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(Guid::fromBytes(bytes), kSample);
}

TEST(GuidOrder, IsTotalAndEqualityIsFieldwise) {
    Guid other = kSample;
    EXPECT_EQ(other, kSample);
    other.data4[7] ^= 1;
    EXPECT_NE(other, kSample);
    EXPECT_TRUE(other < kSample || kSample < other);
    EXPECT_EQ(GUID_NULL.toString(), "{00000000-0000-0000-0000-000000000000}");
}

}  // namespace
}  // namespace platform

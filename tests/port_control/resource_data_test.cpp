#include "interface/resource_data.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/resources.h"
#include "portula/portula_ids.h"

namespace port_control {
namespace {

platform::ModuleCounter g_counter;

// A record that carries only these resources, as the library's registration record lists
// them (the registration adds the type library).
platform::LibraryRecord recordWithResources() {
    return {.name = "Corvane",
            .description = "Corvane",
            .helpDir = "",
            .typeLibId = ids::LIBID_Corvane,
            .versionMajor = ids::kTypeLibMajor,
            .versionMinor = ids::kTypeLibMinor,
            .lcid = 0,
            .threadingModel = "Apartment",
            .classes = {},
            .resources = corvaneResources(),
            .counter = g_counter};
}

platform::ResourceBytes resource(std::string_view type, const platform::ResourceId& id) {
    const auto bytes = platform::findResource(recordWithResources(), type, id);
    if (!bytes)
        ADD_FAILURE() << "no resource " << type;
    return bytes.value_or(platform::ResourceBytes{});
}

uint16_t u16(platform::ResourceBytes bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}
uint32_t u32(platform::ResourceBytes bytes, size_t at) {
    return u16(bytes, at) | static_cast<uint32_t>(u16(bytes, at + 2)) << 16;
}

std::vector<uint8_t> toVector(platform::ResourceBytes bytes) {
    return {bytes.begin(), bytes.end()};
}

// Interface-identifier records

TEST(InterfaceRecordTest, EachHoldsLengthSixteenThenTheIdentifierInPlatformLayout) {
    const std::vector<uint8_t> expectedDefault{0x10, 0x00, 0x00, 0x00, 0xE6, 0xBA, 0x41,
                                               0xAE, 0x97, 0x2B, 0xDA, 0x41, 0x83, 0x74,
                                               0x6B, 0xBB, 0x84, 0xB8, 0xA9, 0x01};
    const std::vector<uint8_t> expectedSource{0x10, 0x00, 0x00, 0x00, 0xDB, 0xDD, 0xFB,
                                              0xAB, 0x42, 0x81, 0x1F, 0x4D, 0x93, 0x22,
                                              0x3E, 0x0D, 0xE1, 0x1D, 0x29, 0x83};
    EXPECT_EQ(toVector(resource("_IID_PORTULA", 1u)), expectedDefault);
    EXPECT_EQ(toVector(resource("_SRCIID_PORTULA", 1u)), expectedSource);

    // The same layout the platform itself gives a GUID.
    for (auto [type, iid] : {std::pair{"_IID_PORTULA", ids::IID__Portula},
                             std::pair{"_SRCIID_PORTULA", ids::DIID___Portula}}) {
        const platform::ResourceBytes bytes = resource(type, 1u);
        ASSERT_EQ(bytes.size(), 20u);
        EXPECT_EQ(u32(bytes, 0), 16u);
        std::array<uint8_t, 16> guid{};
        std::memcpy(guid.data(), bytes.data() + 4, guid.size());
        EXPECT_EQ(platform::Guid::fromBytes(guid), iid) << type;
    }
}

TEST(InterfaceRecordTest, TypesAreFoundWithoutRegardToCaseAndOnlyUnderTheirId) {
    const platform::LibraryRecord record = recordWithResources();
    EXPECT_TRUE(platform::findResource(record, "_iid_portula", 1u));
    EXPECT_TRUE(platform::findResource(record, "gif", 1u));
    EXPECT_FALSE(platform::findResource(record, "_IID_PORTULA", 2u));
    EXPECT_FALSE(platform::findResource(record, "BITMAP", 1u));
    EXPECT_FALSE(platform::findResource(record, "TYPELIB", 1u));  // the registration adds it
}

// Toolbox bitmap: a whole .bmp file

struct Rgb {
    uint8_t red, green, blue;
    bool isYellow() const { return red > 200 && green > 200 && blue < 60; }
    bool isBlue() const { return blue > 150 && red < 80 && green < 80; }
};

TEST(ToolboxBitmapTest, HeaderDescribesSixteenByFifteenUncompressedTrueColour) {
    const platform::ResourceBytes bmp = resource("BITMAP", kToolboxBitmapId);
    ASSERT_GE(bmp.size(), 54u);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(u32(bmp, 2), bmp.size());  // file size
    EXPECT_EQ(u32(bmp, 10), 54u);        // pixels follow the two headers
    EXPECT_EQ(u32(bmp, 14), 40u);        // BITMAPINFOHEADER
    EXPECT_EQ(static_cast<int32_t>(u32(bmp, 18)), 16);
    EXPECT_EQ(static_cast<int32_t>(u32(bmp, 22)), 15);  // positive: rows run bottom-up
    EXPECT_EQ(u16(bmp, 26), 1u);                        // planes
    EXPECT_EQ(u16(bmp, 28), 24u);                       // bits per pixel
    EXPECT_EQ(u32(bmp, 30), 0u);                        // BI_RGB
    const size_t stride = (16 * 3 + 3) / 4 * 4;
    EXPECT_EQ(u32(bmp, 34), stride * 15);
    EXPECT_EQ(bmp.size(), 54 + stride * 15);
}

Rgb bitmapPixel(platform::ResourceBytes bmp, int x, int yFromTop) {
    const size_t stride = 48;
    const size_t at = 54 + static_cast<size_t>(14 - yFromTop) * stride + static_cast<size_t>(x) * 3;
    return {bmp[at + 2], bmp[at + 1], bmp[at]};
}

TEST(ToolboxBitmapTest, BlueTelephoneInABlueRingOnYellow) {
    const platform::ResourceBytes bmp = resource("BITMAP", kToolboxBitmapId);
    ASSERT_EQ(bmp.size(), 54u + 48u * 15u);
    for (auto [x, y] : {std::pair{0, 0}, {15, 0}, {0, 14}, {15, 14}})
        EXPECT_TRUE(bitmapPixel(bmp, x, y).isYellow()) << x << "," << y;
    // The ring passes through the middle of every edge.
    for (auto [x, y] : {std::pair{7, 0}, {8, 14}, {0, 7}, {15, 7}})
        EXPECT_TRUE(bitmapPixel(bmp, x, y).isBlue()) << x << "," << y;
    // Inside the ring there is a telephone, with yellow between it and the ring.
    int blueInside = 0;
    for (int y = 0; y < 15; ++y) {
        for (int x = 0; x < 16; ++x) {
            const Rgb pixel = bitmapPixel(bmp, x, y);
            EXPECT_TRUE(pixel.isBlue() || pixel.isYellow()) << x << "," << y;
            if (std::hypot(x - 7.5, y - 7.0) < 4.5 && pixel.isBlue())
                ++blueInside;
        }
    }
    EXPECT_GT(blueInside, 20);
    EXPECT_TRUE(bitmapPixel(bmp, 2, 7).isYellow());
    EXPECT_TRUE(bitmapPixel(bmp, 13, 7).isYellow());
}

// Design-surface picture: a whole GIF89a file

struct GifPicture {
    int width = 0, height = 0;
    std::vector<Rgb> palette;
    std::optional<uint8_t> transparentIndex;
    std::vector<uint8_t> indexes;  // top row first
};

// GIF's variable-length LZW; nullopt on any inconsistency.
std::optional<std::vector<uint8_t>> lzwDecode(const std::vector<uint8_t>& data, int minCodeSize,
                                              size_t pixelCount) {
    const int clear = 1 << minCodeSize;
    const int end = clear + 1;
    std::vector<std::vector<uint8_t>> table;
    auto reset = [&] {
        table.assign(static_cast<size_t>(end) + 1, {});
        for (int i = 0; i < clear; ++i)
            table[static_cast<size_t>(i)] = {static_cast<uint8_t>(i)};
    };
    reset();
    int size = minCodeSize + 1;
    int previous = -1;  // no code yet since the last clear
    std::vector<uint8_t> out;
    size_t bit = 0;
    while (bit + static_cast<size_t>(size) <= data.size() * 8) {
        int code = 0;
        for (int i = 0; i < size; ++i, ++bit)
            code |= ((data[bit / 8] >> (bit % 8)) & 1) << i;
        if (code == clear) {
            reset();
            size = minCodeSize + 1;
            previous = -1;
            continue;
        }
        if (code == end)
            return out.size() == pixelCount ? std::optional(out) : std::nullopt;
        std::vector<uint8_t> entry;
        if (code < static_cast<int>(table.size()) && !table[static_cast<size_t>(code)].empty()) {
            entry = table[static_cast<size_t>(code)];
        } else if (previous >= 0 && code == static_cast<int>(table.size())) {
            entry = table[static_cast<size_t>(previous)];
            entry.push_back(entry.front());
        } else {
            return std::nullopt;
        }
        if (previous >= 0 && table.size() < 4096) {
            std::vector<uint8_t> added = table[static_cast<size_t>(previous)];
            added.push_back(entry.front());
            table.push_back(std::move(added));
            if (table.size() == (size_t{1} << size) && size < 12)
                ++size;
        }
        out.insert(out.end(), entry.begin(), entry.end());
        previous = code;
    }
    return std::nullopt;  // no end code
}

// Reads the one-image files this library carries: global table, optional Graphic Control
// Extension, one image without a local table or interlacing.
std::optional<GifPicture> decodeGif(platform::ResourceBytes gif) {
    size_t at = 0;
    auto need = [&](size_t n) { return at + n <= gif.size(); };
    if (!need(13) || std::string(gif.begin(), gif.begin() + 6) != "GIF89a")
        return std::nullopt;
    GifPicture picture;
    const uint8_t flags = gif[10];
    at = 13;
    if (flags & 0x80) {
        const size_t entries = size_t{1} << ((flags & 7) + 1);
        if (!need(entries * 3))
            return std::nullopt;
        for (size_t i = 0; i < entries; ++i, at += 3)
            picture.palette.push_back({gif[at], gif[at + 1], gif[at + 2]});
    }
    while (need(1)) {
        const uint8_t introducer = gif[at++];
        if (introducer == 0x21) {  // extension
            if (!need(2))
                return std::nullopt;
            const uint8_t label = gif[at++];
            if (label == 0xF9 && gif[at] == 4 && need(6) && (gif[at + 1] & 1))
                picture.transparentIndex = gif[at + 4];
            while (need(1) && gif[at] != 0)
                at += 1 + gif[at];
            ++at;
        } else if (introducer == 0x2C) {  // image
            if (!need(10) || (gif[at + 8] & 0xC0) != 0)
                return std::nullopt;
            picture.width = u16(gif, at + 4);
            picture.height = u16(gif, at + 6);
            at += 9;
            const int minCodeSize = gif[at++];
            std::vector<uint8_t> data;
            while (need(1) && gif[at] != 0) {
                const size_t length = gif[at++];
                if (!need(length))
                    return std::nullopt;
                data.insert(data.end(), gif.begin() + at, gif.begin() + at + length);
                at += length;
            }
            ++at;
            const auto indexes =
                lzwDecode(data, minCodeSize,
                          static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height));
            if (!indexes)
                return std::nullopt;
            picture.indexes = *indexes;
        } else if (introducer == 0x3B) {
            return at == gif.size() ? std::optional(picture) : std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt;  // no trailer
}

TEST(FacePictureTest, HeaderDeclaresGif89aWith256ColoursAndIndex216Transparent) {
    const platform::ResourceBytes gif = resource("GIF", kFacePictureId);
    ASSERT_GE(gif.size(), 13u + 768u);
    EXPECT_EQ(std::string(gif.begin(), gif.begin() + 6), "GIF89a");
    EXPECT_EQ(u16(gif, 6), 32u);
    EXPECT_EQ(u16(gif, 8), 32u);
    EXPECT_EQ(gif[10] & 0x80, 0x80);  // global colour table present
    EXPECT_EQ(gif[10] & 0x07, 7);     // of 2^(7+1) entries
    // The Graphic Control Extension right after the table.
    const size_t gce = 13 + 768;
    ASSERT_GE(gif.size(), gce + 8);
    EXPECT_EQ(gif[gce], 0x21);
    EXPECT_EQ(gif[gce + 1], 0xF9);
    EXPECT_EQ(gif[gce + 2], 4);
    EXPECT_EQ(gif[gce + 3] & 1, 1);  // transparent colour given
    EXPECT_EQ(gif[gce + 6], 216);
    EXPECT_EQ(gif.back(), 0x3B);
}

TEST(FacePictureTest, DecodesToABlueTelephoneInARingOnTransparency) {
    const auto picture = decodeGif(resource("GIF", kFacePictureId));
    ASSERT_TRUE(picture);
    ASSERT_EQ(picture->width, 32);
    ASSERT_EQ(picture->height, 32);
    ASSERT_EQ(picture->palette.size(), 256u);
    ASSERT_EQ(picture->transparentIndex, std::optional<uint8_t>(216));
    ASSERT_EQ(picture->indexes.size(), 1024u);

    auto at = [&](int x, int y) {
        return picture->indexes[static_cast<size_t>(y) * 32 + static_cast<size_t>(x)];
    };
    for (auto [x, y] : {std::pair{0, 0}, {31, 0}, {0, 31}, {31, 31}})
        EXPECT_EQ(at(x, y), 216) << x << "," << y;
    int blueInside = 0;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            const uint8_t index = at(x, y);
            if (index == 216)
                continue;
            EXPECT_TRUE(picture->palette[index].isBlue()) << x << "," << y;
            if (std::hypot(x + 0.5 - 16, y + 0.5 - 16) < 10)
                ++blueInside;
        }
    }
    EXPECT_GT(blueInside, 80);
    for (auto [x, y] : {std::pair{16, 0}, {16, 31}, {0, 16}, {31, 16}})
        EXPECT_NE(at(x, y), 216) << "ring at " << x << "," << y;
    EXPECT_EQ(at(3, 16), 216);  // a gap between the ring and the telephone
}

TEST(FacePictureTest, DecoderRejectsACutFile) {
    const platform::ResourceBytes gif = resource("GIF", kFacePictureId);
    EXPECT_FALSE(decodeGif(gif.first(gif.size() - 20)));
}

// Version information

struct VersionNode {
    std::u16string key;
    uint16_t type = 0;
    uint16_t valueLength = 0;
    std::vector<uint8_t> value;
    std::vector<VersionNode> children;
};

// Parses the node at `at` that must end by `limit`; nullopt on any inconsistency.
std::optional<VersionNode> parseVersionNode(platform::ResourceBytes bytes, size_t at,
                                            size_t limit) {
    if (at % 4 != 0 || at + 6 > limit)
        return std::nullopt;
    const size_t length = u16(bytes, at);
    const size_t end = at + length;
    if (length < 6 || end > limit)
        return std::nullopt;
    VersionNode node;
    node.valueLength = u16(bytes, at + 2);
    node.type = u16(bytes, at + 4);
    size_t p = at + 6;
    for (;; p += 2) {
        if (p + 2 > end)
            return std::nullopt;
        if (u16(bytes, p) == 0)
            break;
        node.key.push_back(static_cast<char16_t>(u16(bytes, p)));
    }
    p = (p + 2 + 3) / 4 * 4;
    const size_t valueBytes = node.type == 1 ? node.valueLength * 2u : node.valueLength;
    if (p + valueBytes > end)
        return std::nullopt;
    node.value.assign(bytes.begin() + p, bytes.begin() + p + valueBytes);
    p += valueBytes;
    while ((p + 3) / 4 * 4 < end) {
        p = (p + 3) / 4 * 4;
        auto child = parseVersionNode(bytes, p, end);
        if (!child)
            return std::nullopt;
        p += u16(bytes, p);
        node.children.push_back(std::move(*child));
    }
    return p == end ? std::optional(node) : std::nullopt;
}

const VersionNode* child(const VersionNode& node, std::u16string_view key) {
    for (const VersionNode& c : node.children)
        if (c.key == key)
            return &c;
    return nullptr;
}

// A text value without its terminating null.
std::u16string textValue(const VersionNode& node) {
    std::u16string text;
    for (size_t i = 0; i + 1 < node.value.size(); i += 2)
        text.push_back(static_cast<char16_t>(node.value[i] | node.value[i + 1] << 8));
    if (text.empty() || text.back() != u'\0')
        ADD_FAILURE() << "text value without its terminating null";
    else
        text.pop_back();
    return text;
}

TEST(VersionInfoTest, FixedPartNamesVersion1001OfADynamicLibrary) {
    const platform::ResourceBytes bytes = resource("VERSION", 1u);
    ASSERT_GE(bytes.size(), 6u);
    EXPECT_EQ(u16(bytes, 0), bytes.size());  // the root covers the whole resource
    const auto root = parseVersionNode(bytes, 0, bytes.size());
    ASSERT_TRUE(root);
    EXPECT_EQ(root->key, u"VS_VERSION_INFO");
    EXPECT_EQ(root->type, 0);
    ASSERT_EQ(root->value.size(), 52u);
    const platform::ResourceBytes fixed(root->value);
    EXPECT_EQ(u32(fixed, 0), 0xFEEF04BDu);
    EXPECT_EQ(u32(fixed, 4), 0x00010000u);  // structure version 1.0
    EXPECT_EQ(u32(fixed, 8), 0x00010000u);  // file version 1.0.0.1
    EXPECT_EQ(u32(fixed, 12), 0x00000001u);
    EXPECT_EQ(u32(fixed, 16), 0x00010000u);  // product version 1.0.0.1
    EXPECT_EQ(u32(fixed, 20), 0x00000001u);
    const uint32_t fileOs = u32(fixed, 32);
    EXPECT_TRUE(fileOs == 0x4u || fileOs == 0x40004u) << fileOs;  // 32-bit Windows
    EXPECT_EQ(u32(fixed, 36), 2u);                                // VFT_DLL
    EXPECT_EQ(u32(fixed, 40), 0u);
}

TEST(VersionInfoTest, JapaneseStringTableHoldsEveryEntryAndNothingElse) {
    const platform::ResourceBytes bytes = resource("VERSION", 1u);
    const auto root = parseVersionNode(bytes, 0, bytes.size());
    ASSERT_TRUE(root);
    const VersionNode* stringFileInfo = child(*root, u"StringFileInfo");
    ASSERT_TRUE(stringFileInfo);
    EXPECT_EQ(stringFileInfo->type, 1);
    ASSERT_EQ(stringFileInfo->children.size(), 1u);
    const VersionNode& table = stringFileInfo->children.front();
    EXPECT_EQ(table.key, u"041104B0");

    std::map<std::u16string, std::u16string> strings;
    for (const VersionNode& entry : table.children) {
        EXPECT_EQ(entry.type, 1);
        strings[entry.key] = textValue(entry);
    }
    const std::map<std::u16string, std::u16string> expected{
        {u"FileVersion", u"1.00.0001"},        {u"ProductVersion", u"1.00.0001"},
        {u"ProductName", u"Corvane"},          {u"InternalName", u"Corvane"},
        {u"OriginalFilename", u"Corvane.ocx"}, {u"OLESelfRegister", u""},
    };
    EXPECT_EQ(strings, expected);
    EXPECT_EQ(table.children.size(), expected.size());
}

TEST(VersionInfoTest, TranslationNamesJapaneseInUtf16) {
    const platform::ResourceBytes bytes = resource("VERSION", 1u);
    const auto root = parseVersionNode(bytes, 0, bytes.size());
    ASSERT_TRUE(root);
    const VersionNode* varFileInfo = child(*root, u"VarFileInfo");
    ASSERT_TRUE(varFileInfo);
    const VersionNode* translation = child(*varFileInfo, u"Translation");
    ASSERT_TRUE(translation);
    EXPECT_EQ(translation->type, 0);
    ASSERT_EQ(translation->value.size(), 4u);
    const platform::ResourceBytes value(translation->value);
    EXPECT_EQ(u16(value, 0), 0x0411u);
    EXPECT_EQ(u16(value, 2), 1200u);
}

TEST(VersionInfoTest, ParserRejectsALengthRunningPastItsParent) {
    const platform::ResourceBytes original = resource("VERSION", 1u);
    std::vector<uint8_t> damaged(original.begin(), original.end());
    damaged[0] = static_cast<uint8_t>(damaged.size() + 4);  // root longer than the data
    damaged[1] = static_cast<uint8_t>((damaged.size() + 4) >> 8);
    EXPECT_FALSE(parseVersionNode(damaged, 0, damaged.size()));
}

}  // namespace
}  // namespace port_control

#include "interface/resource_data.h"

#include <array>
#include <cstddef>
#include <string_view>

#include "portula/portula_ids.h"

namespace port_control {

namespace {

#include "pictures/pictures.inc"

// Built at compile time (Guid::toBytes is not constexpr), so the records exist before any
// static initialisation runs.
constexpr std::array<uint8_t, 20> interfaceRecord(const platform::Guid& iid) {
    std::array<uint8_t, 20> bytes{};
    auto put = [&bytes](size_t offset, uint32_t value, size_t width) {
        for (size_t i = 0; i < width; ++i)
            bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    put(0, 16, 4);  // the length of the identifier that follows
    put(4, iid.data1, 4);
    put(8, iid.data2, 2);
    put(10, iid.data3, 2);
    for (size_t i = 0; i < iid.data4.size(); ++i)
        bytes[12 + i] = iid.data4[i];
    return bytes;
}

constexpr auto kInterfaceRecord = interfaceRecord(ids::IID__Portula);
constexpr auto kSourceInterfaceRecord = interfaceRecord(ids::DIID___Portula);

// The version block in the platform's VS_VERSIONINFO layout. Every node is
//   wLength, wValueLength, wType (0 binary, 1 text), key (UTF-16LE, terminated),
//   padding to 32 bits, value, then its children, each starting on a 32-bit boundary.
// wLength covers the node and its children but not the padding after its last byte.
struct VersionBlock {
    std::array<uint8_t, 1024> bytes{};
    size_t size = 0;
};

class VersionBlockWriter {
  public:
    constexpr void word(uint16_t value) {
        put(static_cast<uint8_t>(value));
        put(static_cast<uint8_t>(value >> 8));
    }
    constexpr void dword(uint32_t value) {
        word(static_cast<uint16_t>(value));
        word(static_cast<uint16_t>(value >> 16));
    }
    // ASCII only: each character widens to one UTF-16 unit. Ends with a null unit.
    constexpr void text(std::string_view ascii) {
        for (char c : ascii) {
            if (static_cast<unsigned char>(c) >= 0x80)
                throw "version texts are ASCII";  // stops the constant evaluation
            word(static_cast<uint16_t>(c));
        }
        word(0);
    }
    constexpr void align() {
        while (m_block.size % 4 != 0)
            put(0);
    }
    // Writes a node's header; returns where the node starts, for close().
    constexpr size_t open(std::string_view key, uint16_t valueLength, uint16_t type) {
        align();
        const size_t start = m_block.size;
        word(0);  // wLength, patched by close()
        word(valueLength);
        word(type);
        text(key);
        align();
        return start;
    }
    constexpr void close(size_t start) {
        const size_t length = m_block.size - start;
        m_block.bytes[start] = static_cast<uint8_t>(length);
        m_block.bytes[start + 1] = static_cast<uint8_t>(length >> 8);
    }
    // A text value: wValueLength counts UTF-16 units including the terminating null.
    constexpr void stringEntry(std::string_view key, std::string_view value) {
        const size_t start = open(key, static_cast<uint16_t>(value.size() + 1), 1);
        text(value);
        close(start);
    }
    constexpr VersionBlock block() const { return m_block; }

  private:
    constexpr void put(uint8_t byte) {
        if (m_block.size == m_block.bytes.size())
            throw "version block capacity exceeded";
        m_block.bytes[m_block.size++] = byte;
    }

    VersionBlock m_block;
};

constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr uint32_t kFixedFileInfoVersion = 0x00010000;
constexpr uint32_t kVersionMs = 0x00010000;  // 1.0
constexpr uint32_t kVersionLs = 0x00000001;  // .0.1
constexpr uint32_t kFileFlagsMask = 0x3F;    // VS_FFI_FILEFLAGSMASK
constexpr uint32_t kFileOsWindows32 = 0x4;   // VOS__WINDOWS32
constexpr uint32_t kFileTypeDll = 0x2;       // VFT_DLL
constexpr uint16_t kLanguageJapanese = 0x0411;
constexpr uint16_t kCodePageUtf16 = 1200;

constexpr VersionBlock buildVersionBlock() {
    VersionBlockWriter out;
    const size_t root = out.open("VS_VERSION_INFO", 13 * 4, 0);
    out.dword(kFixedFileInfoSignature);
    out.dword(kFixedFileInfoVersion);
    out.dword(kVersionMs);  // file version
    out.dword(kVersionLs);
    out.dword(kVersionMs);  // product version
    out.dword(kVersionLs);
    out.dword(kFileFlagsMask);
    out.dword(0);  // no flags: a release build
    out.dword(kFileOsWindows32);
    out.dword(kFileTypeDll);
    out.dword(0);  // subtype
    out.dword(0);  // date, high and low
    out.dword(0);

    const size_t stringFileInfo = out.open("StringFileInfo", 0, 1);
    const size_t table = out.open("041104B0", 0, 1);  // language 0411, code page 04B0
    out.stringEntry("FileVersion", "1.00.0001");
    out.stringEntry("ProductVersion", "1.00.0001");
    out.stringEntry("ProductName", "Corvane");
    out.stringEntry("InternalName", "Corvane");
    out.stringEntry("OriginalFilename", "Corvane.ocx");
    // Present, with an empty value: announces that the library registers itself.
    out.stringEntry("OLESelfRegister", "");
    out.close(table);
    out.close(stringFileInfo);

    const size_t varFileInfo = out.open("VarFileInfo", 0, 1);
    const size_t translation = out.open("Translation", 4, 0);
    out.word(kLanguageJapanese);
    out.word(kCodePageUtf16);
    out.close(translation);
    out.close(varFileInfo);

    out.close(root);
    return out.block();
}

constexpr VersionBlock kVersionBlock = buildVersionBlock();

constexpr platform::ResourceRecord kResources[] = {
    {"_IID_PORTULA", 1u, kInterfaceRecord.data(), kInterfaceRecord.size()},
    {"_SRCIID_PORTULA", 1u, kSourceInterfaceRecord.data(), kSourceInterfaceRecord.size()},
    {"BITMAP", kToolboxBitmapId, kToolboxBitmapBytes, sizeof kToolboxBitmapBytes},
    // The face of the control: the picture of Image1 on its design surface.
    {"GIF", kFacePictureId, kFacePictureBytes, sizeof kFacePictureBytes},
    {"VERSION", 1u, kVersionBlock.bytes.data(), kVersionBlock.size},
};

}  // namespace

std::span<const platform::ResourceRecord> corvaneResources() {
    return kResources;
}

}  // namespace port_control

#include "platform/type_library.h"

#include <array>
#include <cstdio>
#include <set>
#include <string>
#include <utility>

namespace platform {

namespace {

constexpr std::array<uint8_t, 4> kMagic{'C', 'V', 'T', 'L'};
constexpr uint16_t kFormatVersion = 1;

char16_t foldAscii(char16_t c) {
    return (c >= u'a' && c <= u'z') ? c - (u'a' - u'A') : c;
}

std::string hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

[[noreturn]] void throwInvalid(const std::string& detail) {
    throw Error(TYPE_E_INVDATAREAD, fromUtf8("タイプ ライブラリが不正です: " + detail));
}

bool isValueType(VarType type) {
    switch (type) {
        case VarType::Integer:
        case VarType::Long:
        case VarType::Single:
        case VarType::Double:
        case VarType::String:
        case VarType::Boolean:
        case VarType::Byte:
        case VarType::ByteArray:
            return true;
        default:
            return type == kVarTypeVariant;
    }
}

bool isMemberKind(uint8_t kind) {
    return kind == 1 || kind == 2 || kind == 4 || kind == 8;
}

void validateMember(const InterfaceDescription& owner, const MemberDescription& member) {
    const std::string where = toUtf8(owner.name) + "." + toUtf8(member.name);
    if (!isMemberKind(static_cast<uint8_t>(member.kind))) {
        throwInvalid("メンバー " + where + " の種類が不正です。");
    }
    for (VarType type : member.params) {
        if (!isValueType(type)) {
            throwInvalid("メンバー " + where + " の引数の型 " +
                         std::to_string(static_cast<unsigned>(type)) + " は使えません。");
        }
    }
    if (member.result != kVarTypeVoid && !isValueType(member.result)) {
        throwInvalid("メンバー " + where + " の戻り値の型 " +
                     std::to_string(static_cast<unsigned>(member.result)) + " は使えません。");
    }
    const bool isPut =
        member.kind == MemberKind::PropertyPut || member.kind == MemberKind::PropertyPutRef;
    if (isPut && (member.params.empty() || member.result != kVarTypeVoid)) {
        throwInvalid("プロパティ " + where + " の設定は値の引数を 1 つ取り、戻り値を持ちません。");
    }
    if (member.kind == MemberKind::PropertyGet && member.result == kVarTypeVoid) {
        throwInvalid("プロパティ " + where + " の取得に戻り値がありません。");
    }
}

class ByteWriter {
  public:
    void u8(uint8_t v) { m_bytes.push_back(v); }
    void u16(uint16_t v) {
        u8(static_cast<uint8_t>(v));
        u8(static_cast<uint8_t>(v >> 8));
    }
    void u32(uint32_t v) {
        u16(static_cast<uint16_t>(v));
        u16(static_cast<uint16_t>(v >> 16));
    }
    void guid(const Guid& g) {
        const auto bytes = g.toBytes();
        m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
    }
    void version(const Version& v) {
        u16(v.major);
        u16(v.minor);
    }
    void count(std::size_t n) {
        if (n > 0xFFFF)
            throw Error(errors::kOverflow);
        u16(static_cast<uint16_t>(n));
    }
    void text(std::u16string_view s) {
        count(s.size());
        for (char16_t c : s)
            u16(c);
    }
    std::vector<uint8_t> take() { return std::move(m_bytes); }

  private:
    std::vector<uint8_t> m_bytes;
};

// Reads the byte form; every read names what it reads, so that a fault says where it is.
class ByteReader {
  public:
    explicit ByteReader(std::span<const uint8_t> bytes) : m_bytes(bytes) {}

    uint8_t u8(const char* what) {
        need(1, what);
        return m_bytes[m_pos++];
    }
    uint16_t u16(const char* what) {
        need(2, what);
        const uint16_t v = static_cast<uint16_t>(m_bytes[m_pos] | (m_bytes[m_pos + 1] << 8));
        m_pos += 2;
        return v;
    }
    uint32_t u32(const char* what) {
        need(4, what);
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<uint32_t>(m_bytes[m_pos + i]) << (8 * i);
        m_pos += 4;
        return v;
    }
    Guid guid(const char* what) {
        need(16, what);
        std::array<uint8_t, 16> raw{};
        for (std::size_t i = 0; i < raw.size(); ++i)
            raw[i] = m_bytes[m_pos + i];
        m_pos += 16;
        return Guid::fromBytes(raw);
    }
    Version version(const char* what) {
        const uint16_t major = u16(what);
        return Version{major, u16(what)};
    }
    std::u16string text(const char* what) {
        const std::size_t length = u16(what);
        // Checked before allocating, so a huge length in bad data costs nothing.
        need(length * 2, what);
        std::u16string s(length, u'\0');
        for (std::size_t i = 0; i < length; ++i)
            s[i] = static_cast<char16_t>(u16(what));
        return s;
    }
    VarType type(const char* what, bool voidAllowed) {
        const std::size_t at = m_pos;
        const auto type = static_cast<VarType>(u16(what));
        if (!isValueType(type) && !(voidAllowed && type == kVarTypeVoid)) {
            fail(at, std::string(what) + " " + std::to_string(static_cast<unsigned>(type)) +
                         " は使えない型です");
        }
        return type;
    }
    bool atEnd() const { return m_pos == m_bytes.size(); }
    std::size_t position() const { return m_pos; }

    [[noreturn]] static void fail(std::size_t at, const std::string& detail,
                                  HRESULT hr = TYPE_E_INVDATAREAD) {
        throw Error(hr, fromUtf8("タイプ ライブラリのデータが不正です (オフセット " +
                                 std::to_string(at) + "): " + detail + "。"));
    }

  private:
    void need(std::size_t n, const char* what) const {
        if (m_bytes.size() - m_pos < n)
            fail(m_pos, std::string(what) + "の途中でデータが切れています");
    }

    std::span<const uint8_t> m_bytes;
    std::size_t m_pos = 0;
};

MemberDescription readMember(ByteReader& in) {
    MemberDescription member;
    member.name = in.text("メンバー名");
    member.dispid = static_cast<int32_t>(in.u32("DISPID"));
    const std::size_t kindAt = in.position();
    const uint8_t kind = in.u8("メンバーの種類");
    if (!isMemberKind(kind))
        ByteReader::fail(kindAt, "メンバーの種類 " + std::to_string(kind) + " は不正です");
    member.kind = static_cast<MemberKind>(kind);
    member.result = in.type("戻り値の型", true);
    const std::size_t paramCount = in.u8("引数の数");
    for (std::size_t i = 0; i < paramCount; ++i)
        member.params.push_back(in.type("引数の型", false));
    return member;
}

InterfaceDescription readInterface(ByteReader& in) {
    InterfaceDescription iface;
    iface.name = in.text("インターフェイス名");
    iface.iid = in.guid("IID");
    iface.version = in.version("インターフェイスのバージョン");
    iface.flags = in.u16("インターフェイスのフラグ");
    const std::size_t kindAt = in.position();
    const uint8_t kind = in.u8("インターフェイスの種類");
    if (kind > 1)
        ByteReader::fail(kindAt, "インターフェイスの種類 " + std::to_string(kind) + " は不正です");
    iface.kind = static_cast<InterfaceKind>(kind);
    const std::size_t memberCount = in.u16("メンバーの数");
    for (std::size_t i = 0; i < memberCount; ++i)
        iface.members.push_back(readMember(in));
    return iface;
}

CoclassDescription readCoclass(ByteReader& in) {
    CoclassDescription coclass;
    coclass.name = in.text("クラス名");
    coclass.clsid = in.guid("CLSID");
    coclass.version = in.version("クラスのバージョン");
    coclass.flags = in.u16("クラスのフラグ");
    const std::size_t count = in.u16("実装インターフェイスの数");
    for (std::size_t i = 0; i < count; ++i) {
        ImplementedInterface impl;
        impl.iid = in.guid("実装インターフェイスの IID");
        impl.flags = in.u16("実装インターフェイスのフラグ");
        coclass.interfaces.push_back(impl);
    }
    return coclass;
}

}  // namespace

bool namesEqual(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (foldAscii(a[i]) != foldAscii(b[i]))
            return false;
    }
    return true;
}

std::optional<std::size_t> InterfaceDescription::findMember(int32_t dispid, MemberKind kind) const {
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (members[i].dispid == dispid && members[i].kind == kind)
            return i;
    }
    return std::nullopt;
}

std::optional<int32_t> InterfaceDescription::findDispid(std::u16string_view name) const {
    for (const MemberDescription& member : members) {
        if (namesEqual(member.name, name))
            return member.dispid;
    }
    return std::nullopt;
}

bool InterfaceDescription::hasDispid(int32_t dispid) const {
    for (const MemberDescription& member : members) {
        if (member.dispid == dispid)
            return true;
    }
    return false;
}

std::optional<Guid> CoclassDescription::defaultInterface() const {
    for (const ImplementedInterface& impl : interfaces) {
        if ((impl.flags & impl_flags::kDefault) && !(impl.flags & impl_flags::kSource)) {
            return impl.iid;
        }
    }
    return std::nullopt;
}

std::optional<Guid> CoclassDescription::defaultSource() const {
    for (const ImplementedInterface& impl : interfaces) {
        if ((impl.flags & impl_flags::kDefault) && (impl.flags & impl_flags::kSource)) {
            return impl.iid;
        }
    }
    return std::nullopt;
}

struct CORVANE_PLATFORM_NO_EXPORT TypeLibrary::Contents {
    std::u16string name;
    std::u16string helpString;
    Guid guid;
    Version version;
    uint32_t lcid = 0;
    uint16_t flags = 0;
    SysKind sysKind = SysKind::Win32;
    std::vector<ImportedLibrary> imports;
    std::vector<InterfaceDescription> interfaces;
    std::vector<CoclassDescription> coclasses;

    bool operator==(const Contents&) const = default;
};

TypeLibrary::TypeLibrary() : m_contents(std::make_unique<Contents>()) {}
TypeLibrary::~TypeLibrary() = default;
TypeLibrary::TypeLibrary(const TypeLibrary& other)
    : m_contents(std::make_unique<Contents>(*other.m_contents)) {}
TypeLibrary& TypeLibrary::operator=(const TypeLibrary& other) {
    if (this != &other)
        *m_contents = *other.m_contents;
    return *this;
}
TypeLibrary::TypeLibrary(TypeLibrary&& other)
    : m_contents(std::make_unique<Contents>(std::move(*other.m_contents))) {}
TypeLibrary& TypeLibrary::operator=(TypeLibrary&& other) {
    if (this != &other)
        *m_contents = std::move(*other.m_contents);
    return *this;
}

bool TypeLibrary::operator==(const TypeLibrary& other) const {
    return *m_contents == *other.m_contents;
}

const std::u16string& TypeLibrary::name() const {
    return m_contents->name;
}
void TypeLibrary::setName(std::u16string name) {
    m_contents->name = std::move(name);
}

const std::u16string& TypeLibrary::helpString() const {
    return m_contents->helpString;
}
void TypeLibrary::setHelpString(std::u16string helpString) {
    m_contents->helpString = std::move(helpString);
}

const Guid& TypeLibrary::guid() const {
    return m_contents->guid;
}
void TypeLibrary::setGuid(const Guid& guid) {
    m_contents->guid = guid;
}

Version TypeLibrary::version() const {
    return m_contents->version;
}
void TypeLibrary::setVersion(Version version) {
    m_contents->version = version;
}

uint32_t TypeLibrary::lcid() const {
    return m_contents->lcid;
}
void TypeLibrary::setLcid(uint32_t lcid) {
    m_contents->lcid = lcid;
}

uint16_t TypeLibrary::flags() const {
    return m_contents->flags;
}
void TypeLibrary::setFlags(uint16_t flags) {
    m_contents->flags = flags;
}

SysKind TypeLibrary::sysKind() const {
    return m_contents->sysKind;
}
void TypeLibrary::setSysKind(SysKind sysKind) {
    m_contents->sysKind = sysKind;
}

const std::vector<ImportedLibrary>& TypeLibrary::imports() const {
    return m_contents->imports;
}
std::vector<ImportedLibrary>& TypeLibrary::imports() {
    return m_contents->imports;
}

const std::vector<InterfaceDescription>& TypeLibrary::interfaces() const {
    return m_contents->interfaces;
}
std::vector<InterfaceDescription>& TypeLibrary::interfaces() {
    return m_contents->interfaces;
}

const std::vector<CoclassDescription>& TypeLibrary::coclasses() const {
    return m_contents->coclasses;
}
std::vector<CoclassDescription>& TypeLibrary::coclasses() {
    return m_contents->coclasses;
}

const InterfaceDescription* TypeLibrary::findInterface(const Guid& iid) const {
    for (const InterfaceDescription& iface : m_contents->interfaces) {
        if (iface.iid == iid)
            return &iface;
    }
    return nullptr;
}

const InterfaceDescription* TypeLibrary::findInterface(std::u16string_view name) const {
    for (const InterfaceDescription& iface : m_contents->interfaces) {
        if (namesEqual(iface.name, name))
            return &iface;
    }
    return nullptr;
}

const CoclassDescription* TypeLibrary::findCoclass(const Guid& clsid) const {
    for (const CoclassDescription& coclass : m_contents->coclasses) {
        if (coclass.clsid == clsid)
            return &coclass;
    }
    return nullptr;
}

const CoclassDescription* TypeLibrary::findCoclass(std::u16string_view name) const {
    for (const CoclassDescription& coclass : m_contents->coclasses) {
        if (namesEqual(coclass.name, name))
            return &coclass;
    }
    return nullptr;
}

void TypeLibrary::validate() const {
    std::set<Guid> guids;
    for (const InterfaceDescription& iface : m_contents->interfaces) {
        if (!guids.insert(iface.iid).second) {
            throwInvalid("GUID " + iface.iid.toString() + " が 2 度使われています。");
        }
        if (static_cast<uint8_t>(iface.kind) > 1) {
            throwInvalid("インターフェイス " + toUtf8(iface.name) + " の種類が不正です。");
        }
        std::set<std::pair<int32_t, MemberKind>> seen;
        for (const MemberDescription& member : iface.members) {
            validateMember(iface, member);
            if (!seen.insert({member.dispid, member.kind}).second) {
                throwInvalid("インターフェイス " + toUtf8(iface.name) + " に DISPID " +
                             hex32(static_cast<uint32_t>(member.dispid)) +
                             " の同じ種類のメンバーが 2 つあります。");
            }
        }
    }
    for (const CoclassDescription& coclass : m_contents->coclasses) {
        if (!guids.insert(coclass.clsid).second) {
            throwInvalid("GUID " + coclass.clsid.toString() + " が 2 度使われています。");
        }
    }
}

std::vector<uint8_t> serializeTypeLibrary(const TypeLibrary& library) {
    // Only what parses back is written.
    library.validate();
    ByteWriter out;
    for (uint8_t b : kMagic)
        out.u8(b);
    out.u16(kFormatVersion);
    out.text(library.name());
    out.text(library.helpString());
    out.guid(library.guid());
    out.version(library.version());
    out.u32(library.lcid());
    out.u16(library.flags());
    out.u16(static_cast<uint16_t>(library.sysKind()));
    out.count(library.imports().size());
    for (const ImportedLibrary& import : library.imports()) {
        out.text(import.name);
        out.guid(import.guid);
        out.version(import.version);
    }
    out.count(library.interfaces().size());
    for (const InterfaceDescription& iface : library.interfaces()) {
        out.text(iface.name);
        out.guid(iface.iid);
        out.version(iface.version);
        out.u16(iface.flags);
        out.u8(static_cast<uint8_t>(iface.kind));
        out.count(iface.members.size());
        for (const MemberDescription& member : iface.members) {
            out.text(member.name);
            out.u32(static_cast<uint32_t>(member.dispid));
            out.u8(static_cast<uint8_t>(member.kind));
            out.u16(static_cast<uint16_t>(member.result));
            if (member.params.size() > 0xFF)
                throw Error(errors::kOverflow);
            out.u8(static_cast<uint8_t>(member.params.size()));
            for (VarType type : member.params)
                out.u16(static_cast<uint16_t>(type));
        }
    }
    out.count(library.coclasses().size());
    for (const CoclassDescription& coclass : library.coclasses()) {
        out.text(coclass.name);
        out.guid(coclass.clsid);
        out.version(coclass.version);
        out.u16(coclass.flags);
        out.count(coclass.interfaces.size());
        for (const ImplementedInterface& impl : coclass.interfaces) {
            out.guid(impl.iid);
            out.u16(impl.flags);
        }
    }
    return out.take();
}

TypeLibrary parseTypeLibrary(std::span<const uint8_t> bytes) {
    ByteReader in(bytes);
    for (uint8_t expected : kMagic) {
        const std::size_t at = in.position();
        if (in.atEnd() || in.u8("識別子") != expected) {
            ByteReader::fail(at, "タイプ ライブラリの識別子 (CVTL) がありません");
        }
    }
    const std::size_t versionAt = in.position();
    const uint16_t formatVersion = in.u16("形式のバージョン");
    if (formatVersion != kFormatVersion) {
        ByteReader::fail(
            versionAt,
            "形式のバージョン " + std::to_string(formatVersion) + " には対応していません",
            TYPE_E_UNSUPFORMAT);
    }
    TypeLibrary library;
    library.setName(in.text("ライブラリ名"));
    library.setHelpString(in.text("ヘルプ文字列"));
    library.setGuid(in.guid("ライブラリの GUID"));
    library.setVersion(in.version("ライブラリのバージョン"));
    library.setLcid(in.u32("ロケール"));
    library.setFlags(in.u16("ライブラリのフラグ"));
    const std::size_t sysKindAt = in.position();
    const uint16_t sysKind = in.u16("対象システム");
    if (sysKind > static_cast<uint16_t>(SysKind::Win64)) {
        ByteReader::fail(sysKindAt, "対象システム " + std::to_string(sysKind) + " は不正です");
    }
    library.setSysKind(static_cast<SysKind>(sysKind));
    const std::size_t importCount = in.u16("参照ライブラリの数");
    for (std::size_t i = 0; i < importCount; ++i) {
        ImportedLibrary import;
        import.name = in.text("参照ライブラリ名");
        import.guid = in.guid("参照ライブラリの GUID");
        import.version = in.version("参照ライブラリのバージョン");
        library.imports().push_back(std::move(import));
    }
    const std::size_t interfaceCount = in.u16("インターフェイスの数");
    for (std::size_t i = 0; i < interfaceCount; ++i)
        library.interfaces().push_back(readInterface(in));
    const std::size_t coclassCount = in.u16("クラスの数");
    for (std::size_t i = 0; i < coclassCount; ++i)
        library.coclasses().push_back(readCoclass(in));
    if (!in.atEnd())
        ByteReader::fail(in.position(), "データの後に余分なバイトがあります");
    library.validate();
    return library;
}

}  // namespace platform

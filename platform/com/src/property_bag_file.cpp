#include "platform/property_bag_file.h"
#include "platform/file_descriptor.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <optional>
#include <system_error>
#include <unordered_set>

#include "atomic_file.h"
#include "platform/error.h"
#include "system_errors.h"

namespace platform {

namespace {

char16_t foldAscii(char16_t c) {
    return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c;
}

// The name as compared: ASCII letters in upper case.
std::u16string foldedName(std::u16string_view name) {
    std::u16string folded(name);
    for (char16_t& c : folded)
        c = foldAscii(c);
    return folded;
}

bool sameName(std::u16string_view a, std::u16string_view b) {
    return std::ranges::equal(a, b,
                              [](char16_t x, char16_t y) { return foldAscii(x) == foldAscii(y); });
}

bool isHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

void appendHexEscape(std::u16string& out, char16_t c) {
    constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    out += u"\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
        out += kDigits[(c >> shift) & 0xF];
}

// Escapes so that the result holds no line break, no control character and no lone
// surrogate (which UTF-8 cannot carry); `escapeEquals` also hides `=` (for names).
std::u16string escape(std::u16string_view text, bool escapeEquals) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'\\') {
            out += u"\\\\";
        } else if (c == u'\r') {
            out += u"\\r";
        } else if (c == u'\n') {
            out += u"\\n";
        } else if (c == u'\t') {
            out += u"\\t";
        } else if (c < 0x20 || c == 0x7F || (escapeEquals && c == u'=')) {
            appendHexEscape(out, c);
        } else if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            out += c;
            out += text[++i];
        } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
            appendHexEscape(out, c);
        } else {
            out += c;
        }
    }
    return out;
}

std::u16string ascii(std::string_view text) {
    return std::u16string(text.begin(), text.end());
}

template <class Number>
std::string numberText(Number value) {
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, end);
}

// The value after the tag, as text (before UTF-8 encoding).
std::u16string valueText(const Variant& value) {
    switch (value.type()) {
        case VarType::Empty:
            return u"E:";
        case VarType::Null:
            return u"N:";
        case VarType::Integer:
            return u"I:" + ascii(numberText(value.integerValue()));
        case VarType::Long:
            return u"L:" + ascii(numberText(value.longValue()));
        case VarType::Single:
            return u"F:" + ascii(numberText(value.singleValue()));
        case VarType::Double:
            return u"D:" + ascii(numberText(value.doubleValue()));
        case VarType::Byte:
            return u"U:" + ascii(numberText(static_cast<unsigned>(value.byteValue())));
        case VarType::Boolean:
            return value.integerValue() != 0 ? u"B:-1" : u"B:0";
        case VarType::String:
            return u"S:" + escape(value.stringValue(), false);
        case VarType::ByteArray: {
            constexpr char16_t kDigits[] = u"0123456789ABCDEF";
            std::u16string out = u"H:";
            for (uint8_t byte : value.bytesValue()) {
                out += kDigits[byte >> 4];
                out += kDigits[byte & 0xF];
            }
            return out;
        }
    }
    throw Error(errors::kUnsupportedAutomationType);
}

std::optional<double> numericValue(const Variant& value) {
    switch (value.type()) {
        case VarType::Integer:
            return value.integerValue();
        case VarType::Long:
            return value.longValue();
        case VarType::Single:
            return value.singleValue();
        case VarType::Double:
            return value.doubleValue();
        case VarType::Byte:
            return value.byteValue();
        default:
            return std::nullopt;
    }
}

bool equalForOmission(const Variant& value, const Variant& defaultValue) {
    if (value == defaultValue)
        return true;
    const std::optional<double> a = numericValue(value);
    const std::optional<double> b = numericValue(defaultValue);
    return a && b && *a == *b;
}

class LineReader {
  public:
    LineReader(std::u16string_view source, size_t lineNumber)
        : m_source(source), m_lineNumber(lineNumber) {}

    [[noreturn]] void fail(std::u16string_view detail) const {
        std::u16string text(m_source);
        text += u" の ";
        text += ascii(std::to_string(m_lineNumber));
        text += u" 行目が不正です: ";
        text += detail;
        throw Error(TextPropertyBag::kFormatError, std::move(text));
    }

    std::u16string unescape(std::u16string_view text) const {
        std::u16string out;
        out.reserve(text.size());
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != u'\\') {
                out += text[i];
                continue;
            }
            if (++i == text.size())
                fail(u"エスケープ シーケンスが途中で切れています。");
            switch (text[i]) {
                case u'\\':
                    out += u'\\';
                    break;
                case u'r':
                    out += u'\r';
                    break;
                case u'n':
                    out += u'\n';
                    break;
                case u't':
                    out += u'\t';
                    break;
                case u'u': {
                    if (text.size() - i - 1 < 4)
                        fail(u"\\u の後に 16 進数 4 桁がありません。");
                    char16_t c = 0;
                    for (size_t k = 1; k <= 4; ++k) {
                        const int digit = hexDigit(text[i + k]);
                        if (digit < 0)
                            fail(u"\\u の後に 16 進数 4 桁がありません。");
                        c = static_cast<char16_t>(c * 16 + digit);
                    }
                    out += c;
                    i += 4;
                    break;
                }
                default:
                    fail(u"エスケープ シーケンス \"\\" + std::u16string(1, text[i]) +
                         u"\" は不正です。");
            }
        }
        return out;
    }

    static int hexDigit(char16_t c) {
        if (c >= u'0' && c <= u'9')
            return c - u'0';
        if (c >= u'A' && c <= u'F')
            return c - u'A' + 10;
        if (c >= u'a' && c <= u'f')
            return c - u'a' + 10;
        return -1;
    }

    template <class Number>
    Number number(std::u16string_view text) const {
        std::string narrow;
        for (char16_t c : text) {
            if (c > 0x7F)
                fail(u"数値 \"" + std::u16string(text) + u"\" は不正です。");
            narrow += static_cast<char>(c);
        }
        Number value{};
        auto [end, error] = std::from_chars(narrow.data(), narrow.data() + narrow.size(), value);
        if (narrow.empty() || error != std::errc{} || end != narrow.data() + narrow.size())
            fail(u"数値 \"" + std::u16string(text) + u"\" は不正か範囲外です。");
        return value;
    }

    Variant value(std::u16string_view field) const {
        if (field.size() < 2 || field[1] != u':')
            fail(u"値に型 (\"S:\" など) がありません。");
        const std::u16string_view text = field.substr(2);
        auto requireEmpty = [&] {
            if (!text.empty())
                fail(u"Empty と Null は値を持ちません。");
        };
        switch (field[0]) {
            case u'E':
                requireEmpty();
                return Variant();
            case u'N':
                requireEmpty();
                return Variant::null();
            case u'I':
                return Variant::fromInteger(number<int16_t>(text));
            case u'L':
                return Variant::fromLong(number<int32_t>(text));
            case u'F':
                return Variant::fromSingle(number<float>(text));
            case u'D':
                return Variant::fromDouble(number<double>(text));
            case u'U':
                return Variant::fromByte(number<uint8_t>(text));
            case u'B':
                if (text == u"-1")
                    return Variant::fromBoolean(kTrue);
                if (text == u"0")
                    return Variant::fromBoolean(kFalse);
                fail(u"Boolean の値 \"" + std::u16string(text) +
                     u"\" は -1 か 0 でなければなりません。");
            case u'S':
                return Variant::fromString(unescape(text));
            case u'H': {
                if (text.size() % 2 != 0)
                    fail(u"バイト配列の 16 進数が奇数桁です。");
                ByteArray bytes;
                bytes.reserve(text.size() / 2);
                for (size_t i = 0; i < text.size(); i += 2) {
                    const int high = hexDigit(text[i]);
                    const int low = hexDigit(text[i + 1]);
                    if (high < 0 || low < 0)
                        fail(u"バイト配列に 16 進数でない文字があります。");
                    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
                }
                return Variant::fromBytes(std::move(bytes));
            }
            default:
                fail(u"不明な型 \"" + std::u16string(1, field[0]) + u"\" です。");
        }
    }

  private:
    std::u16string_view m_source;
    size_t m_lineNumber;
};

using Entries = std::vector<std::pair<std::u16string, Variant>>;

Entries parse(std::string_view text, std::u16string_view source) {
    Entries entries;
    // A set, not a search of the entries, so that a text of many keys loads in linear time.
    std::unordered_set<std::u16string> seenNames;
    size_t lineNumber = 0;
    size_t position = 0;
    while (position < text.size()) {
        ++lineNumber;
        const LineReader reader(source, lineNumber);
        size_t newline = text.find('\n', position);
        if (newline == std::string_view::npos)
            newline = text.size();
        std::string_view line = text.substr(position, newline - position);
        position = newline + 1;
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (line.empty())
            continue;

        const std::u16string wide = fromUtf8(line);
        if (toUtf8(wide) != line)
            reader.fail(u"UTF-8 として読めない文字があります。");
        const size_t equals = wide.find(u'=');
        if (equals == std::u16string::npos)
            reader.fail(u"\"=\" がありません。");
        std::u16string name = reader.unescape(std::u16string_view(wide).substr(0, equals));
        if (name.empty())
            reader.fail(u"名前が空です。");
        Variant value = reader.value(std::u16string_view(wide).substr(equals + 1));
        if (!seenNames.insert(foldedName(name)).second)
            reader.fail(u"名前 \"" + name + u"\" が重複しています。");
        entries.emplace_back(std::move(name), std::move(value));
    }
    return entries;
}

[[noreturn]] void throwFileError(const std::filesystem::path& path, std::u16string_view what,
                                 int errorNumber) {
    throw Error(pathErrorNumber(errorNumber, path),
                u"プロパティ ファイル \"" + fromUtf8(path.string()) + u"\" " +
                    std::u16string(what) + u": " + posixErrorText(errorNumber));
}

[[noreturn]] void throwSaveFailure(const std::filesystem::path& path, const FileFailure& failure) {
    switch (failure.step()) {
        case FileStep::Create:
        case FileStep::Open:
        case FileStep::Lock:
            throwFileError(path, u"を作成できません", failure.errorNumber());
        case FileStep::Permissions:
            throwFileError(path, u"の権限を設定できません", failure.errorNumber());
        case FileStep::Write:
        case FileStep::Flush:
            throwFileError(path, u"に書き込めません", failure.errorNumber());
        case FileStep::Replace:
            break;
    }
    throwFileError(path, u"を置き換えられません", failure.errorNumber());
}

}  // namespace

struct CORVANE_PLATFORM_NO_EXPORT TextPropertyBag::Contents {
    using Entry = std::pair<std::u16string, Variant>;

    std::vector<Entry>::iterator find(std::u16string_view name) {
        return std::ranges::find_if(entries,
                                    [&](const Entry& e) { return sameName(e.first, name); });
    }
    std::vector<Entry>::const_iterator find(std::u16string_view name) const {
        return std::ranges::find_if(entries,
                                    [&](const Entry& e) { return sameName(e.first, name); });
    }

    bool omitDefaults;
    std::vector<Entry> entries;
};

TextPropertyBag::TextPropertyBag(bool omitDefaults)
    : m_contents(std::make_unique<Contents>(Contents{omitDefaults, {}})) {}

TextPropertyBag::~TextPropertyBag() = default;

TextPropertyBag::TextPropertyBag(const TextPropertyBag& other)
    : m_contents(std::make_unique<Contents>(*other.m_contents)) {}

TextPropertyBag& TextPropertyBag::operator=(const TextPropertyBag& other) {
    if (this != &other)
        *m_contents = *other.m_contents;
    return *this;
}

size_t TextPropertyBag::size() const {
    return m_contents->entries.size();
}

void TextPropertyBag::clear() {
    m_contents->entries.clear();
}

Variant TextPropertyBag::Read(std::u16string_view name, const Variant& defaultValue) {
    auto it = m_contents->find(name);
    return it == m_contents->entries.end() ? defaultValue : it->second;
}

void TextPropertyBag::Write(std::u16string_view name, const Variant& value,
                            const Variant& defaultValue) {
    if (name.empty())
        throw Error(errors::kInvalidProcedureCall, u"プロパティ名が空です。");
    auto it = m_contents->find(name);
    // A stale stored value must go too, or a later read would not give the default back.
    if (m_contents->omitDefaults && equalForOmission(value, defaultValue)) {
        if (it != m_contents->entries.end())
            m_contents->entries.erase(it);
        return;
    }
    if (it != m_contents->entries.end()) {
        it->second = value;
    } else {
        m_contents->entries.emplace_back(std::u16string(name), value);
    }
}

bool TextPropertyBag::contains(std::u16string_view name) const {
    return m_contents->find(name) != m_contents->entries.end();
}

std::vector<std::u16string> TextPropertyBag::names() const {
    std::vector<std::u16string> out;
    out.reserve(m_contents->entries.size());
    for (const Contents::Entry& e : m_contents->entries)
        out.push_back(e.first);
    return out;
}

std::string TextPropertyBag::toText() const {
    std::u16string text;
    for (const Contents::Entry& e : m_contents->entries) {
        text += escape(e.first, true);
        text += u'=';
        text += valueText(e.second);
        text += u'\n';
    }
    return toUtf8(text);  // exact: escaping left no lone surrogate
}

void TextPropertyBag::loadText(std::string_view text) {
    m_contents->entries = parse(text, u"プロパティ データ");
}

void TextPropertyBag::saveToFile(const std::filesystem::path& path) const {
    const std::string text = toText();
    try {
        replaceFile(path, text,
                    FileMode{.keepExisting = true, .mode = 0644, .existing = std::nullopt});
    } catch (const FileFailure& failure) {
        throwSaveFailure(path, failure);
    }
}

void TextPropertyBag::loadFromFile(const std::filesystem::path& path) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        throwFileError(path, u"を開けません", errno);
    std::string text;
    if (!readToEnd(fd.get(), text))
        throwFileError(path, u"を読み込めません", errno);
    m_contents->entries = parse(text, u"プロパティ ファイル \"" + fromUtf8(path.string()) + u"\"");
}

}  // namespace platform

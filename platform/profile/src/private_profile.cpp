#include "platform/private_profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "file_update.h"
#include "platform/file_descriptor.h"

namespace platform {
namespace {

constexpr std::string_view kNewline = "\r\n";
constexpr size_t kNone = static_cast<size_t>(-1);

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimLeadingBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    return s;
}

// Safe on code page 932 text: neither blank can be the trail byte of a double-byte character.
std::string_view trimTrailingBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string_view trimBlanks(std::string_view s) {
    return trimTrailingBlanks(trimLeadingBlanks(s));
}

bool isLeadByte(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
bool isTrailByte(unsigned char b) {
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

// 2 where a double-byte character starts at `i`, else 1. Trail bytes cover '@'..'~', so
// letters, '[', '\' and ']' there belong to a character and must not be read as ASCII.
size_t characterLength(std::string_view s, size_t i) {
    return i + 1 < s.size() && isLeadByte(static_cast<unsigned char>(s[i])) &&
                   isTrailByte(static_cast<unsigned char>(s[i + 1]))
               ? 2
               : 1;
}

char foldAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The name with ASCII letters outside double-byte characters in lower case.
std::string foldName(std::string_view name) {
    std::string folded(name);
    for (size_t i = 0; i < folded.size();) {
        const size_t length = characterLength(folded, i);
        if (length == 1)
            folded[i] = foldAscii(folded[i]);
        i += length;
    }
    return folded;
}

// Compares on the fly to spare an allocation per line. Folding touches single letters only,
// and those are valid trail bytes, so equal names always split into the same characters.
bool matchesFolded(std::string_view name, std::string_view folded) {
    if (name.size() != folded.size())
        return false;
    for (size_t i = 0; i < name.size();) {
        const size_t length = characterLength(name, i);
        if (length == 2) {
            if (name[i] != folded[i] || name[i + 1] != folded[i + 1])
                return false;
        } else if (foldAscii(name[i]) != folded[i]) {
            return false;
        }
        i += length;
    }
    return true;
}

enum class LineKind { Other, Section, Key };

struct Line {
    size_t begin = 0;    // offset of the first byte
    size_t bodyEnd = 0;  // offset of the terminator
    size_t end = 0;      // offset past the terminator
    LineKind kind = LineKind::Other;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // a key's raw value, trimmed
    bool terminated() const { return bodyEnd != end; }
};

void classify(Line& line, std::string_view body) {
    const std::string_view text = trimBlanks(body);
    if (text.empty() || text.front() == ';')
        return;
    if (text.front() == '[') {
        size_t close = 1;
        while (close < text.size() && text[close] != ']')
            close += characterLength(text, close);
        line.kind = LineKind::Section;
        line.name = trimBlanks(text.substr(1, close - 1));
        return;
    }
    // '=' lies below the trail byte range, so the first one is always a real separator.
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos)
        return;
    line.kind = LineKind::Key;
    line.name = trimTrailingBlanks(text.substr(0, equals));
    line.value = trimLeadingBlanks(text.substr(equals + 1));
}

std::vector<Line> parseLines(std::string_view text) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        Line line;
        line.begin = pos;
        const size_t stop = text.find_first_of("\r\n", pos);
        line.bodyEnd = stop == std::string_view::npos ? text.size() : stop;
        line.end = line.bodyEnd;
        if (line.end < text.size()) {
            const bool crlf =
                text[line.end] == '\r' && line.end + 1 < text.size() && text[line.end + 1] == '\n';
            line.end += crlf ? 2 : 1;
        }
        classify(line, text.substr(line.begin, line.bodyEnd - line.begin));
        lines.push_back(line);
        pos = line.end;
    }
    return lines;
}

// A section as found in the file: its header line and the lines up to the next header.
struct SectionSpan {
    size_t header = kNone;
    size_t end = 0;
    bool found() const { return header != kNone; }
};

SectionSpan findSection(const std::vector<Line>& lines, std::string_view section) {
    const std::string folded = foldName(trimBlanks(section));
    SectionSpan span;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind != LineKind::Section)
            continue;
        if (span.found()) {
            span.end = i;
            return span;
        }
        if (matchesFolded(lines[i].name, folded))
            span.header = i;
    }
    span.end = lines.size();
    return span;
}

size_t findKey(const std::vector<Line>& lines, SectionSpan span, std::string_view key) {
    const std::string folded = foldName(trimBlanks(key));
    for (size_t i = span.header + 1; i < span.end; ++i) {
        if (lines[i].kind == LineKind::Key && matchesFolded(lines[i].name, folded))
            return i;
    }
    return kNone;
}

std::string_view unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// The largest file read: far beyond any settings file, small enough that a file planted to
// be huge (a sparse terabyte, say) costs no memory. A larger one reads as a missing file
// (the defaults), and a write into it fails, leaving it as it is.
constexpr off_t kLargestFile = 16 * 1024 * 1024;

// Rounds of reading and writing a file that others keep creating anew under the writer.
constexpr int kMostRounds = 100;

// The whole file, or nothing when it is missing, unreadable, no regular file or larger than
// kLargestFile. Opened without blocking, so that a FIFO (or a device) in its place is
// turned down at once instead of waiting for a writer that may never come.
std::optional<std::string> readProfile(const char* path) {
    const FileDescriptor fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0)
        return std::nullopt;
    return readRegularFile(fd.get(), kLargestFile);
}

uint32_t copyString(std::string_view s, char* buffer, uint32_t size) {
    const size_t n = std::min<size_t>(s.size(), size - 1);
    std::memcpy(buffer, s.data(), n);
    buffer[n] = '\0';
    return static_cast<uint32_t>(n);
}

// Names separated by zero bytes and closed by one more; cut to size - 2 plus two zeros.
uint32_t copyNameList(const std::vector<std::string_view>& names, char* buffer, uint32_t size) {
    std::string list;
    for (std::string_view name : names) {
        list.append(name);
        list.push_back('\0');
    }
    if (list.size() + 1 <= size) {
        std::memcpy(buffer, list.data(), list.size());
        buffer[list.size()] = '\0';
        return static_cast<uint32_t>(list.size());
    }
    if (size < 2) {
        buffer[0] = '\0';
        return 0;
    }
    std::memcpy(buffer, list.data(), size - 2);
    buffer[size - 2] = '\0';
    buffer[size - 1] = '\0';
    return size - 2;
}

std::vector<std::string_view> uniqueNames(const std::vector<Line>& lines, LineKind kind,
                                          size_t from, size_t to) {
    std::vector<std::string_view> names;
    std::unordered_set<std::string> seen;
    for (size_t i = from; i < to; ++i) {
        if (lines[i].kind == kind && seen.insert(foldName(lines[i].name)).second) {
            names.push_back(lines[i].name);
        }
    }
    return names;
}

// One splice on the original text: bytes [from, to) become `replacement`.
struct Edit {
    size_t from = 0;
    size_t to = 0;
    std::string replacement;
};

std::string keyLine(std::string_view key, std::string_view value) {
    std::string line;
    line.reserve(key.size() + value.size() + 3);
    line.append(key).append("=").append(value).append(kNewline);
    return line;
}

// What the write does to the text; nothing when there is nothing to change.
std::optional<Edit> planEdit(std::string_view text, const char* section, const char* key,
                             const char* value) {
    const std::vector<Line> lines = parseLines(text);
    const SectionSpan span = findSection(lines, section);
    if (!key) {
        if (!span.found())
            return std::nullopt;
        const size_t to = span.end < lines.size() ? lines[span.end].begin : text.size();
        return Edit{lines[span.header].begin, to, {}};
    }
    const size_t found = span.found() ? findKey(lines, span, key) : kNone;
    if (!value) {
        if (found == kNone)
            return std::nullopt;
        return Edit{lines[found].begin, lines[found].end, {}};
    }
    if (found != kNone) {
        // The file's own spelling of the name stays.
        return Edit{lines[found].begin, lines[found].end, keyLine(lines[found].name, value)};
    }
    const std::string_view keyName = trimBlanks(key);
    if (!span.found()) {
        Edit edit{text.size(), text.size(), {}};
        if (!lines.empty() && !lines.back().terminated())
            edit.replacement.append(kNewline);
        edit.replacement.append("[").append(trimBlanks(section)).append("]").append(kNewline);
        edit.replacement.append(keyLine(keyName, value));
        return edit;
    }
    size_t after = span.header;
    for (size_t i = span.header + 1; i < span.end; ++i) {
        if (lines[i].kind == LineKind::Key)
            after = i;
    }
    Edit edit{lines[after].end, lines[after].end, {}};
    if (!lines[after].terminated())
        edit.replacement.append(kNewline);
    edit.replacement.append(keyLine(keyName, value));
    return edit;
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// A link in a folder that others may write, sticky or not, is followed only when the writer
// owns it (the kernel's protected_symlinks rule, which covers sticky folders alone):
// another user's link there would have the writer rewrite a file of that user's choosing.
bool mayFollow(const std::string& link, const struct stat& linkInfo) {
    if (linkInfo.st_uid == ::geteuid())
        return true;
    struct stat folder = {};
    return ::stat(folderOf(link).c_str(), &folder) == 0 &&
           (folder.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Writes go to the file a symbolic link names, so that the link itself survives. Nothing
// when a link on the way may not be followed.
std::optional<std::string> resolveLink(const char* path) {
    std::string hop = path;
    struct stat info = {};
    for (int hops = 0; hops < 40 && ::lstat(hop.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
         ++hops) {
        if (!mayFollow(hop, info))
            return std::nullopt;
        char target[PATH_MAX];
        const ssize_t length = ::readlink(hop.c_str(), target, sizeof target);
        if (length <= 0 || static_cast<size_t>(length) >= sizeof target)
            break;
        const std::string next(target, static_cast<size_t>(length));
        hop = next.front() == '/' ? next : folderOf(hop) + "/" + next;
    }
    if (hop == path)
        return hop;
    if (char* resolved = ::realpath(path, nullptr)) {
        std::string target = resolved;
        std::free(resolved);
        return target;
    }
    return std::string(path);
}

}  // namespace

uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue,
                                  char* buffer, uint32_t size, const char* path) {
    if (!buffer || size == 0)
        return 0;
    std::optional<std::string> text;
    if (path)
        text = readProfile(path);
    const std::vector<Line> lines = text ? parseLines(*text) : std::vector<Line>{};
    if (!section) {
        return copyNameList(uniqueNames(lines, LineKind::Section, 0, lines.size()), buffer, size);
    }
    const SectionSpan span = findSection(lines, section);
    if (!key) {
        if (!span.found())
            return copyNameList({}, buffer, size);
        return copyNameList(uniqueNames(lines, LineKind::Key, span.header + 1, span.end), buffer,
                            size);
    }
    if (span.found()) {
        if (const size_t found = findKey(lines, span, key); found != kNone) {
            return copyString(unquote(lines[found].value), buffer, size);
        }
    }
    return copyString(trimTrailingBlanks(defaultValue ? defaultValue : ""), buffer, size);
}

bool WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const char* path) {
    if (!section || !path || !*path) {
        errno = EINVAL;
        return false;
    }
    const std::optional<std::string> resolved = resolveLink(path);
    if (!resolved) {
        errno = EACCES;  // as the kernel refuses a link it may not follow
        return false;
    }
    const std::string& target = *resolved;
    const size_t slash = target.rfind('/');
    const std::string folder = folderOf(target);
    const std::string fileName = slash == std::string::npos ? target : target.substr(slash + 1);
    if (fileName.empty()) {
        errno = EISDIR;
        return false;
    }
    struct stat folderStat = {};
    if (::stat(folder.c_str(), &folderStat) != 0)
        return false;
    if (!S_ISDIR(folderStat.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    try {
        // Each round reads what is there now; another round follows only when another writer
        // created the file meanwhile, which a writer that keeps doing so cannot make endless.
        for (int round = 0; round < kMostRounds; ++round) {
            FileUpdate update = FileUpdate::begin(target, kLargestFile);
            std::string text = update.content();
            const std::optional<Edit> edit = planEdit(text, section, key, value);
            if (!edit)
                return true;  // nothing to delete
            if (update.exists() && !update.writable()) {
                errno = EACCES;
                return false;
            }
            text.replace(edit->from, edit->to - edit->from, edit->replacement);
            if (update.commit(text))
                return true;
        }
        errno = EWOULDBLOCK;
        return false;
    } catch (const FileFailure& failure) {
        errno = failure.errorNumber();
        return false;
    }
}

}  // namespace platform

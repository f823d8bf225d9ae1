#include "platform/registry.h"
#include "platform/file_descriptor.h"
#include "platform/root_owned_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <map>
#include <utility>

#include "atomic_file.h"
#include "owner_check.h"
#include "platform/user_data.h"
#include "system_errors.h"
#include "user_folder.h"

namespace platform {

namespace {

// File layout, one record per line, fields separated by tabs, values escaped (\\ \t \n \r):
//   corvane-platform-registry 1
//   class <CLSID> path=... threading=... name=... progid=... typelib=<GUID> interface=<IID>
//         source=<IID> misc=<n> toolbox=<n> events=0|1 designer=0|1
//   progid <ProgID> <CLSID>
//   typelib <GUID> version=<major>.<minor> lcid=<n> path=... name=... description=...
//           helpdir=...
constexpr std::string_view kHeader = "corvane-platform-registry 1";
constexpr std::string_view kHeaderPrefix = "corvane-platform-registry ";
constexpr char kFileName[] = "registry";
constexpr char kLockName[] = "registry.lock";

std::u16string u16(std::string_view utf8) {
    return fromUtf8(utf8);
}

std::u16string pathText(const std::filesystem::path& path) {
    return u16(path.string());
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
        return upper(x) == upper(y);
    });
}

std::string escape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string numberText(uint64_t value) {
    return std::to_string(value);
}

// Reports a damaged line; the whole file is then refused.
class LineParser {
  public:
    LineParser(const std::string& fileName, size_t lineNumber)
        : m_fileName(fileName), m_lineNumber(lineNumber) {}

    [[noreturn]] void fail(std::u16string_view detail) const {
        std::u16string text = u"レジストリ ファイル " + u16(m_fileName) + u" の " +
                              u16(std::to_string(m_lineNumber)) + u" 行目が不正です: ";
        text += detail;
        throw Error(kRegistryCorrupt, std::move(text));
    }

    std::string unescape(std::string_view value) const {
        std::string out;
        out.reserve(value.size());
        for (size_t i = 0; i < value.size(); ++i) {
            if (value[i] != '\\') {
                out += value[i];
                continue;
            }
            if (++i == value.size())
                fail(u"エスケープ シーケンスが途中で切れています。");
            switch (value[i]) {
                case '\\':
                    out += '\\';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                default:
                    fail(u"エスケープ シーケンス \"\\" + u16(value.substr(i, 1)) +
                         u"\" は不正です。");
            }
        }
        return out;
    }

    Guid guid(std::string_view text) const {
        std::optional<Guid> parsed = Guid::parse(text);
        if (!parsed)
            fail(u"GUID \"" + u16(text) + u"\" は不正です。");
        return *parsed;
    }

    template <class Number>
    Number number(std::string_view text) const {
        Number value{};
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || error != std::errc{} || end != text.data() + text.size())
            fail(u"数値 \"" + u16(text) + u"\" は不正です。");
        return value;
    }

    bool flag(std::string_view text) const {
        if (text == "0")
            return false;
        if (text == "1")
            return true;
        fail(u"フラグ \"" + u16(text) + u"\" は 0 か 1 でなければなりません。");
    }

    std::filesystem::path absolutePath(std::string_view text) const {
        std::filesystem::path path(unescape(text));
        if (!path.is_absolute())
            fail(u"パス \"" + u16(text) + u"\" は絶対パスではありません。");
        return path;
    }

  private:
    const std::string& m_fileName;
    size_t m_lineNumber;
};

// The key=value fields after the record's key, each required exactly once.
class Fields {
  public:
    Fields(const LineParser& parser, const std::vector<std::string_view>& tokens,
           std::initializer_list<std::string_view> names)
        : m_parser(parser) {
        for (size_t i = 2; i < tokens.size(); ++i) {
            const size_t equals = tokens[i].find('=');
            if (equals == std::string_view::npos)
                parser.fail(u"項目 \"" + u16(tokens[i]) + u"\" に \"=\" がありません。");
            std::string_view name = tokens[i].substr(0, equals);
            if (std::ranges::find(names, name) == names.end())
                parser.fail(u"不明な項目 \"" + u16(name) + u"\" です。");
            if (!m_values.emplace(name, tokens[i].substr(equals + 1)).second)
                parser.fail(u"項目 \"" + u16(name) + u"\" が重複しています。");
        }
        for (std::string_view name : names) {
            if (!m_values.contains(name))
                parser.fail(u"項目 \"" + u16(name) + u"\" がありません。");
        }
    }

    std::string_view raw(std::string_view name) const { return m_values.at(name); }
    std::string text(std::string_view name) const { return m_parser.unescape(raw(name)); }

  private:
    const LineParser& m_parser;
    std::map<std::string_view, std::string_view> m_values;
};

std::vector<std::string_view> splitTabs(std::string_view line) {
    std::vector<std::string_view> tokens;
    size_t start = 0;
    while (true) {
        const size_t tab = line.find('\t', start);
        tokens.push_back(line.substr(start, tab - start));
        if (tab == std::string_view::npos)
            break;
        start = tab + 1;
    }
    return tokens;
}

bool isValidUtf8(std::string_view text) {
    return toUtf8(fromUtf8(text)) == text;
}

ClassRegistration parseClass(const LineParser& parser,
                             const std::vector<std::string_view>& tokens) {
    Fields fields(parser, tokens,
                  {"path", "threading", "name", "progid", "typelib", "interface", "source", "misc",
                   "toolbox", "events", "designer"});
    ClassRegistration entry;
    entry.clsid = parser.guid(tokens[1]);
    entry.libraryPath = parser.absolutePath(fields.raw("path"));
    entry.threadingModel = fields.text("threading");
    entry.className = fields.text("name");
    entry.progId = fields.text("progid");
    entry.typeLibId = parser.guid(fields.raw("typelib"));
    entry.iidDefault = parser.guid(fields.raw("interface"));
    entry.iidSource = parser.guid(fields.raw("source"));
    entry.miscStatus = parser.number<uint32_t>(fields.raw("misc"));
    entry.toolboxBitmapId = parser.number<uint16_t>(fields.raw("toolbox"));
    entry.raisesEvents = parser.flag(fields.raw("events"));
    entry.isDesigner = parser.flag(fields.raw("designer"));
    return entry;
}

ProgIdRegistration parseProgId(const LineParser& parser,
                               const std::vector<std::string_view>& tokens) {
    if (tokens.size() != 3)
        parser.fail(u"ProgID の行には名前と CLSID が必要です。");
    ProgIdRegistration entry{parser.unescape(tokens[1]), parser.guid(tokens[2])};
    if (entry.progId.empty())
        parser.fail(u"ProgID が空です。");
    return entry;
}

TypeLibraryRegistration parseTypeLibrary(const LineParser& parser,
                                         const std::vector<std::string_view>& tokens) {
    Fields fields(parser, tokens, {"version", "lcid", "path", "name", "description", "helpdir"});
    TypeLibraryRegistration entry;
    entry.id = parser.guid(tokens[1]);
    const std::string_view version = fields.raw("version");
    const size_t dot = version.find('.');
    if (dot == std::string_view::npos)
        parser.fail(u"バージョン \"" + u16(version) + u"\" は不正です。");
    entry.versionMajor = parser.number<uint16_t>(version.substr(0, dot));
    entry.versionMinor = parser.number<uint16_t>(version.substr(dot + 1));
    entry.lcid = parser.number<uint32_t>(fields.raw("lcid"));
    entry.path = parser.absolutePath(fields.raw("path"));
    entry.name = fields.text("name");
    entry.description = fields.text("description");
    entry.helpDir = fields.text("helpdir");
    return entry;
}

std::u16string systemFailure(std::u16string_view what, const std::filesystem::path& path,
                             int errorNumber) {
    return u"レジストリ " + std::u16string(what) + u" " + pathText(path) + u": " +
           posixErrorText(errorNumber);
}

[[noreturn]] void throwSystem(HRESULT code, std::u16string_view what,
                              const std::filesystem::path& path, int errorNumber) {
    throw Error(code, systemFailure(what, path, errorNumber));
}

// A folder or file that someone else could change would let them redirect class creation
// to a library of their choosing. The machine's belong to root: every user loads what
// they name.
void checkOwnership(const struct stat& info, const std::filesystem::path& path, HRESULT code,
                    std::u16string_view kind, RegistryScope scope) {
    const bool machine = scope == RegistryScope::machine;
    const OwnerCheck owner = checkOwner(info, machine ? 0 : geteuid());
    if (owner == OwnerCheck::anotherOwner) {
        if (machine) {
            throw Error(code, u"マシン全体のレジストリの" + std::u16string(kind) + u" " +
                                  pathText(path) +
                                  u" は root 以外のユーザーが所有しているため使用できません。"
                                  u"root の所有にするか、削除して登録し直してください。");
        }
        throw Error(code, u"レジストリの" + std::u16string(kind) + u" " + pathText(path) +
                              u" は別のユーザーが所有しているため使用できません。");
    }
    if (owner == OwnerCheck::othersMayWrite) {
        throw Error(code, std::u16string(machine ? u"マシン全体の" : u"") + u"レジストリの" +
                              std::u16string(kind) + u" " + pathText(path) +
                              u" はグループまたは他のユーザーが書き込めるため使用できません。" +
                              (machine ? u"chmod go-w で書き込みを禁止してください。" : u""));
    }
}

// The user's folder: false when it (or a folder above it) does not exist yet.
bool checkUserDirectory(const std::filesystem::path& directory, HRESULT code) {
    const UserFolderStatus status = checkUserFolder(directory);
    const std::u16string folder = u"レジストリのフォルダー " + pathText(directory);
    switch (status.check) {
        case UserFolderCheck::trusted:
            return true;
        case UserFolderCheck::missing:
            return false;
        case UserFolderCheck::foreignLink:
            throw Error(code, folder + u" への途中のシンボリック リンク " + pathText(status.at) +
                                  u" は別のユーザーが所有しているため使用できません。");
        case UserFolderCheck::notAFolder:
            throw Error(code, folder + u" はフォルダーではありません。");
        case UserFolderCheck::anotherOwner:
            throw Error(code, folder + u" は別のユーザーが所有しているため使用できません。");
        case UserFolderCheck::othersMayWrite:
            throw Error(code,
                        folder + u" はグループまたは他のユーザーが書き込めるため使用できません。");
        case UserFolderCheck::failed:
            break;
    }
    throwSystem(code, u"フォルダーを調べられません:", status.at, status.errorNumber);
}

// False when the folder does not exist.
bool checkDirectory(const std::filesystem::path& directory, HRESULT code, RegistryScope scope) {
    if (scope == RegistryScope::user)
        return checkUserDirectory(directory, code);
    struct stat info = {};
    if (::stat(directory.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return false;
        throwSystem(code, u"フォルダーを調べられません:", directory, errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        throw Error(code, u"レジストリのフォルダー " + pathText(directory) +
                              u" はフォルダーではありません。");
    }
    // The folders above it count too: whoever may rename one could put a registry of their
    // own in its place.
    try {
        requireRootOwned(directory, RootOwnedKind::folder, code);
    } catch (const Error& error) {
        throw Error(code, u"マシン全体のレジストリのフォルダー " + pathText(directory) +
                              u" は使用できません: " + error.description() +
                              u" root の所有にし、chmod go-w で書き込みを禁止してください。");
    }
    return true;
}

void ensureDirectory(const std::filesystem::path& directory, RegistryScope scope) {
    if (checkDirectory(directory, kRegistryWriteFailed, scope))
        return;
    std::error_code error;
    std::filesystem::create_directories(directory.parent_path(), error);
    if (error)
        throwSystem(kRegistryWriteFailed, u"フォルダーを作成できません:", directory, error.value());
    const mode_t mode = scope == RegistryScope::machine ? 0755 : 0700;
    if (::mkdir(directory.c_str(), mode) != 0 && errno != EEXIST)
        throwSystem(kRegistryWriteFailed, u"フォルダーを作成できません:", directory, errno);
    checkDirectory(directory, kRegistryWriteFailed, scope);
}

// nullopt when the file does not exist.
std::optional<std::string> readFile(const std::filesystem::path& file, HRESULT code,
                                    RegistryScope scope) {
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        throwSystem(code, u"ファイルを開けません:", file, errno);
    }
    struct stat info = {};
    if (::fstat(fd.get(), &info) != 0)
        throwSystem(code, u"ファイルを調べられません:", file, errno);
    if (!S_ISREG(info.st_mode)) {
        throw Error(
            code, u"レジストリのファイル " + pathText(file) + u" は通常のファイルではありません。");
    }
    checkOwnership(info, file, code, u"ファイル", scope);
    std::string text;
    if (!readToEnd(fd.get(), text))
        throwSystem(code, u"ファイルを読み込めません:", file, errno);
    return text;
}

// The registry's description of a failed step of writing its file.
[[noreturn]] void throwWriteFailure(const FileFailure& failure, const std::filesystem::path& file) {
    switch (failure.step()) {
        case FileStep::Open:
            throwSystem(kRegistryWriteFailed, u"ロック ファイルを開けません:", failure.path(),
                        failure.errorNumber());
        case FileStep::Lock:
            throwSystem(kRegistryWriteFailed, u"ロックできません:", failure.path(),
                        failure.errorNumber());
        case FileStep::Create:
            throwSystem(kRegistryWriteFailed, u"一時ファイルを作成できません:", file.parent_path(),
                        failure.errorNumber());
        case FileStep::Permissions:
            throwSystem(kRegistryWriteFailed, u"ファイルの権限を設定できません:", failure.path(),
                        failure.errorNumber());
        case FileStep::Write:
            throwSystem(kRegistryWriteFailed, u"ファイルに書き込めません:", failure.path(),
                        failure.errorNumber());
        case FileStep::Flush:
            throwSystem(kRegistryWriteFailed, u"ファイルを書き出せません:", failure.path(),
                        failure.errorNumber());
        case FileStep::Replace:
            break;
    }
    throwSystem(kRegistryWriteFailed, u"ファイルを置き換えられません:", failure.path(),
                failure.errorNumber());
}

// A registry the user made read-only (no write permission bit, even for root) stays so.
void refuseIfReadOnly(const std::filesystem::path& path) {
    if (isReadOnly(path))
        throwSystem(kRegistryWriteFailed, u"読み取り専用のため書き込めません:", path, EACCES);
}

}  // namespace

RegistryContents RegistryContents::parse(std::string_view text, const std::string& fileName) {
    RegistryContents contents;
    size_t lineNumber = 0;
    size_t position = 0;
    while (position < text.size()) {
        ++lineNumber;
        const LineParser parser(fileName, lineNumber);
        const size_t newline = text.find('\n', position);
        // Every line we write ends in a newline: a last line without one was cut off.
        if (newline == std::string_view::npos)
            parser.fail(u"行が途中で切れています。");
        const std::string_view line = text.substr(position, newline - position);
        position = newline + 1;

        if (!isValidUtf8(line))
            parser.fail(u"UTF-8 として読めない文字があります。");
        if (lineNumber == 1) {
            if (line == kHeader)
                continue;
            if (line.starts_with(kHeaderPrefix)) {
                parser.fail(u"ファイル形式のバージョン \"" +
                            u16(line.substr(kHeaderPrefix.size())) + u"\" には対応していません。");
            }
            parser.fail(u"見出し行 \"" + u16(kHeader) + u"\" がありません。");
        }
        if (line.empty())
            continue;

        const std::vector<std::string_view> tokens = splitTabs(line);
        if (tokens[0] != "class" && tokens[0] != "progid" && tokens[0] != "typelib")
            parser.fail(u"不明なレコードの種類 \"" + u16(tokens[0]) + u"\" です。");
        if (tokens.size() < 2)
            parser.fail(u"レコードにキーがありません。");
        if (tokens[0] == "class") {
            ClassRegistration entry = parseClass(parser, tokens);
            if (contents.findClass(entry.clsid))
                parser.fail(u"CLSID " + u16(entry.clsid.toString()) + u" が重複しています。");
            contents.classes.push_back(std::move(entry));
        } else if (tokens[0] == "progid") {
            ProgIdRegistration entry = parseProgId(parser, tokens);
            if (contents.findProgId(entry.progId))
                parser.fail(u"ProgID \"" + u16(entry.progId) + u"\" が重複しています。");
            contents.progIds.push_back(std::move(entry));
        } else {
            TypeLibraryRegistration entry = parseTypeLibrary(parser, tokens);
            const TypeLibraryRegistration* existing =
                contents.findTypeLibrary(entry.id, entry.versionMajor, entry.versionMinor);
            if (existing) {
                parser.fail(u"タイプ ライブラリ " + u16(entry.id.toString()) + u" のバージョン " +
                            u16(std::to_string(entry.versionMajor) + "." +
                                std::to_string(entry.versionMinor)) +
                            u" が重複しています。");
            }
            contents.typeLibraries.push_back(std::move(entry));
        }
    }
    if (lineNumber == 0)
        LineParser(fileName, 1).fail(u"ファイルが空です。");
    return contents;
}

std::string RegistryContents::toText() const {
    std::string text(kHeader);
    text += '\n';
    for (const TypeLibraryRegistration& t : typeLibraries) {
        text += "typelib\t" + t.id.toString() + "\tversion=" + numberText(t.versionMajor) + "." +
                numberText(t.versionMinor) + "\tlcid=" + numberText(t.lcid) +
                "\tpath=" + escape(t.path.string()) + "\tname=" + escape(t.name) +
                "\tdescription=" + escape(t.description) + "\thelpdir=" + escape(t.helpDir) + "\n";
    }
    for (const ClassRegistration& c : classes) {
        text += "class\t" + c.clsid.toString() + "\tpath=" + escape(c.libraryPath.string()) +
                "\tthreading=" + escape(c.threadingModel) + "\tname=" + escape(c.className) +
                "\tprogid=" + escape(c.progId) + "\ttypelib=" + c.typeLibId.toString() +
                "\tinterface=" + c.iidDefault.toString() + "\tsource=" + c.iidSource.toString() +
                "\tmisc=" + numberText(c.miscStatus) +
                "\ttoolbox=" + numberText(c.toolboxBitmapId) +
                "\tevents=" + (c.raisesEvents ? "1" : "0") +
                "\tdesigner=" + (c.isDesigner ? "1" : "0") + "\n";
    }
    for (const ProgIdRegistration& p : progIds) {
        text += "progid\t" + escape(p.progId) + "\t" + p.clsid.toString() + "\n";
    }
    return text;
}

void RegistryContents::putClass(ClassRegistration entry) {
    auto it = std::ranges::find(classes, entry.clsid, &ClassRegistration::clsid);
    if (it != classes.end()) {
        *it = std::move(entry);
    } else {
        classes.push_back(std::move(entry));
    }
}

void RegistryContents::putProgId(ProgIdRegistration entry) {
    auto it = std::ranges::find_if(
        progIds, [&](const auto& p) { return equalsIgnoringAsciiCase(p.progId, entry.progId); });
    if (it != progIds.end()) {
        *it = std::move(entry);
    } else {
        progIds.push_back(std::move(entry));
    }
}

void RegistryContents::putTypeLibrary(TypeLibraryRegistration entry) {
    auto it = std::ranges::find_if(typeLibraries, [&](const auto& t) {
        return t.id == entry.id && t.versionMajor == entry.versionMajor &&
               t.versionMinor == entry.versionMinor;
    });
    if (it != typeLibraries.end()) {
        *it = std::move(entry);
    } else {
        typeLibraries.push_back(std::move(entry));
    }
}

bool RegistryContents::removeClass(const Guid& clsid) {
    return std::erase_if(classes, [&](const auto& c) { return c.clsid == clsid; }) > 0;
}

bool RegistryContents::removeProgId(std::string_view progId) {
    return std::erase_if(progIds, [&](const auto& p) {
               return equalsIgnoringAsciiCase(p.progId, progId);
           }) > 0;
}

bool RegistryContents::removeTypeLibrary(const Guid& id, uint16_t versionMajor,
                                         uint16_t versionMinor) {
    return std::erase_if(typeLibraries, [&](const auto& t) {
               return t.id == id && t.versionMajor == versionMajor &&
                      t.versionMinor == versionMinor;
           }) > 0;
}

const ClassRegistration* RegistryContents::findClass(const Guid& clsid) const {
    auto it = std::ranges::find(classes, clsid, &ClassRegistration::clsid);
    return it == classes.end() ? nullptr : &*it;
}

const ProgIdRegistration* RegistryContents::findProgId(std::string_view progId) const {
    auto it = std::ranges::find_if(
        progIds, [&](const auto& p) { return equalsIgnoringAsciiCase(p.progId, progId); });
    return it == progIds.end() ? nullptr : &*it;
}

const TypeLibraryRegistration* RegistryContents::findTypeLibrary(
    const Guid& id, std::optional<uint16_t> versionMajor,
    std::optional<uint16_t> versionMinor) const {
    const TypeLibraryRegistration* best = nullptr;
    for (const TypeLibraryRegistration& t : typeLibraries) {
        if (t.id != id)
            continue;
        if (versionMajor && t.versionMajor != *versionMajor)
            continue;
        if (versionMinor && t.versionMinor != *versionMinor)
            continue;
        if (!best || std::pair(t.versionMajor, t.versionMinor) >
                         std::pair(best->versionMajor, best->versionMinor)) {
            best = &t;
        }
    }
    return best;
}

Registry::Registry() : Registry(userDataDirectory()) {}

struct CORVANE_PLATFORM_NO_EXPORT Registry::Place {
    std::filesystem::path directory;
    std::filesystem::path file;
    RegistryScope scope;
};

Registry::Registry(std::filesystem::path directory, RegistryScope scope) {
    std::filesystem::path file = directory / kFileName;
    m_place = std::make_shared<const Place>(Place{std::move(directory), std::move(file), scope});
}

const std::filesystem::path& Registry::filePath() const {
    return m_place->file;
}

RegistryScope Registry::scope() const {
    return m_place->scope;
}

Registry Registry::machine() {
    return Registry(machineDataDirectory(), RegistryScope::machine);
}

std::array<Registry, 2> lookupRegistries() {
    return {Registry(), Registry::machine()};
}

RegistryContents Registry::parseFile(std::string_view text) const {
    try {
        return RegistryContents::parse(text, m_place->file.string());
    } catch (const Error& error) {
        if (m_place->scope != RegistryScope::machine)
            throw;
        // Nobody but root can mend it, and the registration tool never overwrites it.
        throw Error(error.number(), error.description() +
                                        u" ファイルを直すか削除してから、root として"
                                        u" corvane-register --system で登録し直してください。");
    }
}

RegistryContents Registry::read() const {
    if (!checkDirectory(m_place->directory, kRegistryReadFailed, m_place->scope))
        return {};
    std::optional<std::string> text = readFile(m_place->file, kRegistryReadFailed, m_place->scope);
    if (!text)
        return {};
    return parseFile(*text);
}

void Registry::update(const std::function<void(RegistryContents&)>& change) {
    if (m_place->scope == RegistryScope::machine && geteuid() != 0) {
        throw Error(kRegistryWriteFailed,
                    u"マシン全体のレジストリ " + pathText(m_place->file) +
                        u" は root だけが変更できます。root として実行してください"
                        u" (sudo corvane-register --system ...)。");
    }
    ensureDirectory(m_place->directory, m_place->scope);
    const std::filesystem::path lockPath = m_place->directory / kLockName;
    std::optional<FolderLock> lock;
    try {
        lock.emplace(FolderLock::throughFile(lockPath));
    } catch (const FileFailure& failure) {
        throwWriteFailure(failure, m_place->file);
    }
    // Read only after the lock is held, so that another process's change is not lost.
    std::optional<std::string> text = readFile(m_place->file, kRegistryWriteFailed, m_place->scope);
    RegistryContents contents;
    if (text)
        contents = parseFile(*text);
    const RegistryContents before = contents;
    change(contents);
    if (text && contents == before)
        return;
    const std::string newText = contents.toText();
    // Never write what could not be read back (a file name that is no UTF-8, an empty
    // ProgID, a relative path): one bad entry would lock every user of the file out.
    try {
        RegistryContents::parse(newText, m_place->file.string());
    } catch (const Error& error) {
        throw Error(
            kRegistryWriteFailed,
            u"レジストリに記録できない値のため書き込みを中止しました: " + error.description());
    }
    refuseIfReadOnly(m_place->directory);
    refuseIfReadOnly(m_place->file);
    try {
        // Temporary file, synced, renamed over the old one, folder synced: a crash leaves
        // either the old or the new file, never a mix.
        replaceFile(m_place->file, newText,
                    FileMode{.keepExisting = false,
                             .mode = m_place->scope == RegistryScope::machine ? 0644u : 0600u,
                             .existing = std::nullopt});
    } catch (const FileFailure& failure) {
        throwWriteFailure(failure, m_place->file);
    }
}  // closing the lock file releases the lock

std::optional<ClassRegistration> Registry::classById(const Guid& clsid) const {
    const RegistryContents contents = read();
    const ClassRegistration* entry = contents.findClass(clsid);
    if (!entry)
        return std::nullopt;
    return *entry;
}

std::optional<Guid> Registry::clsidFromProgId(std::string_view progId) const {
    const RegistryContents contents = read();
    const ProgIdRegistration* entry = contents.findProgId(progId);
    if (!entry)
        return std::nullopt;
    return entry->clsid;
}

std::optional<TypeLibraryRegistration> Registry::typeLibrary(
    const Guid& id, std::optional<uint16_t> versionMajor,
    std::optional<uint16_t> versionMinor) const {
    const RegistryContents contents = read();
    const TypeLibraryRegistration* entry = contents.findTypeLibrary(id, versionMajor, versionMinor);
    if (!entry)
        return std::nullopt;
    return *entry;
}

std::optional<std::filesystem::path> Registry::typeLibraryPath(
    const Guid& id, std::optional<uint16_t> versionMajor,
    std::optional<uint16_t> versionMinor) const {
    std::optional<TypeLibraryRegistration> entry = typeLibrary(id, versionMajor, versionMinor);
    if (!entry)
        return std::nullopt;
    return entry->path;
}

std::filesystem::path normalisedLibraryPath(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error)
        absolute = path;
    std::filesystem::path normal = std::filesystem::weakly_canonical(absolute, error);
    return error ? absolute.lexically_normal() : normal;
}

}  // namespace platform

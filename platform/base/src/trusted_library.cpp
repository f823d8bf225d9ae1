#include "trusted_library.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cerrno>
#include <optional>
#include <string_view>

#include "platform/file_descriptor.h"
#include "platform/root_owned_path.h"
#include "platform/utf8.h"
#include "system_errors.h"

namespace platform {
namespace {

// More than any real library has; a damaged or hostile header must not make us read more.
constexpr size_t kMostProgramHeaders = 4096;
constexpr size_t kMostDynamicEntries = 65536;
constexpr size_t kLongestSearchPath = 65536;

std::u16string named(const std::filesystem::path& path) {
    return u"\"" + fromUtf8(path.string()) + u"\"";
}

class ElfFile {
  public:
    ElfFile(const std::filesystem::path& path, HRESULT number) : m_path(path), m_number(number) {
        m_fd.reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat info = {};
        if (m_fd.get() < 0 || ::fstat(m_fd.get(), &info) != 0)
            throw Error(number, named(path) + u" を読めません: " + posixErrorText(errno));
        m_size = static_cast<uint64_t>(info.st_size);
    }

    [[noreturn]] void damaged() const {
        throw Error(m_number, named(m_path) + u" は読み込めるライブラリではありません。");
    }

    template <class T>
    T read(uint64_t offset) const {
        T value;
        if (offset > m_size || sizeof value > m_size - offset ||
            ::pread(m_fd.get(), &value, sizeof value, static_cast<off_t>(offset)) !=
                static_cast<ssize_t>(sizeof value))
            damaged();
        return value;
    }

    // The zero-terminated string at `offset`, which must end before `end`.
    std::string string(uint64_t offset, uint64_t end) const {
        std::string text;
        for (;; ++offset) {
            if (offset >= end || text.size() > kLongestSearchPath)
                damaged();
            const char c = read<char>(offset);
            if (c == '\0')
                return text;
            text.push_back(c);
        }
    }

    template <class Header, class ProgramHeader, class Dynamic>
    std::vector<std::string> searchPathOf() const {
        const auto header = read<Header>(0);
        if (header.e_phentsize != sizeof(ProgramHeader) || header.e_phnum > kMostProgramHeaders)
            damaged();
        std::vector<ProgramHeader> segments;
        for (size_t i = 0; i < header.e_phnum; ++i)
            segments.push_back(read<ProgramHeader>(header.e_phoff + i * sizeof(ProgramHeader)));
        std::vector<std::string> entries;
        for (const ProgramHeader& dynamic : segments) {
            if (dynamic.p_type != PT_DYNAMIC)
                continue;
            uint64_t strings = 0;
            uint64_t stringsSize = 0;
            std::vector<uint64_t> paths;
            const size_t count =
                std::min<uint64_t>(dynamic.p_filesz / sizeof(Dynamic), kMostDynamicEntries);
            for (size_t i = 0; i < count; ++i) {
                const auto entry = read<Dynamic>(dynamic.p_offset + i * sizeof(Dynamic));
                if (entry.d_tag == DT_NULL)
                    break;
                if (entry.d_tag == DT_STRTAB)
                    strings = entry.d_un.d_ptr;
                else if (entry.d_tag == DT_STRSZ)
                    stringsSize = entry.d_un.d_val;
                else if (entry.d_tag == DT_RPATH || entry.d_tag == DT_RUNPATH)
                    paths.push_back(entry.d_un.d_val);
            }
            if (paths.empty())
                continue;
            const uint64_t table = fileOffset(segments, strings);
            for (uint64_t offset : paths) {
                if (offset >= stringsSize)
                    damaged();
                const std::string text = string(table + offset, table + stringsSize);
                for (size_t start = 0;;) {
                    const size_t colon = text.find(':', start);
                    entries.push_back(text.substr(start, colon - start));
                    if (colon == std::string::npos)
                        break;
                    start = colon + 1;
                }
            }
        }
        return entries;
    }

    std::vector<std::string> searchPath() const {
        const auto ident = read<std::array<unsigned char, EI_NIDENT>>(0);
        if (ident[EI_MAG0] != ELFMAG0 || ident[EI_MAG1] != ELFMAG1 || ident[EI_MAG2] != ELFMAG2 ||
            ident[EI_MAG3] != ELFMAG3)
            damaged();
        // Only this machine's byte order loads here.
        const unsigned char native =
            std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
        if (ident[EI_DATA] != native)
            damaged();
        if (ident[EI_CLASS] == ELFCLASS64)
            return searchPathOf<Elf64_Ehdr, Elf64_Phdr, Elf64_Dyn>();
        if (ident[EI_CLASS] == ELFCLASS32)
            return searchPathOf<Elf32_Ehdr, Elf32_Phdr, Elf32_Dyn>();
        damaged();
    }

  private:
    // Where the loaded address `address` lies in the file.
    template <class ProgramHeader>
    uint64_t fileOffset(const std::vector<ProgramHeader>& segments, uint64_t address) const {
        for (const ProgramHeader& segment : segments) {
            if (segment.p_type == PT_LOAD && address >= segment.p_vaddr &&
                address - segment.p_vaddr < segment.p_filesz)
                return segment.p_offset + (address - segment.p_vaddr);
        }
        damaged();
    }

    std::filesystem::path m_path;
    HRESULT m_number;
    FileDescriptor m_fd;
    uint64_t m_size = 0;
};

// `entry` with $ORIGIN (or ${ORIGIN}) replaced by the library's folder; nothing when it
// holds another token, whose value depends on the machine.
std::optional<std::string> expandOrigin(const std::string& entry, const std::string& origin) {
    std::string expanded;
    for (size_t i = 0; i < entry.size();) {
        if (entry[i] != '$') {
            expanded.push_back(entry[i++]);
            continue;
        }
        const std::string_view rest = std::string_view(entry).substr(i + 1);
        if (rest.starts_with("ORIGIN") &&
            (rest.size() == 6 ||
             !(std::isalnum(static_cast<unsigned char>(rest[6])) || rest[6] == '_'))) {
            expanded += origin;
            i += 7;
        } else if (rest.starts_with("{ORIGIN}")) {
            expanded += origin;
            i += 9;
        } else {
            return std::nullopt;
        }
    }
    return expanded;
}

// A folder only root may change, or, when it does not exist, one that only root could
// create: the nearest folder above it that exists is root's alone.
void requireRootOwnedFolder(std::filesystem::path folder, HRESULT number) {
    folder = folder.lexically_normal();
    std::error_code error;
    while (!std::filesystem::exists(folder, error) && folder.has_relative_path())
        folder = folder.parent_path();
    requireRootOwned(folder, RootOwnedKind::folder, number);
}

}  // namespace

std::vector<std::string> librarySearchPath(const std::filesystem::path& path, HRESULT number) {
    return ElfFile(path, number).searchPath();
}

std::filesystem::path requireTrustedLibrary(const std::filesystem::path& path, HRESULT number) {
    const std::filesystem::path library = requireRootOwned(path, RootOwnedKind::file, number);
    const std::string origin = library.parent_path().string();
    for (const std::string& entry : librarySearchPath(library, number)) {
        const std::u16string where = named(library) + u" の検索パス \"" + fromUtf8(entry) + u"\" ";
        if (entry.empty())
            throw Error(number, where + u"は空で、カレント フォルダーを指すため信頼できません。");
        const std::optional<std::string> expanded = expandOrigin(entry, origin);
        if (!expanded)
            throw Error(number, where + u"は $ORIGIN 以外の置き換えを含むため信頼できません。");
        if (expanded->empty() || expanded->front() != '/')
            throw Error(number, where + u"は相対パスのため信頼できません。");
        try {
            requireRootOwnedFolder(*expanded, number);
        } catch (const Error& refused) {
            throw Error(number, where + u"は信頼できません: " + refused.description());
        }
    }
    return library;
}

}  // namespace platform

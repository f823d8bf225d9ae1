// The communication log: one time-stamped line per send and per non-empty read.
//
// The file is opened for appending and closed for every entry, so another program may
// read, move or delete it between entries. Each line goes out in one write() on an
// O_APPEND descriptor, so two controls sharing a file never interleave partial lines.
// Every failure is swallowed: logging never disturbs the data path.
#include <fcntl.h>

#include <ctime>

#include "platform/error.h"
#include "platform/file_descriptor.h"
#include "portula.h"
#include "text_render/render_control_chars.h"

namespace port_control {

namespace {
// "yyyy/mm/dd hh:mm:ss" in local time. Formatting costs more than the rest of an entry,
// so the text is made once per second.
std::string_view timeStamp() {
    thread_local std::time_t formattedSecond = -1;
    thread_local char text[32] = "0000/00/00 00:00:00";
    thread_local size_t length = 19;
    const std::time_t now = std::time(nullptr);
    if (now != formattedSecond) {
        std::tm local{};
        if (localtime_r(&now, &local)) {
            length = std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local);
            formattedSecond = now;
        }
    }
    return std::string_view(text, length);
}

// A line longer than this gives its room back once written.
constexpr size_t kKeptLineCapacity = 64 * 1024;

void appendLine(const std::string& path, const std::string& line) {
    const platform::FileDescriptor fd(
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (fd.get() >= 0)
        platform::writeAll(fd.get(), line);  // a failure is dropped: the log never fails its caller
}
}  // namespace

void Portula::setLogPath(const std::u16string& path) {
    std::string bytes = platform::toUtf8(path);
    m_logPath = path;
    m_logPathBytes = std::move(bytes);
}

void Portula::logDataAsText(std::u16string_view prefix, const Variant& data) {
    if (data.type() == platform::VarType::String)
        WriteLog(prefix, data.stringValue());
    else
        WriteLog(prefix, platform::toString(data));
}

void Portula::WriteLog(std::u16string_view prefix, std::u16string_view text) noexcept {
    if (m_logPath.empty())
        return;
    try {
        std::string& line = m_logLine;
        line.assign(timeStamp());
        line += ':';
        text_render::appendRenderedAsCodePage932(prefix, line);
        text_render::appendRenderedAsCodePage932(text, line);
        line += "\r\n";
        appendLine(m_logPathBytes, line);
    } catch (...) {
        // Out of memory while composing the line: the entry is lost, the caller carries on.
    }
    if (m_logLine.capacity() > kKeptLineCapacity)
        std::string().swap(m_logLine);
}

}  // namespace port_control

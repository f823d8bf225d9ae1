// The communication log: one time-stamped line per send and per non-empty read, written
// to the file LogFile names at that moment (log_file_appender.h). Every failure is
// swallowed: logging never disturbs the data path.
#include <ctime>

#include "platform/utf8.h"
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

}  // namespace

void Portula::setLogPath(const std::u16string& path) {
    std::string bytes = platform::toUtf8(path);
    m_logPath = path;
    m_logging = !m_logPath.empty();
    m_logFile.setPath(std::move(bytes));
}

void Portula::logDataAsText(std::u16string_view prefix, const Variant& data) noexcept {
    if (data.type() == platform::VarType::String) {
        WriteLog(prefix, data.stringValue());
        return;
    }
    std::u16string text;
    try {
        text = platform::toString(data);
    } catch (...) {
        // Null, or a value with no text form: the entry shows the prefix alone, and the
        // transport gives its own answer for the value.
    }
    WriteLog(prefix, text);
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
        m_logFile.append(line);
    } catch (...) {
        // Out of memory while composing the line: the entry is lost, the caller carries on.
    }
    if (m_logLine.capacity() > kKeptLineCapacity)
        std::string().swap(m_logLine);
}

}  // namespace port_control

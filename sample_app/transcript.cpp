#include "transcript.h"

#include <QPlainTextEdit>
#include <QString>
#include <QTextCursor>

#include "control_host.h"
#include "portula/portula_ids.h"
#include "text_render/render_control_chars.h"

namespace sample_app {
namespace {

constexpr std::u16string_view kSendPrefix = u"送:";
constexpr std::u16string_view kReceivePrefix = u"受:";
constexpr std::u16string_view kLineEnd = u"\r\n";

}  // namespace

Transcript::Transcript(QPlainTextEdit& view) : m_view(view) {
    m_view.setReadOnly(true);
    m_view.setLineWrapMode(QPlainTextEdit::NoWrap);
    m_view.setUndoRedoEnabled(false);
}

void Transcript::appendSendLine(std::u16string_view data) {
    appendLine(kSendPrefix, data);
}

void Transcript::appendReceiveLine(std::u16string_view data) {
    appendLine(kReceivePrefix, data);
}

void Transcript::appendLine(std::u16string_view prefix, std::u16string_view data) {
    std::u16string line(prefix);
    line += text_render::RenderControlChars(data);

    // The view holds one paragraph per line and an empty last paragraph, the place after
    // the final CR LF; the new line goes there and opens the next empty one.
    QTextCursor cursor(m_view.document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QString::fromStdU16String(line));
    cursor.insertBlock();
    m_view.setTextCursor(cursor);
    m_view.ensureCursorVisible();

    m_text += line;
    m_text += kLineEnd;
}

void SendText(ControlHost& portula, Transcript& transcript, std::u16string_view text) {
    portula.putProperty(port_control::ids::dispid::Output,
                        platform::Variant::fromString(std::u16string(text)));
    transcript.appendSendLine(text);
}

void ReceiveText(ControlHost& portula, Transcript& transcript) {
    const platform::Variant data = portula.getProperty(port_control::ids::dispid::Input2);
    transcript.appendReceiveLine(platform::toString(data));
}

}  // namespace sample_app

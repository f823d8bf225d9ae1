#include "transcript.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include "control_host.h"
#include "portula/portula_ids.h"
#include "text_render/render_control_chars.h"

namespace sample_app {
namespace {

constexpr std::u16string_view kSendPrefix = u"送:";
constexpr std::u16string_view kReceivePrefix = u"受:";
constexpr std::u16string_view kLineEnd = u"\r\n";

}  // namespace

Transcript::Transcript(QPlainTextEdit& view, int scrollbackLines)
    : m_view(view), m_scrollbackLines(std::max(scrollbackLines, 1)) {
    m_view.setReadOnly(true);
    m_view.setLineWrapMode(QPlainTextEdit::NoWrap);
    m_view.setUndoRedoEnabled(false);
    // The view holds one paragraph per line and an empty last one, the place after the
    // final CR LF; the document drops paragraphs from the top beyond its maximum.
    m_view.setMaximumBlockCount(m_scrollbackLines + 1);
}

void Transcript::appendSendLine(std::u16string_view data) {
    appendLine(kSendPrefix, data);
}

void Transcript::appendReceiveLine(std::u16string_view data) {
    appendLine(kReceivePrefix, data);
}

void Transcript::appendLine(std::u16string_view prefix, std::u16string_view data) {
    const std::u16string rendered = text_render::RenderControlChars(data);
    m_waiting.append(QStringView(prefix));
    m_waiting.append(QStringView(rendered));
    m_waiting.append(u'\n');
    ++m_waitingLines;
    // Lines that would only be dropped again go now, so that waiting text stays bounded
    // too (twice the limit, so that the cut is rare).
    if (m_waitingLines > 2 * m_scrollbackLines) {
        qsizetype cut = 0;
        for (int dropped = 0; dropped < m_waitingLines - m_scrollbackLines; ++dropped)
            cut = m_waiting.indexOf(u'\n', cut) + 1;
        m_waiting.remove(0, cut);
        m_waitingLines = m_scrollbackLines;
    }
    if (!m_flushPosted) {
        m_flushPosted = true;
        QMetaObject::invokeMethod(
            &m_nextPass,
            [this] {
                m_flushPosted = false;
                flush();
            },
            Qt::QueuedConnection);
    }
}

void Transcript::flush() {
    if (m_waitingLines == 0)
        return;
    // One insertion for the whole batch: each '\n' opens the next paragraph, so the view
    // lays out and scrolls once.
    QTextCursor cursor(m_view.document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(m_waiting);
    m_waiting.resize(0);  // keeps its room for the next batch
    m_waitingLines = 0;
    m_view.setTextCursor(cursor);
    m_view.ensureCursorVisible();
}

std::u16string Transcript::text() const {
    std::u16string text;
    // Every paragraph but the empty last one is a line.
    for (QTextBlock block = m_view.document()->begin(); block.isValid(); block = block.next()) {
        if (!block.next().isValid())
            break;
        text += block.text().toStdU16String();
        text += kLineEnd;
    }
    for (const QChar c : m_waiting) {
        if (c == u'\n')
            text += kLineEnd;
        else
            text += c.unicode();
    }
    return text;
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

#include "transcript.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <chrono>
#include <utility>

#include "control_host.h"
#include "portula/portula_ids.h"
#include "text_render/render_control_chars.h"

namespace sample_app {
namespace {

constexpr std::u16string_view kSendPrefix = u"送:";
constexpr std::u16string_view kReceivePrefix = u"受:";
constexpr std::u16string_view kLineEnd = u"\r\n";

bool splitsSurrogatePair(std::u16string_view text, size_t at) {
    return at > 0 && at < text.size() && QChar::isHighSurrogate(text[at - 1]) &&
           QChar::isLowSurrogate(text[at]);
}

// Appends the rendering of `data`, cut to kLineChars characters with a note that says so.
void appendRenderedData(std::u16string_view data, QString& out) {
    std::u16string rendered;
    rendered.reserve(std::min(data.size(), static_cast<size_t>(kLineChars)));
    size_t shown = text_render::appendRenderedStart(data, kLineChars, rendered);
    if (splitsSurrogatePair(data, shown)) {  // a high surrogate passes through as itself
        rendered.pop_back();
        --shown;
    }
    out.append(QStringView(rendered));
    if (shown < data.size())
        out.append(QStringLiteral("…（全 %1 文字中、先頭 %2 文字を表示）")
                       .arg(static_cast<qulonglong>(data.size()))
                       .arg(static_cast<qulonglong>(shown)));
}

}  // namespace

Transcript::Transcript(QPlainTextEdit& view, int scrollbackLines, qsizetype scrollbackChars)
    : m_view(view),
      m_scrollbackLines(std::max(scrollbackLines, 1)),
      m_scrollbackChars(std::max(scrollbackChars, 2 * kLineChars)) {
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
    m_waiting.append(QStringView(prefix));
    appendRenderedData(data, m_waiting);
    m_waiting.append(u'\n');
    ++m_waitingLines;
    // Lines that would only be dropped again go now, so that waiting text stays bounded
    // too (twice the limits, so that the cut is rare).
    if (m_waitingLines > 2 * m_scrollbackLines || m_waiting.size() > 2 * m_scrollbackChars)
        dropOldestWaiting(m_scrollbackLines, m_scrollbackChars);
    postFlush();
}

void Transcript::postFlush() {
    if (m_flushPosted)
        return;
    m_flushPosted = true;
    auto flush = [this] { flushPass(); };
    QMetaObject::invokeMethod(&m_nextPass, flush, Qt::QueuedConnection);
}

void Transcript::dropOldestWaiting(int lines, qsizetype chars) {
    qsizetype cut = 0;
    while (m_waitingLines > lines || m_waiting.size() - cut > chars) {
        cut = m_waiting.indexOf(u'\n', cut) + 1;
        --m_waitingLines;
    }
    m_waiting.remove(0, cut);
    // The view's lines are older than the ones dropped: none of them may stay.
    m_viewLinesDropped = m_viewLinesDropped || cut > 0;
}

void Transcript::makeRoomInView(qsizetype incoming) {
    QTextDocument& document = *m_view.document();
    // The view's text is its lines, each ended by a paragraph break, and the empty last one.
    const int shown = document.characterCount() - 1;
    const qsizetype excess = m_viewLinesDropped ? shown : shown + incoming - m_scrollbackChars;
    m_viewLinesDropped = false;
    if (excess <= 0)
        return;
    // Whole lines from the top, through the one that holds the last character to go.
    const QTextBlock last = document.findBlock(static_cast<int>(excess - 1));
    QTextCursor cursor(&document);
    cursor.setPosition(std::min(last.position() + last.length(), shown), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

void Transcript::flush() {
    if (m_waitingLines == 0)
        return;
    dropOldestWaiting(m_scrollbackLines, m_scrollbackChars);
    insertOldestWaiting(m_waitingLines);
    scrollToEnd();
}

void Transcript::flushPass() {
    m_flushPosted = false;
    if (m_waitingLines == 0)
        return;
    dropOldestWaiting(m_scrollbackLines, m_scrollbackChars);
    const auto deadline = std::chrono::steady_clock::now() + kFlushBudget;
    for (int inserted = 0; inserted < kLinesPerPass && m_waitingLines > 0;
         inserted += kLinesPerInsertion) {
        if (inserted > 0 && std::chrono::steady_clock::now() >= deadline)
            break;
        insertOldestWaiting(kLinesPerInsertion);
    }
    scrollToEnd();
    if (m_waitingLines > 0)
        postFlush();
}

void Transcript::insertOldestWaiting(int lines) {
    qsizetype end = m_waitingStart;
    int taken = 0;
    if (lines >= m_waitingLines) {
        end = m_waiting.size();
        taken = m_waitingLines;
    } else {
        for (; taken < lines; ++taken)
            end = m_waiting.indexOf(u'\n', end) + 1;
    }
    const QStringView piece = QStringView(m_waiting).sliced(m_waitingStart, end - m_waitingStart);
    makeRoomInView(piece.size());
    // One insertion for the piece: each '\n' opens the next paragraph, so the view lays the
    // change out once.
    QTextCursor cursor(m_view.document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(piece.toString());
    m_waitingLines -= taken;
    m_waitingStart = end;
    if (m_waitingLines > 0)
        return;
    if (m_waiting.capacity() > kWaitingRoomKept)
        m_waiting = QString();  // a flood's batch: its room goes with it
    else
        m_waiting.resize(0);  // keeps its room for the next batch
    m_waitingStart = 0;
}

void Transcript::scrollToEnd() {
    // The lines left for the next pass wait at the front again, in order.
    m_waiting.remove(0, std::exchange(m_waitingStart, 0));
    QTextCursor cursor(m_view.document());
    cursor.movePosition(QTextCursor::End);
    m_view.setTextCursor(cursor);
    m_view.ensureCursorVisible();
}

qsizetype Transcript::heldCharacters() const {
    return m_view.document()->characterCount() - 1 + m_waiting.capacity();
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

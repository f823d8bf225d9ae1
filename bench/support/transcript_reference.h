// The transcript as it was appended before lines went in by batches: each line inserted on
// its own, the caret put at the end and scrolled into view, then a pass of the event loop
// (its layout and painting), and the whole text kept a second time beside the view. The
// reference of the transcript's lines per second.
#pragma once

#include <QApplication>
#include <QPlainTextEdit>
#include <QString>
#include <QTextCursor>

#include <string>
#include <string_view>

#include "text_render/render_control_chars.h"

namespace bench {

class OneLineAtATimeTranscript {
  public:
    explicit OneLineAtATimeTranscript(QPlainTextEdit& view) : m_view(view) {
        m_view.setReadOnly(true);
        m_view.setLineWrapMode(QPlainTextEdit::NoWrap);
        m_view.setUndoRedoEnabled(false);
    }

    // Adds one receive line, then runs one pass of the event loop.
    void appendReceiveLine(std::u16string_view data) {
        std::u16string line(u"受:");
        line += text_render::RenderControlChars(data);
        QTextCursor cursor(m_view.document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(QString::fromStdU16String(line));
        cursor.insertBlock();
        m_view.setTextCursor(cursor);
        m_view.ensureCursorVisible();
        m_text += line;
        m_text += u"\r\n";
        QApplication::processEvents();
    }

  private:
    QPlainTextEdit& m_view;
    std::u16string m_text;
};

}  // namespace bench

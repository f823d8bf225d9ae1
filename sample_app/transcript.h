// The transcript box `Text1`: one line for every frame sent and every batch of data read.
//
// A line is a prefix ("送:" or "受:"), the data with control characters rendered as
// mnemonics (text_render::RenderControlChars) and CR LF; the transcript only ever grows.
// `text()` is the exact text, CR LF included. The view shows each line as one paragraph
// and gets only the new line on each append (no copy of the whole text), then its caret
// goes to the end so the newest line is in view. The view is read-only: the transcript is
// a record of the exchange, not something to edit.
//
// SendText and ReceiveText catch nothing: a failing control call adds no line and its
// platform::Error reaches the caller.
#pragma once

#include <string>
#include <string_view>

class QPlainTextEdit;

namespace sample_app {

class ControlHost;

class Transcript {
  public:
    explicit Transcript(QPlainTextEdit& view);

    void appendSendLine(std::u16string_view data);
    void appendReceiveLine(std::u16string_view data);

    const std::u16string& text() const { return m_text; }

  private:
    void appendLine(std::u16string_view prefix, std::u16string_view data);

    QPlainTextEdit& m_view;
    std::u16string m_text;
};

// Sends `text` through the control's Output, then adds its send line.
void SendText(ControlHost& portula, Transcript& transcript, std::u16string_view text);
// Reads the control's Input2 once, as text, then adds the receive line.
void ReceiveText(ControlHost& portula, Transcript& transcript);

}  // namespace sample_app

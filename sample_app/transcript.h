// The transcript box `Text1`: one line for every frame sent and every batch of data read.
//
// A line is a prefix ("送:" or "受:"), the data with control characters rendered as
// mnemonics (text_render::RenderControlChars) and CR LF, in the order the lines were added.
// `text()` is the exact text, CR LF included. The view is read-only: the transcript is a
// record of the exchange, not something to edit.
//
// Lines are put into the view in batches: a line added while the event loop is busy waits
// with the others of its pass, and the next pass of the loop puts them all in at once, with
// one layout and one scroll to the end, the caret at the end. A peer that floods the
// window so costs one view update per pass instead of one per line. The view holds the
// only copy of the shown text; the lines waiting for it are the only other text kept.
//
// Scrollback: the view keeps the newest `scrollbackLines` lines (kScrollbackLines unless
// told otherwise) and drops the oldest beyond them, as a terminal does, so a peer that
// never stops cannot exhaust the memory.
//
// SendText and ReceiveText catch nothing: a failing control call adds no line and its
// platform::Error reaches the caller.
#pragma once

#include <QObject>
#include <QString>

#include <string>
#include <string_view>

class QPlainTextEdit;

namespace sample_app {

class ControlHost;

// Lines the transcript keeps: about 5 MB of text for the sample's frames, and a view that
// stays quick to scroll.
inline constexpr int kScrollbackLines = 100'000;

class Transcript {
  public:
    explicit Transcript(QPlainTextEdit& view, int scrollbackLines = kScrollbackLines);
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    void appendSendLine(std::u16string_view data);
    void appendReceiveLine(std::u16string_view data);

    // The lines in the view followed by those waiting for the next pass.
    std::u16string text() const;
    int scrollbackLines() const { return m_scrollbackLines; }

    // Puts the waiting lines into the view now (the next pass of the loop does it anyway).
    void flush();

  private:
    void appendLine(std::u16string_view prefix, std::u16string_view data);

    QPlainTextEdit& m_view;
    const int m_scrollbackLines;
    QString m_waiting;  // whole lines, each ended by '\n', the view's paragraph break
    int m_waitingLines = 0;
    // The flush is a posted event: Qt delivers it on the next pass of its loop, and never
    // puts it off for busy descriptors as it does timers. Its context goes with this object.
    QObject m_nextPass;
    bool m_flushPosted = false;
};

// Sends `text` through the control's Output, then adds its send line.
void SendText(ControlHost& portula, Transcript& transcript, std::u16string_view text);
// Reads the control's Input2 once, as text, then adds the receive line.
void ReceiveText(ControlHost& portula, Transcript& transcript);

}  // namespace sample_app

// The transcript box `Text1`: one line for every frame sent and every batch of data read.
//
// A line is a prefix ("送:" or "受:"), the data with control characters rendered as
// mnemonics (text_render::RenderControlChars) and CR LF, in the order the lines were added.
// `text()` is the exact text, CR LF included. The view is read-only: the transcript is a
// record of the exchange, not something to edit.
//
// Lines are put into the view in batches: a line added while the event loop is busy waits
// with the others of its pass, and the next pass of the loop puts them in, a few hundred at
// a time in one insertion each, with one scroll to the end, the caret at the end. A peer that
// floods the window so costs one view update per pass instead of one per line. A pass puts in
// what it can within kFlushBudget (kLinesPerPass at most) and leaves the rest, in order, to
// the next pass, so that no pass of the loop is long, however much came in. When more than
// kLinesBehind lines (or kCharsBehind characters) are left waiting, `farBehind()` tells the
// host to stop feeding it until it has caught up. The view holds the only copy of the shown
// text; the lines waiting for it are the only other text kept.
//
// Scrollback: the view keeps the newest lines up to two bounds, `scrollbackLines` lines
// (kScrollbackLines unless told otherwise) and `scrollbackChars` characters counted with a
// break per line (kScrollbackChars), and drops the oldest beyond them, as a terminal does;
// the lines waiting for the view are held to the same bounds (they may reach twice them
// before a cut, so that the cut is rare). A line shows at most kLineChars characters of
// rendered data: a longer one shows the start that fits, never half a mnemonic, and ends
// with a note of how many characters of data it had and how many it shows: 65,507 NULs
// show as "受:", 800 times "<NUL>" and
// "…（全 65507 文字中、先頭 800 文字を表示）".
// Its data is rendered only as far as it is shown. So a peer that never stops, or sends
// the largest datagrams, cannot exhaust the memory.
//
// SendText and ReceiveText catch nothing: a failing control call adds no line and its
// platform::Error reaches the caller.
#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <string>
#include <string_view>

class QPlainTextEdit;

namespace sample_app {

class ControlHost;

// Lines the transcript keeps: about 5 MB of text for the sample's frames, and a view that
// stays quick to scroll.
inline constexpr int kScrollbackLines = 100'000;
// Characters the transcript keeps, each line with its break: 8 Mi, 16 MiB of UTF-16 text.
// 100,000 lines of up to 80 characters fit, so for the sample's frames and text of a
// terminal's width the line bound is the one reached; lines cut at kLineChars keep about
// 2,000.
inline constexpr qsizetype kScrollbackChars = qsizetype{8} * 1024 * 1024;
// Characters of rendered data a line shows at most: a screen's width many times over, so
// any line a person reads stays whole (a 65,507-byte datagram of NULs renders as 327,535).
inline constexpr qsizetype kLineChars = 4'000;
// Room for waiting lines the transcript keeps between passes; a larger batch's is freed.
inline constexpr qsizetype kWaitingRoomKept = qsizetype{64} * 1024;
// How long one pass of the loop goes on putting waiting lines into the view, how many lines
// it puts in at most, and how many go in one insertion (one layout of the change) at most.
inline constexpr std::chrono::milliseconds kFlushBudget{4};
inline constexpr int kLinesPerPass = 2048;
inline constexpr int kLinesPerInsertion = 256;
// Waiting lines past which the transcript is far behind: about 0.15 s of a flood of the
// sample's frames at 50,000 a second, or 2 MiB of text.
inline constexpr int kLinesBehind = 8192;
inline constexpr qsizetype kCharsBehind = qsizetype{1024} * 1024;

class Transcript {
  public:
    // `scrollbackChars` is at least twice kLineChars, so that the newest line always fits.
    explicit Transcript(QPlainTextEdit& view, int scrollbackLines = kScrollbackLines,
                        qsizetype scrollbackChars = kScrollbackChars);
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    void appendSendLine(std::u16string_view data);
    void appendReceiveLine(std::u16string_view data);

    // The lines in the view followed by those waiting for the next pass.
    std::u16string text() const;
    int scrollbackLines() const { return m_scrollbackLines; }
    qsizetype scrollbackChars() const { return m_scrollbackChars; }
    // The characters of text held: the view's lines with their breaks and the room of the
    // waiting lines. After a pass at most scrollbackChars() + kWaitingRoomKept.
    qsizetype heldCharacters() const;

    // Puts the waiting lines into the view now (the next passes of the loop do it anyway).
    void flush();
    // More lines wait than kLinesBehind (or more text than kCharsBehind): a host that can
    // hold back what it adds (the window's platform loop) waits until this is false.
    bool farBehind() const {
        return m_waitingLines > kLinesBehind || m_waiting.size() > kCharsBehind;
    }

  private:
    // The posted pass: lines go in until kFlushBudget has passed or kLinesPerPass are in,
    // the rest in the next pass.
    void flushPass();
    void postFlush();
    // Puts the oldest `lines` waiting lines (all, if fewer wait) into the view in one
    // insertion.
    void insertOldestWaiting(int lines);
    void scrollToEnd();

    void appendLine(std::u16string_view prefix, std::u16string_view data);
    // Drops the oldest waiting lines until at most `lines` lines and `chars` characters wait.
    void dropOldestWaiting(int lines, qsizetype chars);
    // Drops the view's oldest lines until `incoming` more characters fit in the scrollback,
    // or all of them once waiting lines were dropped.
    void makeRoomInView(qsizetype incoming);

    QPlainTextEdit& m_view;
    const int m_scrollbackLines;
    const qsizetype m_scrollbackChars;
    QString m_waiting;             // whole lines, each ended by '\n', the view's paragraph break
    qsizetype m_waitingStart = 0;  // where the lines not yet in the view start, within a pass
    int m_waitingLines = 0;
    bool m_viewLinesDropped = false;  // waiting lines were dropped, so the view's must go
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

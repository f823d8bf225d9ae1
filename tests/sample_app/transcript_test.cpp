// The transcript: exact CR LF text, one paragraph per line in the view with the caret at
// the end, and SendText/ReceiveText adding a line only after the control call succeeded.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "portula/portula_ids.h"
#include "sample_app/support/qt_test_application.h"
#include "sample_app/support/recording_control_host.h"
#include "transcript.h"

namespace sample_app {
namespace {

namespace dispid = port_control::ids::dispid;
using platform::Variant;
using namespace sample_app::test_support;

class TranscriptTest : public ::testing::Test {
  protected:
    QStringList viewLines() const {
        QStringList lines;
        for (QTextBlock block = m_view.document()->begin(); block.isValid(); block = block.next())
            lines << block.text();
        return lines;
    }

    QApplication& m_application = testApplication();  // before any widget
    QPlainTextEdit m_view;
    Transcript m_transcript{m_view};
    RecordingControlHost m_control;
};

TEST_F(TranscriptTest, LinesArePrefixRenderedDataAndCrLf) {
    m_transcript.appendSendLine(
        u"\x01\x02\x1F"
        u"1\x03\x04\uF8F3");
    m_transcript.appendReceiveLine(u"ABC\r\n");
    m_transcript.appendReceiveLine(u"");
    m_transcript.appendSendLine(u"送:\t");  // data that looks like a prefix is still rendered

    EXPECT_EQ(m_transcript.text(),
              u"送:<SOH><STX><1F>1<ETX><EOT><FF>\r\n"
              u"受:ABC<CR><LF>\r\n"
              u"受:\r\n"
              u"送:<97>:<09>\r\n");
    QCoreApplication::processEvents();  // the view takes the lines on the next pass
    EXPECT_EQ(viewLines(), QStringList({"送:<SOH><STX><1F>1<ETX><EOT><FF>", "受:ABC<CR><LF>",
                                        "受:", "送:<97>:<09>", ""}));
}

TEST_F(TranscriptTest, CaretFollowsTheNewestLine) {
    m_view.resize(200, 60);
    m_view.show();
    for (int i = 0; i < 50; ++i) {
        m_transcript.appendReceiveLine(u"line");
        QCoreApplication::processEvents();
    }
    const QTextCursor caret = m_view.textCursor();
    EXPECT_TRUE(caret.atEnd());
    EXPECT_EQ(caret.position(), m_view.document()->characterCount() - 1);
    EXPECT_TRUE(m_view.viewport()->rect().contains(m_view.cursorRect()))
        << "the caret, just below the newest line, is in view";
    EXPECT_GT(m_view.verticalScrollBar()->value(), 40);
}

TEST_F(TranscriptTest, ViewIsReadOnlyAndKeepsLongLinesWhole) {
    EXPECT_TRUE(m_view.isReadOnly());
    m_transcript.appendReceiveLine(std::u16string(500, u'x'));
    QCoreApplication::processEvents();
    EXPECT_EQ(m_view.document()->begin().layout()->lineCount(), 1);
}

TEST_F(TranscriptTest, SendTextSendsThenAddsTheLine) {
    SendText(m_control, m_transcript, u"hello\r");
    ASSERT_EQ(m_control.puts.size(), 1u);
    EXPECT_EQ(m_control.puts[0].dispid, dispid::Output);
    EXPECT_EQ(m_control.puts[0].value, Variant::fromString(u"hello\r"));
    EXPECT_EQ(m_transcript.text(), u"送:hello<CR>\r\n");
}

TEST_F(TranscriptTest, FailedSendAddsNoLineAndPassesTheError) {
    m_control.putRule = [](int32_t, const Variant&) {
        throw platform::Error(8018, u"ポートが開いていません。");
    };
    try {
        SendText(m_control, m_transcript, u"x");
        ADD_FAILURE() << "no error";
    } catch (const platform::Error& error) {
        EXPECT_EQ(error.number(), 8018);
    }
    EXPECT_TRUE(m_transcript.text().empty());
    EXPECT_EQ(viewLines(), QStringList({""}));
}

TEST_F(TranscriptTest, ReceiveTextReadsInput2OnceAsText) {
    m_control.getRule = [](int32_t) { return Variant::fromBytes({'O', 'K', 0x0D, 0xFF}); };
    ReceiveText(m_control, m_transcript);
    EXPECT_THAT(m_control.gets, ::testing::ElementsAre(dispid::Input2));
    EXPECT_EQ(m_transcript.text(), u"受:OK<CR><FF>\r\n");
}

TEST_F(TranscriptTest, FailedReceiveAddsNoLine) {
    m_control.getRule = [](int32_t) -> Variant { throw platform::Error(8020); };
    EXPECT_THROW(ReceiveText(m_control, m_transcript), platform::Error);
    EXPECT_TRUE(m_transcript.text().empty());
}

// Lines added while the loop is busy reach the view together on its next pass; a send
// line between two receive lines stays between them, across batch boundaries too.
TEST_F(TranscriptTest, OrderAndPrefixesHoldAcrossBatches) {
    std::u16string input;
    m_control.getRule = [&](int32_t) { return Variant::fromString(std::exchange(input, u"")); };
    const auto receive = [&](std::u16string data) {
        input = std::move(data);
        ReceiveText(m_control, m_transcript);
    };
    receive(u"r1");
    QCoreApplication::processEvents();  // first batch: r1
    receive(u"r2\n");
    SendText(m_control, m_transcript, u"s1");
    receive(u"r3");
    const std::u16string expected = u"受:r1\r\n受:r2<LF>\r\n送:s1\r\n受:r3\r\n";
    EXPECT_EQ(m_transcript.text(), expected) << "the second batch, still waiting";
    EXPECT_EQ(viewLines(), QStringList({"受:r1", ""}));
    QCoreApplication::processEvents();
    EXPECT_EQ(viewLines(), QStringList({"受:r1", "受:r2<LF>", "送:s1", "受:r3", ""}));
    EXPECT_EQ(m_transcript.text(), expected);
    EXPECT_TRUE(m_view.textCursor().atEnd());
}

// The view keeps the newest lines up to the limit; however the lines come in batches,
// exactly the oldest ones go.
TEST_F(TranscriptTest, ScrollbackLimitDropsExactlyTheOldestLines) {
    constexpr int kLimit = 5;
    const std::vector<std::vector<int>> batchSizes = {{3, 6}, {5, 1}, {13}, {4, 1, 1, 4}, {2}};
    for (const auto& batches : batchSizes) {
        QPlainTextEdit view;
        Transcript transcript(view, kLimit);
        int added = 0;
        for (const int size : batches) {
            for (int i = 0; i < size; ++i)
                transcript.appendReceiveLine(u"L" + std::u16string(1, u'a' + added++));
            QCoreApplication::processEvents();
        }
        std::u16string expectedText;
        QStringList expectedLines;
        for (int line = std::max(0, added - kLimit); line < added; ++line) {
            expectedText += u"受:L" + std::u16string(1, u'a' + line) + u"\r\n";
            expectedLines << QString::fromStdU16String(u"受:L" + std::u16string(1, u'a' + line));
        }
        expectedLines << "";
        QStringList lines;
        for (QTextBlock block = view.document()->begin(); block.isValid(); block = block.next())
            lines << block.text();
        EXPECT_EQ(transcript.text(), expectedText) << ::testing::PrintToString(batches);
        EXPECT_EQ(lines, expectedLines) << ::testing::PrintToString(batches);
    }
}

std::u16string nuls(size_t count) {
    return std::u16string(count, u'\0');
}

std::u16string shownNuls(size_t count) {
    std::u16string shown;
    for (size_t i = 0; i < count; ++i)
        shown += u"<NUL>";
    return shown;
}

// The note that ends a cut line.
std::u16string cutNote(size_t dataChars, size_t shownChars) {
    const auto digits = [](size_t n) {
        const std::string ascii = std::to_string(n);
        return std::u16string(ascii.begin(), ascii.end());
    };
    return u"…（全 " + digits(dataChars) + u" 文字中、先頭 " + digits(shownChars) +
           u" 文字を表示）";
}

// "12 40 4045": the lengths of the lines of a transcript's text, for a short message.
std::string lineLengths(std::u16string_view text) {
    std::string lengths;
    for (size_t start = 0, end; (end = text.find(u"\r\n", start)) != text.npos; start = end + 2)
        lengths += (lengths.empty() ? "" : " ") + std::to_string(end - start);
    return lengths;
}

// A line shows at most kLineChars characters of rendered data: up to the bound it is whole;
// beyond it, the start that fits, never half a mnemonic or half a surrogate pair, and a
// note of the data's characters and those shown.
TEST_F(TranscriptTest, LongLinesAreCutAtTheLineBoundAndSaySo) {
    const size_t bound = kLineChars;
    const size_t nulsThatFit = bound / 5;  // "<NUL>"
    const std::u16string xs(bound - 1, u'x');
    const std::vector<std::pair<std::u16string, std::u16string>> cases = {
        {nuls(nulsThatFit - 1), shownNuls(nulsThatFit - 1)},
        {nuls(nulsThatFit), shownNuls(nulsThatFit)},
        {nuls(nulsThatFit + 1), shownNuls(nulsThatFit) + cutNote(nulsThatFit + 1, nulsThatFit)},
        {u"x" + nuls(nulsThatFit),
         u"x" + shownNuls(nulsThatFit - 1) + cutNote(nulsThatFit + 1, nulsThatFit)},
        {xs + u"x", xs + u"x"},
        {xs + u"xy", xs + u"x" + cutNote(bound + 1, bound)},
        {xs + u"\U0001F600", xs + cutNote(bound + 1, bound - 1)},
        {nuls(65'507), shownNuls(nulsThatFit) + cutNote(65'507, nulsThatFit)},
    };
    std::u16string expected;
    for (const auto& [data, shown] : cases) {
        m_transcript.appendReceiveLine(data);
        expected += u"受:" + shown + u"\r\n";
    }
    EXPECT_EQ(m_transcript.text(), expected);
    QCoreApplication::processEvents();
    EXPECT_EQ(m_transcript.text(), expected);
}

// Long lines: the view keeps the newest lines that fit in the character bound, each whole,
// however they come in batches (a batch beyond twice the bound included); exactly the
// oldest go, and what the transcript holds stays within the bound.
TEST_F(TranscriptTest, CharacterBoundDropsExactlyTheOldestLines) {
    constexpr qsizetype kChars = 3 * kLineChars;
    const std::vector<std::vector<int>> batchSizes = {
        {1, 1, 1, 1, 1, 1, 1}, {3, 6}, {17}, {2, 1, 9}, {40}};
    // Lines of many lengths, every fifth one of the largest datagram and so cut.
    const auto data = [](int n) {
        return n % 5 == 4
                   ? nuls(65'507)
                   : std::u16string(100 + (n * 997) % (kLineChars - 100), char16_t(u'a' + n));
    };
    const auto line = [&](int n) {
        return u"受:" +
               (n % 5 == 4 ? shownNuls(kLineChars / 5) + cutNote(65'507, kLineChars / 5)
                           : data(n)) +
               u"\r\n";
    };
    for (const auto& batches : batchSizes) {
        QPlainTextEdit view;
        Transcript transcript(view, kScrollbackLines, kChars);
        int added = 0;
        for (const int size : batches) {
            for (int i = 0; i < size; ++i)
                transcript.appendReceiveLine(data(added++));
            EXPECT_LE(transcript.text().size(), 4 * kChars) << "waiting: at most twice the bound";
            QCoreApplication::processEvents();
            EXPECT_LE(transcript.heldCharacters(), kChars + kWaitingRoomKept);
        }
        std::u16string expected;
        qsizetype chars = 0;  // each line with one break
        for (int n = added - 1; n >= 0; --n) {
            chars += static_cast<qsizetype>(line(n).size()) - 1;
            if (chars > kChars)
                break;
            expected = line(n) + expected;
        }
        const std::u16string text = transcript.text();
        EXPECT_TRUE(text == expected)
            << ::testing::PrintToString(batches) << ": " << lineLengths(text) << " instead of "
            << lineLengths(expected);
    }
}

// The largest datagrams, 65,507 NULs, each 327,535 characters rendered: a hundred of them
// hold a hundred lines of the line bound's size, whether waiting or in the view.
TEST_F(TranscriptTest, LargestDatagramsHoldNoMoreThanTheLineBound) {
    const std::u16string datagram = nuls(65'507);
    constexpr qsizetype kLines = 100;
    const qsizetype bound = kLines * (kLineChars + 64);  // prefix, note and break
    for (qsizetype i = 0; i < kLines; ++i)
        m_transcript.appendReceiveLine(datagram);
    EXPECT_LE(m_transcript.heldCharacters(), 2 * bound) << "waiting, with its room to grow";
    QCoreApplication::processEvents();
    EXPECT_LE(m_transcript.heldCharacters(), bound);
    EXPECT_EQ(viewLines().size(), kLines + 1);
}

// A flood that stops in the middle of a batch: the lines of the batch still reach the view
// on the next pass, with nothing more arriving, each of them whole; before that the view
// shows only whole lines.
TEST_F(TranscriptTest, FloodCutOffMidBatchLeavesNoHalfWrittenLine) {
    constexpr int kLines = 1000;
    const auto line = [](int n) { return u"\x01" + std::u16string(n % 37, u'x') + u"\r"; };
    for (int n = 0; n < kLines; ++n) {
        m_transcript.appendReceiveLine(line(n));
        if (n % 97 == 0)
            QCoreApplication::processEvents();
    }
    const QStringList before = viewLines();
    ASSERT_LT(before.size() - 1, kLines) << "the last batch is still waiting";
    EXPECT_EQ(before.back(), "") << "the view ends after a whole line";

    QCoreApplication::processEvents();  // the flood has stopped: nothing else comes
    const QStringList lines = viewLines();
    ASSERT_EQ(lines.size(), kLines + 1);
    for (int n = 0; n < kLines; ++n) {
        const std::u16string rendered = u"受:<SOH>" + std::u16string(n % 37, u'x') + u"<CR>";
        ASSERT_EQ(lines[n].toStdU16String(), rendered) << "line " << n;
    }
    EXPECT_EQ(lines.back(), "");
    EXPECT_TRUE(m_view.textCursor().atEnd());
}

// A flood of more lines than one pass of the loop puts in goes in over several passes,
// whole, in order and none twice, and the transcript says when it is far behind.
TEST_F(TranscriptTest, MoreLinesThanAPassTakesGoInOverPassesWholeAndInOrder) {
    constexpr int kLines = kLinesBehind + 2 * kLinesPerPass + 7;
    std::u16string expected;
    for (int n = 0; n < kLines; ++n) {
        const std::u16string data = QString::number(n).toStdU16String();
        m_transcript.appendReceiveLine(data);
        expected += u"受:" + data + u"\r\n";
    }
    EXPECT_TRUE(m_transcript.farBehind());
    int passes = 0;
    while (viewLines().size() < kLines + 1 && passes < kLines) {
        QCoreApplication::processEvents();
        ++passes;
        ASSERT_EQ(m_transcript.text(), expected) << "after pass " << passes;
    }
    EXPECT_GE(passes, 6);
    EXPECT_FALSE(m_transcript.farBehind());
    EXPECT_EQ(viewLines().size(), kLines + 1);
    EXPECT_TRUE(m_view.textCursor().atEnd());
}

}  // namespace
}  // namespace sample_app

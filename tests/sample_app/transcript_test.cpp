// The transcript: exact CR LF text, one paragraph per line in the view with the caret at
// the end, and SendText/ReceiveText adding a line only after the control call succeeded.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

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

}  // namespace
}  // namespace sample_app

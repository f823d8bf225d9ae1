// The transcript: exact CR LF text, one paragraph per line in the view with the caret at
// the end, and SendText/ReceiveText adding a line only after the control call succeeded.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

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

}  // namespace
}  // namespace sample_app

// Form1 against a recording stand-in for its control: what it writes to the control and
// in which order, how it reacts to failures, what it restores from and saves to its
// settings file, and how it is laid out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>

#include <algorithm>
#include <climits>
#include <fstream>
#include <memory>
#include <sstream>

#include "form1.h"
#include "platform/codepage932.h"
#include "platform/error.h"
#include "portula/portula_ids.h"
#include "sample_app/support/qt_test_application.h"
#include "sample_app/support/recording_control_host.h"
#include "sample_app/support/recording_presenter.h"
#include "sample_app/support/scratch_folder.h"

namespace sample_app {
namespace {

namespace dispid = port_control::ids::dispid;
using platform::Variant;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using namespace sample_app::test_support;

PropertyPut put(int32_t id, Variant value) {
    return {id, std::move(value)};
}
Variant boolean(bool value) {
    return Variant::fromBoolean(platform::toBooleanValue(value));
}
Variant text(const char16_t* value) {
    return Variant::fromString(value);
}

// The nine writes of one apply configuration.
std::vector<PropertyPut> applyWrites(int32_t localPort, int32_t remotePort,
                                     const char16_t* remoteHost, int16_t commPort, bool udp) {
    return {put(dispid::PortOpen, boolean(false)),
            put(dispid::LocalPort, Variant::fromLong(localPort)),
            put(dispid::RemotePort, Variant::fromLong(remotePort)),
            put(dispid::RemoteHost, text(remoteHost)),
            put(dispid::CommPort, Variant::fromInteger(commPort)),
            put(dispid::Settings, text(u"38400,n,8,1")),
            put(dispid::RThreshold, Variant::fromInteger(1)),
            put(dispid::UDPUse, boolean(udp)),
            put(dispid::PortOpen, boolean(true))};
}

class Form1Test : public ::testing::Test {
  protected:
    void SetUp() override { testApplication(); }

    // Creates the window over a fresh stand-in; `ini` (if any) is the settings file's text.
    Form1& createForm(const std::string& ini = {}) {
        if (!ini.empty())
            std::ofstream(m_iniPath, std::ios::binary) << ini;
        auto host = std::make_unique<RecordingControlHost>();
        m_control = host.get();
        m_form =
            std::make_unique<Form1>(std::move(host), m_presenter, [this] { return m_iniPath; });
        return *m_form;
    }
    Form1& loadForm(const std::string& ini = {}) {
        Form1& form = createForm(ini);
        form.load();
        return form;
    }

    template <class T>
    T* child(const char* name) {
        T* widget = m_form->findChild<T*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    std::string iniText() const {
        std::ifstream in(m_iniPath, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }
    int pixelsX(int twips) const {
        return qRound(twips * m_form->screen()->logicalDotsPerInchX() / 1440.0);
    }
    int pixelsY(int twips) const {
        return qRound(twips * m_form->screen()->logicalDotsPerInchY() / 1440.0);
    }
    // Clicks as a user makes them (the button's own click path, check box cycling included).
    void pressSend() { child<QPushButton>("Command1")->click(); }
    void clickUdp() { child<QCheckBox>("chkUDP")->click(); }

    ScratchFolder m_folder;
    std::filesystem::path m_iniPath = m_folder.path() / "Sampleton.ini";
    RecordingPresenter m_presenter;
    RecordingControlHost* m_control = nullptr;
    std::unique_ptr<Form1> m_form;
};

TEST_F(Form1Test, FirstStartWithoutSettingsOpensUdpWithDefaults) {
    Form1& form = loadForm();

    EXPECT_THAT(m_control->puts,
                ElementsAreArray(applyWrites(10001, 10002, u"127.0.0.1", 1, /*udp=*/true)));
    EXPECT_THAT(m_presenter.messages, IsEmpty());
    EXPECT_TRUE(form.isLoaded());
    EXPECT_EQ(form.pos(), QPoint(0, 0));
    EXPECT_EQ(child<QLineEdit>("txtLocalPort")->text(), "10001");
    EXPECT_EQ(child<QLineEdit>("txtRemotePort")->text(), "10002");
    EXPECT_EQ(child<QLineEdit>("txtRemoteHost")->text(), "127.0.0.1");
    EXPECT_EQ(child<QLineEdit>("txtLocalComm")->text(), "1");
    EXPECT_EQ(form.udpValue(), 1);
    EXPECT_FALSE(std::filesystem::exists(m_iniPath)) << "only closing writes the file";
}

TEST_F(Form1Test, ApplyUsesFieldTextsWithBasicConversions) {
    loadForm(
        "[UDP]\r\nLocalPort= 20003.5 \r\nRemotePort=&H4E21\r\nRemoteHost=peer.example\r\n"
        "UDPUse=0\r\n[COM]\r\nLocalComm=2.5\r\n");

    // 20003.5 and 2.5 round to even; the host name passes unchanged; 0 selects serial.
    EXPECT_THAT(m_control->puts,
                ElementsAreArray(applyWrites(20004, 0x4E21, u"peer.example", 2, /*udp=*/false)));
    EXPECT_THAT(m_presenter.messages, IsEmpty());
}

TEST_F(Form1Test, UdpUseFromTheSettingsFileSetsTheCheckBoxAndTransport) {
    struct Row {
        const char* stored;
        int boxValue;
        Qt::CheckState state;
    };
    for (const Row row : {Row{"0", 0, Qt::Unchecked}, Row{"2", 2, Qt::PartiallyChecked},
                          Row{"1.5", 2, Qt::PartiallyChecked}, Row{"0.5", 0, Qt::Unchecked},
                          Row{"1", 1, Qt::Checked}, Row{" 1abc", 1, Qt::Checked}}) {
        SCOPED_TRACE(row.stored);
        Form1& form = loadForm(std::string("[UDP]\r\nUDPUse=") + row.stored + "\r\n");
        EXPECT_EQ(form.udpValue(), row.boxValue);
        EXPECT_EQ(child<QCheckBox>("chkUDP")->checkState(), row.state);
        EXPECT_THAT(m_control->puts,
                    ElementsAreArray(applyWrites(10001, 10002, u"127.0.0.1", 1, row.boxValue == 1)))
            << "configured and opened exactly once, after every field was restored";
    }
}

TEST_F(Form1Test, InvalidUdpUseLeavesTheWindowUnloadedForGood) {
    Form1& form = loadForm("[UDP]\r\nUDPUse=7\r\n");

    EXPECT_THAT(m_presenter.messages,
                ElementsAre(QString::fromStdU16String(platform::standardDescription(380))));
    EXPECT_FALSE(form.isLoaded());
    EXPECT_THAT(m_control->puts, IsEmpty()) << "the port is never configured";
    EXPECT_EQ(form.udpValue(), 1) << "the box keeps its initial value";

    clickUdp();
    clickUdp();
    EXPECT_EQ(form.udpValue(), 1) << "the clicks did change the box";
    EXPECT_THAT(m_control->puts, IsEmpty()) << "but toggling does nothing";
    EXPECT_EQ(m_presenter.messages.size(), 1);
}

TEST_F(Form1Test, CheckBoxRefusesValuesOutsideItsThreeStates) {
    Form1& form = loadForm();
    for (const int value : {-1, 3, 7}) {
        try {
            form.setUdpValue(value);
            ADD_FAILURE() << value << " was accepted";
        } catch (const platform::Error& error) {
            EXPECT_EQ(error.number(), 380);
        }
    }
    EXPECT_EQ(form.udpValue(), 1);
    EXPECT_EQ(m_control->puts.size(), 9u) << "a refused value runs no apply configuration";
}

TEST_F(Form1Test, EveryChangeOfTheCheckBoxReappliesWithTheFieldsAsTheyStand) {
    Form1& form = loadForm();
    m_control->puts.clear();

    child<QLineEdit>("txtLocalPort")->setText("30001");
    clickUdp();  // a user's click: checked -> unchecked
    EXPECT_EQ(form.udpValue(), 0);
    EXPECT_THAT(m_control->puts,
                ElementsAreArray(applyWrites(30001, 10002, u"127.0.0.1", 1, /*udp=*/false)));

    m_control->puts.clear();
    form.setUdpValue(2);  // the program's change counts as a click too
    EXPECT_THAT(m_control->puts,
                ElementsAreArray(applyWrites(30001, 10002, u"127.0.0.1", 1, /*udp=*/false)));

    m_control->puts.clear();
    clickUdp();  // a user's click never makes the box greyed: greyed -> checked
    EXPECT_EQ(form.udpValue(), 1);
    EXPECT_THAT(m_control->puts,
                ElementsAreArray(applyWrites(30001, 10002, u"127.0.0.1", 1, /*udp=*/true)));

    m_control->puts.clear();
    form.setUdpValue(1);  // no change, no click
    EXPECT_THAT(m_control->puts, IsEmpty());
    EXPECT_THAT(m_presenter.messages, IsEmpty());
}

TEST_F(Form1Test, FailedOpenRevertsTheCheckBoxAndReopensThePreviousTransport) {
    Form1& form = loadForm();
    // The serial port cannot be opened; UDP can.
    bool udpSelected = true;
    m_control->putRule = [&](int32_t id, const Variant& value) {
        if (id == dispid::UDPUse)
            udpSelected = value.integerValue() != 0;
        if (id == dispid::PortOpen && value.integerValue() != 0 && !udpSelected)
            throw platform::Error(68, u"デバイスが見つかりません。");
    };
    m_control->puts.clear();

    clickUdp();

    EXPECT_THAT(m_presenter.messages, ElementsAre(QStringLiteral("デバイスが見つかりません。")));
    EXPECT_EQ(form.udpValue(), 1) << "the box is back at checked";
    std::vector<PropertyPut> expected = applyWrites(10001, 10002, u"127.0.0.1", 1, false);
    expected.pop_back();  // the open that failed
    const std::vector<PropertyPut> reopen = applyWrites(10001, 10002, u"127.0.0.1", 1, true);
    expected.insert(expected.end(), reopen.begin(), reopen.end());
    EXPECT_THAT(m_control->puts, ElementsAreArray(expected));
}

TEST_F(Form1Test, RevertOfAGreyedBoxChecksIt) {
    Form1& form = loadForm("[UDP]\r\nUDPUse=0\r\n");
    bool failNextOpen = true;
    m_control->putRule = [&](int32_t id, const Variant& value) {
        if (id == dispid::PortOpen && value.integerValue() != 0 &&
            std::exchange(failNextOpen, false))
            throw platform::Error(8010, u"ハードウェアを使用できません。");
    };
    m_control->puts.clear();

    form.setUdpValue(2);  // greyed: serial again, whose open now fails

    EXPECT_EQ(m_presenter.messages.size(), 1);
    EXPECT_EQ(form.udpValue(), 1) << "(2 + 1) mod 2: greyed becomes checked";
    ASSERT_EQ(m_control->puts.size(), 8u + 9u);
    EXPECT_EQ(m_control->puts[7], put(dispid::UDPUse, boolean(false)));
    EXPECT_EQ(m_control->puts[15], put(dispid::UDPUse, boolean(true)));
    EXPECT_EQ(m_control->puts.back(), put(dispid::PortOpen, boolean(true)));
}

TEST_F(Form1Test, FailureInBothTransportsEndsAfterTwoMessages) {
    // A port text that is no number fails both transports alike.
    Form1& form = loadForm("[UDP]\r\nLocalPort=abc\r\n");

    const QString typeMismatch = QString::fromStdU16String(platform::standardDescription(13));
    EXPECT_THAT(m_presenter.messages, ElementsAre(typeMismatch, typeMismatch));
    EXPECT_EQ(form.udpValue(), 0) << "flipped once, not back again";
    EXPECT_THAT(m_control->puts, ElementsAre(put(dispid::PortOpen, boolean(false)),
                                             put(dispid::PortOpen, boolean(false))));
    EXPECT_TRUE(form.isLoaded()) << "the load step itself went through";

    // Further clicks try again, each ending after its two messages.
    clickUdp();
    EXPECT_EQ(m_presenter.messages.size(), 4);
    EXPECT_EQ(form.udpValue(), 0);
}

TEST_F(Form1Test, OverflowingPortNumberIsReported) {
    loadForm("[COM]\r\nLocalComm=40000\r\n");
    ASSERT_FALSE(m_presenter.messages.isEmpty());
    EXPECT_EQ(m_presenter.messages.front(),
              QString::fromStdU16String(platform::standardDescription(6)));
}

TEST_F(Form1Test, SendStepSendsNumberedFramesAndAddsSendLines) {
    Form1& form = loadForm();
    m_control->puts.clear();

    pressSend();
    pressSend();
    pressSend();

    ASSERT_EQ(m_control->puts.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(m_control->puts[i].dispid, dispid::Output);
        const std::string wire = platform::cp932::encode(m_control->puts[i].value.stringValue());
        EXPECT_EQ(wire, std::string("\x01\x02\x1F") + std::to_string(i + 1) + "\x03\x04\xFF");
    }
    EXPECT_EQ(form.sendCount(), 3);
    EXPECT_EQ(form.transcript().text(),
              u"送:<SOH><STX><1F>1<ETX><EOT><FF>\r\n"
              u"送:<SOH><STX><1F>2<ETX><EOT><FF>\r\n"
              u"送:<SOH><STX><1F>3<ETX><EOT><FF>\r\n");
    EXPECT_THAT(m_presenter.messages, IsEmpty());
}

TEST_F(Form1Test, FailedSendIsReportedAndTheNextPressCarriesTheNextNumber) {
    Form1& form = loadForm();
    m_control->putRule = [](int32_t id, const Variant&) {
        if (id == dispid::Output)
            throw platform::Error(8018, u"ポートが開いていません。");
    };
    pressSend();
    EXPECT_THAT(m_presenter.messages, ElementsAre(QStringLiteral("ポートが開いていません。")));
    EXPECT_TRUE(form.transcript().text().empty()) << "no line for a failed send";

    m_control->putRule = {};
    m_control->puts.clear();
    pressSend();
    ASSERT_EQ(m_control->puts.size(), 1u);
    EXPECT_EQ(platform::cp932::encode(m_control->puts[0].value.stringValue()),
              "\x01\x02\x1F"
              "2\x03\x04\xFF");
}

TEST_F(Form1Test, CounterAtItsLimitOverflowsBeforeAnythingIsSent) {
    Form1& form = loadForm();
    m_control->puts.clear();
    form.setSendCount(INT_MAX - 1);

    pressSend();
    ASSERT_EQ(m_control->puts.size(), 1u);
    EXPECT_EQ(platform::cp932::encode(m_control->puts[0].value.stringValue()),
              "\x01\x02\x1F"
              "2147483647\x03\x04\xFF");

    pressSend();
    EXPECT_THAT(m_presenter.messages,
                ElementsAre(QString::fromStdU16String(platform::standardDescription(6))));
    EXPECT_EQ(m_control->puts.size(), 1u) << "nothing sent";
    EXPECT_EQ(form.sendCount(), INT_MAX) << "the counter keeps its value";
    EXPECT_EQ(std::count(form.transcript().text().begin(), form.transcript().text().end(), u'\n'),
              1);
}

TEST_F(Form1Test, ReceiveEventAddsOneLinePerEventAndOtherEventsNothing) {
    Form1& form = loadForm();
    int16_t event = 2;
    std::u16string input = u"ABC\r\n";
    m_control->getRule = [&](int32_t id) {
        if (id == dispid::CommEvent)
            return Variant::fromInteger(event);
        if (id == dispid::Input2)
            return Variant::fromString(std::exchange(input, u""));
        return Variant();
    };
    m_control->gets.clear();

    m_control->raiseOnComm();
    EXPECT_EQ(form.transcript().text(), u"受:ABC<CR><LF>\r\n");
    EXPECT_THAT(m_control->gets, ElementsAre(dispid::CommEvent, dispid::Input2));

    m_control->raiseOnComm();  // Input2 now empty
    EXPECT_EQ(form.transcript().text(), u"受:ABC<CR><LF>\r\n受:\r\n");

    for (const int16_t other : {int16_t(1), int16_t(3), int16_t(1001), int16_t(1010)}) {
        event = other;
        m_control->gets.clear();
        m_control->raiseOnComm();
        EXPECT_THAT(m_control->gets, ElementsAre(dispid::CommEvent)) << other;
    }
    EXPECT_EQ(form.transcript().text(), u"受:ABC<CR><LF>\r\n受:\r\n");
    EXPECT_THAT(m_presenter.messages, IsEmpty());
}

TEST_F(Form1Test, ReceivedDoubleByteTextShowsTrailByteTags) {
    Form1& form = loadForm();
    m_control->getRule = [](int32_t id) {
        if (id == dispid::CommEvent)
            return Variant::fromInteger(2);
        return Variant::fromBytes({0x82, 0xA0, 'A'});  // "あA" in code page 932
    };
    m_control->raiseOnComm();
    EXPECT_EQ(form.transcript().text(), u"受:<A0>A\r\n");
}

TEST_F(Form1Test, ErrorsInTheOnCommHandlerAreShownAndAddNothing) {
    Form1& form = loadForm();
    m_control->getRule = [](int32_t id) -> Variant {
        if (id == dispid::CommEvent)
            return Variant::fromInteger(2);
        throw platform::Error(8020, u"受信できませんでした。");
    };
    m_control->raiseOnComm();
    EXPECT_THAT(m_presenter.messages, ElementsAre(QStringLiteral("受信できませんでした。")));
    EXPECT_TRUE(form.transcript().text().empty());
}

TEST_F(Form1Test, ClosingWritesAllSevenKeysThenClosesThePort) {
    Form1& form = loadForm();
    m_control->puts.clear();
    child<QLineEdit>("txtRemoteHost")->setText("not applied");
    child<QLineEdit>("txtLocalComm")->setText("x");

    EXPECT_TRUE(form.close());

    EXPECT_EQ(
        iniText(),
        "[From]\r\nLeft=0\r\nTop=0\r\n"
        "[UDP]\r\nLocalPort=10001\r\nRemotePort=10002\r\nRemoteHost=not applied\r\nUDPUse=1\r\n"
        "[COM]\r\nLocalComm=x\r\n");
    EXPECT_THAT(m_control->puts, ElementsAre(put(dispid::PortOpen, boolean(false))));
    EXPECT_FALSE(form.unloadFailed());
    EXPECT_THAT(m_presenter.messages, IsEmpty());
}

TEST_F(Form1Test, ClosingAWindowThatNeverLoadedStillSavesEverything) {
    Form1& form = loadForm("[UDP]\r\nUDPUse=7\r\nLocalPort=1\r\n");
    form.setUdpValue(2);
    form.close();
    EXPECT_NE(iniText().find("UDPUse=2\r\n"), std::string::npos) << iniText();
    EXPECT_NE(iniText().find("LocalPort=1\r\n"), std::string::npos) << iniText();
}

TEST_F(Form1Test, UnloadErrorIsShownAndMarksTheProgramFailed) {
    Form1& form = loadForm();
    m_control->putRule = [](int32_t id, const Variant&) {
        if (id == dispid::PortOpen)
            throw platform::Error(8012, u"デバイスが開いていません。");
    };
    EXPECT_TRUE(form.close()) << "closing is never cancelled";
    EXPECT_TRUE(form.unloadFailed());
    EXPECT_THAT(m_presenter.messages, ElementsAre(QStringLiteral("デバイスが開いていません。")));
    EXPECT_NE(iniText().find("LocalComm=1"), std::string::npos) << "keys written before stay";
}

TEST_F(Form1Test, PositionIsRestoredAndSavedInTwipsEvenOffTheScreen) {
    Form1& form = loadForm("[From]\r\nLeft=-1200\r\nTop=-600\r\n");
    EXPECT_EQ(form.pos(), QPoint(pixelsX(-1200), pixelsY(-600)));
    form.show();
    ASSERT_TRUE(processEventsUntil([&] { return form.isVisible(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(form.pos(), QPoint(pixelsX(-1200), pixelsY(-600)));

    form.close();
    EXPECT_NE(iniText().find("[From]\r\nLeft=-1200\r\nTop=-600\r\n"), std::string::npos)
        << iniText();
}

TEST_F(Form1Test, PositionTakesTheLeadingNumberOfTheText) {
    Form1& form = loadForm("[From]\r\nLeft=1500abc\r\nTop=abc\r\n");
    EXPECT_EQ(form.pos(), QPoint(pixelsX(1500), 0));
    EXPECT_THAT(m_presenter.messages, IsEmpty());
}

TEST_F(Form1Test, WindowMatchesItsDescription) {
    Form1& form = createForm();
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Corvane サンプルAP"));
    EXPECT_EQ(form.size(), QSize(pixelsX(6615), pixelsY(2985)));
    EXPECT_EQ(form.minimumSize(), form.maximumSize()) << "fixed size";
    const QSize iconSize = form.windowIcon().availableSizes().value(0);
    EXPECT_EQ(iconSize, QSize(32, 32));

    struct Control {
        const char* name;
        int left, top, width, height;
        QString caption;
    };
    const Control controls[] = {
        {"Text1", 120, 120, 6375, 1695, ""},
        {"Label4", 120, 1920, 1335, 255, "ローカルＣＯＭ"},
        {"Label1", 1560, 1920, 1335, 255, "ローカルポート"},
        {"Label2", 3000, 1920, 1335, 255, "リモートポート"},
        {"Label3", 4440, 1920, 1335, 255, "リモートホスト"},
        {"txtLocalComm", 120, 2160, 1335, 375, "1"},
        {"txtLocalPort", 1560, 2160, 1335, 375, "10001"},
        {"txtRemotePort", 3000, 2160, 1335, 375, "10002"},
        {"txtRemoteHost", 4440, 2160, 1335, 375, "127.0.0.1"},
        {"Command1", 5880, 2160, 615, 375, "送信"},
        {"chkUDP", 1560, 2640, 2055, 255, "ＵＤＰ／ＩＰを使用する"},
    };
    for (const Control& control : controls) {
        SCOPED_TRACE(control.name);
        QWidget* widget = child<QWidget>(control.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->geometry(), QRect(pixelsX(control.left), pixelsY(control.top),
                                            pixelsX(control.width), pixelsY(control.height)));
        QString caption;
        if (auto* label = qobject_cast<QLabel*>(widget))
            caption = label->text();
        else if (auto* field = qobject_cast<QLineEdit*>(widget))
            caption = field->text();
        else if (auto* button = qobject_cast<QAbstractButton*>(widget))
            caption = button->text();
        else
            caption = static_cast<QPlainTextEdit*>(widget)->toPlainText();
        EXPECT_EQ(caption, control.caption);
    }
    auto* text1 = child<QPlainTextEdit>("Text1");
    EXPECT_EQ(text1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(text1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_TRUE(child<QCheckBox>("chkUDP")->isChecked());

    // Tab order among the controls that take the focus.
    QStringList order;
    QWidget* widget = text1;
    do {
        if (widget->focusPolicy() & Qt::TabFocus && !widget->objectName().isEmpty())
            order << widget->objectName();
        widget = widget->nextInFocusChain();
    } while (widget != text1 && order.size() < 20);
    EXPECT_EQ(order, QStringList({"Text1", "Command1", "txtRemoteHost", "txtRemotePort",
                                  "txtLocalPort", "txtLocalComm", "chkUDP"}));
}

}  // namespace
}  // namespace sample_app

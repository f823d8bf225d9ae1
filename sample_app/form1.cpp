#include "form1.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "control_host.h"
#include "icon/sampleton_icon.xpm"
#include "platform/codepage932.h"
#include "platform/error.h"
#include "platform/variant.h"
#include "portula/portula_ids.h"
#include "settings_file.h"

namespace sample_app {
namespace {

namespace dispid = port_control::ids::dispid;

constexpr double kTwipsPerInch = 1440.0;
constexpr int kClientWidthTwips = 6615;
constexpr int kClientHeightTwips = 2985;
constexpr auto kSerialSettings = u"38400,n,8,1";

// A check box whose user click never produces the greyed state: checked becomes
// unchecked, unchecked and greyed become checked. Only the program sets it greyed.
class ThreeStateCheckBox final : public QCheckBox {
  public:
    using QCheckBox::QCheckBox;

  protected:
    void nextCheckState() override {
        setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
    }
};

QString qText(std::u16string_view text) {
    return QString::fromStdU16String(std::u16string(text));
}

std::u16string fieldText(const QLineEdit* field) {
    return field->text().toStdU16String();
}

platform::Variant textVariant(std::u16string text) {
    return platform::Variant::fromString(std::move(text));
}

// The exception being handled as the platform's error: every message the window shows
// carries a platform number and its Japanese text, never a library's English what().
platform::Error currentError() {
    try {
        throw;
    } catch (const platform::Error& error) {
        return error;
    } catch (const std::bad_alloc&) {
        return platform::Error(platform::errors::kOutOfMemory);
    } catch (const std::length_error&) {
        return platform::Error(platform::errors::kOutOfMemory);  // a size beyond memory
    } catch (const std::overflow_error&) {
        return platform::Error(platform::errors::kOverflow);
    } catch (...) {
        return platform::Error(platform::errors::kAutomationError);
    }
}

}  // namespace

void MessageBoxPresenter::showError(const QString& description) {
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), description,
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

std::u16string testFrame(int32_t count) {
    std::string bytes = {'\x01', '\x02', '\x1F'};
    bytes += std::to_string(count);
    bytes += {'\x03', '\x04', '\xFF'};
    return platform::cp932::decode(bytes);
}

Form1::Form1(std::unique_ptr<ControlHost> portula, MessagePresenter& messages,
             SettingsPathFunction settingsPath, QWidget* parent)
    : QWidget(parent),
      m_portula(std::move(portula)),
      m_messages(messages),
      m_settingsPath(settingsPath ? std::move(settingsPath) : [] {
          return usableSettingsFilePath(currentExecutablePath());
      }) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Corvane サンプルAP"));
    setWindowIcon(QPixmap(sampleton_icon_xpm));
    // The window is drawn in twips; a Japanese UI face at the classic 9 points keeps the
    // captions inside their boxes.
    QFont face(
        QStringList{QStringLiteral("Noto Sans CJK JP"), QStringLiteral("Droid Sans Fallback")}, 9);
    setFont(face);
    buildControls();
    setFixedSize(twipsToPixelsX(kClientWidthTwips), twipsToPixelsY(kClientHeightTwips));
    m_portula->setOnCommHandler([this] { handleOnComm(); });
}

Form1::~Form1() {
    if (m_portula)
        m_portula->setOnCommHandler({});
}

void Form1::buildControls() {
    m_text1 = new QPlainTextEdit(this);
    m_text1->setObjectName(QStringLiteral("Text1"));
    m_text1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_transcript = std::make_unique<Transcript>(*m_text1);
    // Read-only still takes the focus, so the transcript can be scrolled and copied from
    // the keyboard.
    m_text1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_text1->setFocusPolicy(Qt::StrongFocus);
    placeControl(m_text1, 120, 120, 6375, 1695);

    const auto makeLabel = [this](const char* name, const QString& caption, int left) {
        auto* label = new QLabel(caption, this);
        label->setObjectName(QLatin1String(name));
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        placeControl(label, left, 1920, 1335, 255);
        return label;
    };
    m_label4 = makeLabel("Label4", QStringLiteral("ローカルＣＯＭ"), 120);
    m_label1 = makeLabel("Label1", QStringLiteral("ローカルポート"), 1560);
    m_label2 = makeLabel("Label2", QStringLiteral("リモートポート"), 3000);
    m_label3 = makeLabel("Label3", QStringLiteral("リモートホスト"), 4440);

    const auto makeField = [this](const char* name, const QString& text, int left) {
        auto* field = new QLineEdit(text, this);
        field->setObjectName(QLatin1String(name));
        placeControl(field, left, 2160, 1335, 375);
        return field;
    };
    m_txtLocalComm = makeField("txtLocalComm", QStringLiteral("1"), 120);
    m_txtLocalPort = makeField("txtLocalPort", QStringLiteral("10001"), 1560);
    m_txtRemotePort = makeField("txtRemotePort", QStringLiteral("10002"), 3000);
    m_txtRemoteHost = makeField("txtRemoteHost", QStringLiteral("127.0.0.1"), 4440);

    m_command1 = new QPushButton(QStringLiteral("送信"), this);
    m_command1->setObjectName(QStringLiteral("Command1"));
    m_command1->setAutoDefault(false);
    placeControl(m_command1, 5880, 2160, 615, 375);
    connect(m_command1, &QPushButton::clicked, this, &Form1::sendTestFrame);

    m_chkUDP = new ThreeStateCheckBox(QStringLiteral("ＵＤＰ／ＩＰを使用する"), this);
    m_chkUDP->setObjectName(QStringLiteral("chkUDP"));
    m_chkUDP->setTristate(true);
    m_chkUDP->setCheckState(Qt::Checked);
    // Eleven full-width characters are wider than the box leaves beside its indicator in
    // an em-square face; a slightly narrowed face shows the caption whole.
    QFont narrowed = font();
    narrowed.setStretch(85);
    m_chkUDP->setFont(narrowed);
    placeControl(m_chkUDP, 1560, 2640, 2055, 255);
    // Every change of the value is a click, the program's own changes included.
#if QT_VERSION >= QT_VERSION_CHECK(6, 7, 0)
    // The signal that carries the state as an int is deprecated from Qt 6.7.
    connect(m_chkUDP, &QCheckBox::checkStateChanged, this, &Form1::applyConfiguration);
#else
    connect(m_chkUDP, &QCheckBox::stateChanged, this, &Form1::applyConfiguration);
#endif

    // Tab order 0 to 10; the labels take no focus.
    setTabOrder(m_text1, m_command1);
    setTabOrder(m_command1, m_txtRemoteHost);
    setTabOrder(m_txtRemoteHost, m_txtRemotePort);
    setTabOrder(m_txtRemotePort, m_txtLocalPort);
    setTabOrder(m_txtLocalPort, m_txtLocalComm);
    setTabOrder(m_txtLocalComm, m_chkUDP);
}

void Form1::placeControl(QWidget* control, int left, int top, int width, int height) {
    const int x = twipsToPixelsX(left);
    const int y = twipsToPixelsY(top);
    // Right and bottom edges are rounded on their own, so neighbours never overlap.
    control->setGeometry(x, y, twipsToPixelsX(left + width) - x, twipsToPixelsY(top + height) - y);
}

int Form1::twipsToPixelsX(double twips) const {
    const double pixels =
        platform::roundHalfEven(twips * screen()->logicalDotsPerInchX() / kTwipsPerInch);
    // Beyond this no window can be placed; the position does not fit the screen's units.
    if (!(std::abs(pixels) <= QWIDGETSIZE_MAX))
        throw platform::Error(platform::errors::kOverflow);
    return static_cast<int>(pixels);
}

int Form1::twipsToPixelsY(double twips) const {
    const double pixels =
        platform::roundHalfEven(twips * screen()->logicalDotsPerInchY() / kTwipsPerInch);
    if (!(std::abs(pixels) <= QWIDGETSIZE_MAX))
        throw platform::Error(platform::errors::kOverflow);
    return static_cast<int>(pixels);
}

namespace {
// `pixels` moved into [low, high], infinities included; no number at all counts as 0.
int nearestWithin(double pixels, int low, int high) {
    if (std::isnan(pixels))
        pixels = 0;
    return static_cast<int>(
        std::clamp(pixels, static_cast<double>(low), static_cast<double>(high)));
}
}  // namespace

// A stored position the screen cannot show (say 1e9 twips) is not an error: the window
// goes to the nearest place where at least one column and one row of it are on the
// desktop. Positions partly off the desktop, such as -1200 twips, stay as they are.
int Form1::nearestLeftOnScreen(double twips) const {
    const QRect desktop = screen()->virtualGeometry();
    const double pixels =
        platform::roundHalfEven(twips * screen()->logicalDotsPerInchX() / kTwipsPerInch);
    return nearestWithin(pixels, desktop.left() - width() + 1, desktop.right());
}

int Form1::nearestTopOnScreen(double twips) const {
    const QRect desktop = screen()->virtualGeometry();
    const double pixels =
        platform::roundHalfEven(twips * screen()->logicalDotsPerInchY() / kTwipsPerInch);
    return nearestWithin(pixels, desktop.top() - height() + 1, desktop.bottom());
}

double Form1::pixelsToTwipsX(int pixels) const {
    return platform::roundHalfEven(pixels * kTwipsPerInch / screen()->logicalDotsPerInchX());
}

double Form1::pixelsToTwipsY(int pixels) const {
    return platform::roundHalfEven(pixels * kTwipsPerInch / screen()->logicalDotsPerInchY());
}

int Form1::udpValue() const {
    switch (m_chkUDP->checkState()) {
        case Qt::Unchecked:
            return 0;
        case Qt::Checked:
            return 1;
        case Qt::PartiallyChecked:
            return 2;
    }
    return 0;
}

void Form1::setUdpValue(int value) {
    static constexpr Qt::CheckState kStates[] = {Qt::Unchecked, Qt::Checked, Qt::PartiallyChecked};
    if (value < 0 || value > 2)
        throw platform::Error(platform::errors::kInvalidPropertyValue);
    m_chkUDP->setCheckState(kStates[value]);
}

void Form1::load() {
    try {
        const std::filesystem::path path = m_settingsPath();
        const double left = platform::leadingNumber(ReadIni(u"From", u"Left", u"0", path));
        move(nearestLeftOnScreen(left), y());
        const double top = platform::leadingNumber(ReadIni(u"From", u"Top", u"0", path));
        move(x(), nearestTopOnScreen(top));

        m_txtLocalPort->setText(qText(ReadIni(u"UDP", u"LocalPort", u"10001", path)));
        m_txtRemotePort->setText(qText(ReadIni(u"UDP", u"RemotePort", u"10002", path)));
        m_txtRemoteHost->setText(qText(ReadIni(u"UDP", u"RemoteHost", u"127.0.0.1", path)));
        m_txtLocalComm->setText(qText(ReadIni(u"COM", u"LocalComm", u"1", path)));

        const double udpUse = platform::roundHalfEven(
            platform::leadingNumber(ReadIni(u"UDP", u"UDPUse", u"1", path)));
        if (!(udpUse >= 0 && udpUse <= 2))
            throw platform::Error(platform::errors::kInvalidPropertyValue);
        setUdpValue(static_cast<int>(udpUse));  // its click finds Loaded false

        m_loaded = true;
    } catch (...) {
        reportCurrentError();
        return;
    }
    applyConfiguration();  // reports its own errors
}

void Form1::applyConfiguration() {
    if (!m_loaded)
        return;
    try {
        configurePort();
    } catch (...) {
        reportCurrentError();
        if (m_applyingRevert)
            return;  // the other transport failed as well: leave it there
        m_applyingRevert = true;
        struct EndRevert {
            bool& flag;
            ~EndRevert() { flag = false; }
        } endRevert{m_applyingRevert};
        setUdpValue((udpValue() + 1) % 2);  // runs this again for the other transport
    }
}

void Form1::configurePort() {
    m_portula->putProperty(dispid::PortOpen, platform::Variant::fromBoolean(platform::kFalse));
    m_portula->putProperty(
        dispid::LocalPort,
        platform::Variant::fromLong(platform::toLong(textVariant(fieldText(m_txtLocalPort)))));
    m_portula->putProperty(
        dispid::RemotePort,
        platform::Variant::fromLong(platform::toLong(textVariant(fieldText(m_txtRemotePort)))));
    m_portula->putProperty(dispid::RemoteHost, textVariant(fieldText(m_txtRemoteHost)));
    m_portula->putProperty(dispid::CommPort, platform::Variant::fromInteger(platform::toInteger(
                                                 textVariant(fieldText(m_txtLocalComm)))));
    m_portula->putProperty(dispid::Settings, textVariant(kSerialSettings));
    m_portula->putProperty(dispid::RThreshold, platform::Variant::fromInteger(1));
    m_portula->putProperty(
        dispid::UDPUse, platform::Variant::fromBoolean(platform::toBooleanValue(udpValue() == 1)));
    m_portula->putProperty(dispid::PortOpen, platform::Variant::fromBoolean(platform::kTrue));
}

void Form1::sendTestFrame() {
    try {
        if (m_sendCount == std::numeric_limits<int32_t>::max())
            throw platform::Error(platform::errors::kOverflow);
        ++m_sendCount;
        SendText(*m_portula, *m_transcript, testFrame(m_sendCount));
    } catch (...) {
        reportCurrentError();
    }
}

void Form1::handleOnComm() {
    try {
        const int16_t event = platform::toInteger(m_portula->getProperty(dispid::CommEvent));
        if (event == 2)  // data received; sends and error codes are of no interest here
            ReceiveText(*m_portula, *m_transcript);
    } catch (...) {
        reportCurrentError();
    }
}

void Form1::closeEvent(QCloseEvent* event) {
    if (!m_unloaded) {
        m_unloaded = true;
        try {
            unload();
        } catch (...) {
            m_unloadFailed = true;
            reportCurrentError();
        }
    }
    event->accept();  // closing is never cancelled
}

void Form1::unload() {
    const std::filesystem::path path = m_settingsPath();
    const auto number = [](double value) { return platform::formatNumber(value); };
    WriteIni(u"From", u"Left", number(pixelsToTwipsX(pos().x())), path);
    WriteIni(u"From", u"Top", number(pixelsToTwipsY(pos().y())), path);
    WriteIni(u"UDP", u"LocalPort", fieldText(m_txtLocalPort), path);
    WriteIni(u"UDP", u"RemotePort", fieldText(m_txtRemotePort), path);
    WriteIni(u"UDP", u"RemoteHost", fieldText(m_txtRemoteHost), path);
    WriteIni(u"COM", u"LocalComm", fieldText(m_txtLocalComm), path);
    WriteIni(u"UDP", u"UDPUse", number(udpValue()), path);
    m_portula->putProperty(dispid::PortOpen, platform::Variant::fromBoolean(platform::kFalse));
}

void Form1::reportCurrentError() {
    m_messages.showError(QString::fromStdU16String(currentError().description()));
}

}  // namespace sample_app

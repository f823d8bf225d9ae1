// `Form1`, the sample's only window: it carries one Portula control (`Portula1`, reached
// through a ControlHost), restores its fields and position from the settings file, opens
// the port, switches transport with `chkUDP`, sends a numbered test frame per press of
// `Command1` and shows every frame sent and every batch received in `Text1`.
//
// Lifecycle: construct, `load()` (the load step) before the first show, then events; the
// close event runs the unload step once. Event handlers (load, chkUDP, Command1, OnComm)
// trap every error and hand its description to the MessagePresenter (an exception that is
// not the platform's becomes its nearest platform error, 7 for memory); the unload step
// traps nothing of its own: its error is shown too and `unloadFailed()` turns true, for
// the program to end with a non-zero status (the window closes either way).
//
// A failed apply configuration flips `chkUDP` to (value + 1) mod 2, which re-runs the
// apply configuration for the other transport; an apply that runs because of that flip
// does not flip again when it fails, so two failures in a row end with two messages.
//
// Geometry is in twips as the window description gives it; one twip is 1/1440 inch and
// pixels follow the screen's logical DPI (px = twips * dpi / 1440, rounded).
#pragma once

#include <QWidget>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "transcript.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace platform {
class Error;
}

namespace sample_app {

class ControlHost;

// Shows an error description to the user and returns when the user has seen it.
class MessagePresenter {
  public:
    virtual ~MessagePresenter() = default;
    virtual void showError(const QString& description) = 0;
};

// A modal message box with a single OK button, titled with the application's name.
class MessageBoxPresenter final : public MessagePresenter {
  public:
    void showError(const QString& description) override;
};

class Form1 : public QWidget {
    Q_OBJECT

  public:
    using SettingsPathFunction = std::function<std::filesystem::path()>;

    // `settingsPath` is asked afresh by the load and the unload step; by default the INI
    // file beside the executable.
    Form1(std::unique_ptr<ControlHost> portula, MessagePresenter& messages,
          SettingsPathFunction settingsPath = {}, QWidget* parent = nullptr);
    ~Form1() override;

    // The load step: position, fields and chkUDP from the settings file, then the port is
    // configured and opened once.
    void load();

    // chkUDP's value: 0 unchecked, 1 checked, 2 greyed. Any other value fails with
    // platform::Error 380 and leaves the box as it was. A change runs the apply
    // configuration, whoever made it.
    int udpValue() const;
    void setUdpValue(int value);

    bool isLoaded() const { return m_loaded; }
    int32_t sendCount() const { return m_sendCount; }
    // Starts the counter elsewhere than 0; for tests of its upper limit.
    void setSendCount(int32_t count) { m_sendCount = count; }
    const Transcript& transcript() const { return *m_transcript; }
    bool unloadFailed() const { return m_unloadFailed; }

    // Twips <-> pixels of this window's screen, horizontally and vertically.
    int twipsToPixelsX(double twips) const;
    int twipsToPixelsY(double twips) const;
    double pixelsToTwipsX(int pixels) const;
    double pixelsToTwipsY(int pixels) const;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildControls();
    void placeControl(QWidget* control, int left, int top, int width, int height);
    void applyConfiguration();
    void configurePort();
    void sendTestFrame();
    void handleOnComm();
    void unload();
    // Shows the exception being handled as a platform error number's Japanese text.
    void reportCurrentError();
    // The window position nearest to a stored one that the desktop can show.
    int nearestLeftOnScreen(double twips) const;
    int nearestTopOnScreen(double twips) const;

    std::unique_ptr<ControlHost> m_portula;
    MessagePresenter& m_messages;
    SettingsPathFunction m_settingsPath;

    QPlainTextEdit* m_text1 = nullptr;
    QLabel* m_label1 = nullptr;
    QLabel* m_label2 = nullptr;
    QLabel* m_label3 = nullptr;
    QLabel* m_label4 = nullptr;
    QLineEdit* m_txtLocalComm = nullptr;
    QLineEdit* m_txtLocalPort = nullptr;
    QLineEdit* m_txtRemotePort = nullptr;
    QLineEdit* m_txtRemoteHost = nullptr;
    QPushButton* m_command1 = nullptr;
    QCheckBox* m_chkUDP = nullptr;
    std::unique_ptr<Transcript> m_transcript;

    bool m_loaded = false;
    int32_t m_sendCount = 0;
    bool m_applyingRevert = false;
    bool m_unloaded = false;
    bool m_unloadFailed = false;
};

// The test frame of press `count`: the characters of the codes 1, 2, 31, the decimal
// digits of `count`, then 3, 4 and 255, each code read in code page 932.
std::u16string testFrame(int32_t count);

}  // namespace sample_app

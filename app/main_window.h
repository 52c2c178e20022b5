#pragma once

// The panel's one window, formMain: every control, timer and the TCP client,
// the start-up and shut-down sequences, and the wiring of each control's
// events to the handlers of link/, tuning/ and settings/. Those folders see
// only the controls and operations they are handed here.

#include "link/connectinit.h"
#include "link/link.h"
#include "qt/qtcontrols.h"
#include "remote/scpi.h"
#include "settings/persistedsettings.h"
#include "tuning/frequency.h"
#include "tuning/prescalerspumpreadout.h"

#include <QWidget>

#include <memory>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace quillon::qt {
class QtTcpClient;
}

namespace quillon::app {

// What tests may change: the link's periods and the zero start's, so that
// they run in milliseconds, and the port box's text, so that they can use a
// server on a free port. The panel itself always runs with the defaults.
struct Options
{
    link::Periods link;
    int zeroStartMs = 500;
    const char* port = "1111";
};

// The address the panel looks for the instrument at until one is saved: a
// private address, as the instrument sits on the lab's own network.
inline constexpr const char* kDefaultAddress = "192.168.1.100";

class formMain : public QWidget
{
    Q_OBJECT
public:
    // The settings are read from and written to `registry`, which must
    // outlive the window.
    explicit formMain(registry::Registry& registry, const Options& options = Options(),
                      QWidget* parent = nullptr);
    ~formMain() override;

    // Start-up: show, version label, charge-pump lists, restore, connect.
    void Form_Load();
    // Shut-down: close the link, save the settings. Runs once, however the
    // window is closed; the caller ends the process after it.
    void Form_Unload();
    // The desktop session asks for data to be saved, as it may end (or only
    // take a checkpoint): the seven settings are saved and everything else
    // goes on, since the operator may yet cancel the logout.
    void commitSessionData();

    bool hasUnloaded() const { return m_unloaded; }

    // The controls by their names, for the tests and the accessibility layer.
    QLineEdit* txtFreq() const { return m_txtFreq; }
    QLineEdit* txtSysClk() const { return m_txtSysClk; }
    QLineEdit* txtIP() const { return m_txtIP; }
    QLineEdit* txtPort() const { return m_txtPort; }
    QComboBox* cmbDdsPrescaler() const { return m_cmbDdsPrescaler; }
    QComboBox* cmbRosa() const { return m_cmbRosa; }
    QLabel* lblLaserFreq() const { return m_lblLaserFreq; }
    qt::QtTcpClient& enet() const { return *m_enet; }
    link::Link& link() const { return *m_link; }

    // What a script may read and do through the remote-control port: the
    // controls, through the very handlers the operator's actions run.
    remote::Target& remoteTarget() const;

Q_SIGNALS:
    // The link indicator changed: true when the instrument link is up.
    void linkIndicatorChanged(bool up);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    class RemoteTarget;

    void createControls(const Options& options);
    void createLogic(const Options& options);
    void wireEvents();
    void describeForAssistiveTechnology();

    // Controls, named as the operator's manual names them.
    QGroupBox* m_frame1 = nullptr;
    QGroupBox* m_frame2 = nullptr;
    QGroupBox* m_frame3 = nullptr;
    QGroupBox* m_frame9 = nullptr;
    QGroupBox* m_frame10 = nullptr;
    QGroupBox* m_frame11 = nullptr;
    QGroupBox* m_frame12 = nullptr;
    QGroupBox* m_frame13 = nullptr;
    QGroupBox* m_frame14 = nullptr;
    QGroupBox* m_frame19 = nullptr;
    QLineEdit* m_txtFreq = nullptr;
    QLineEdit* m_txtIP = nullptr;
    QLineEdit* m_txtPort = nullptr;
    QLineEdit* m_txtSysClk = nullptr;
    QPushButton* m_cmdUpdateFreq = nullptr;
    QPushButton* m_cmdUpdateCP = nullptr;
    QComboBox* m_cmbFreqDet = nullptr;
    QComboBox* m_cmbWideLock = nullptr;
    QComboBox* m_cmbFinalLock = nullptr;
    QComboBox* m_cmbRosa = nullptr;
    QComboBox* m_cmbDdsPrescaler = nullptr;
    QLabel* m_lblLaserFreq = nullptr;
    QLabel* m_lblRev = nullptr;
    QCheckBox* m_chkZero = nullptr;

    // The controls as the logic sees them.
    std::unique_ptr<qt::QtWindow> m_window;
    qt::QtTextBox* m_freq = nullptr;
    qt::QtTextBox* m_sysClk = nullptr;
    qt::QtTextBox* m_ip = nullptr;
    qt::QtTextBox* m_port = nullptr;
    qt::QtListBox* m_ddsPrescaler = nullptr;
    qt::QtListBox* m_rosa = nullptr;
    qt::QtListBox* m_freqDet = nullptr;
    qt::QtListBox* m_wideLock = nullptr;
    qt::QtListBox* m_finalLock = nullptr;
    std::unique_ptr<qt::QtCheckBox> m_zero;
    std::unique_ptr<qt::QtLabel> m_laserFreq;
    std::unique_ptr<qt::QtLabel> m_rev;
    qt::QtTimer* m_tmrHBin = nullptr;
    qt::QtTimer* m_tmrHBout = nullptr;
    qt::QtTimer* m_tmrZero = nullptr;
    qt::QtTcpClient* m_enet = nullptr;

    // The logic.
    std::unique_ptr<link::Link> m_link;
    std::unique_ptr<link::ConnectTimeInit> m_connectInit;
    std::unique_ptr<tuning::FrequencyUpdate> m_frequency;
    std::unique_ptr<tuning::PrescalersPumpReadout> m_prescalersPumpReadout;
    std::unique_ptr<settings::PersistedSettings> m_settings;
    std::unique_ptr<RemoteTarget> m_remoteTarget;
    registry::Registry& m_registry;

    bool m_unloaded = false;
};

} // namespace quillon::app

#include "app/main_window.h"

#include "app/widgetkit.h"
#include "base/steps.h"
#include "qt/qttcpclient.h"
#include "settings/miscfunctions.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QPushButton>

// The protocol trace, off unless a logging rule switches it on at start-up,
// for example QT_LOGGING_RULES="quillon.link.debug=true": it is for an
// engineer chasing an instrument problem, not for every run.
Q_LOGGING_CATEGORY(lcQuillonLink, "quillon.link", QtWarningMsg)

namespace quillon::app {

using qt::kTwipsPerPixel;
using namespace kit;

// A script's command does what the operator's action does, by the same
// handler: a text typed into a box raises its Change, Enter runs the Update,
// leaving the system-clock box applies its rules, a list's pick raises its
// Click. Failures stay inside those handlers, as they do for the operator.
class formMain::RemoteTarget : public remote::Target
{
public:
    explicit RemoteTarget(formMain& w) : m_w(w) {}

    void setFrequency(const std::string& text) override
    {
        m_w.m_freq->setText(text);
        m_w.m_frequency->txtFreq_KeyDown(kKeyEnter, 0);
    }
    std::string frequency() const override { return m_w.m_freq->text(); }
    void setSystemClock(const std::string& text) override
    {
        m_w.m_sysClk->setText(text);
        m_w.m_frequency->txtSysClk_LostFocus();
    }
    std::string systemClock() const override { return m_w.m_sysClk->text(); }
    bool pickDdsPrescaler(int divider) override
    {
        return pick(*m_w.m_cmbDdsPrescaler, *m_w.m_ddsPrescaler, divider);
    }
    int ddsPrescaler() const override { return shown(*m_w.m_cmbDdsPrescaler); }
    bool pickRosaPrescaler(int divider) override
    {
        return pick(*m_w.m_cmbRosa, *m_w.m_rosa, divider);
    }
    int rosaPrescaler() const override { return shown(*m_w.m_cmbRosa); }
    void setZeroStart(bool on) override { m_w.m_chkZero->setChecked(on); }
    bool zeroStart() const override { return m_w.m_zero->isTicked(); }
    std::string offset() const override
    {
        // "Laser offset = 640 MHz": the number between the sign and the unit.
        QString caption = m_w.m_lblLaserFreq->text();
        caption = caption.section(u'=', 1);
        if (caption.endsWith(QStringLiteral("MHz")))
            caption.chop(3);
        return caption.trimmed().toStdString();
    }
    bool linkUp() const override { return m_w.m_link->indicatorUp(); }

private:
    // Each entry shows a division sign and its divider ("÷16").
    static int dividerOf(const QString& entry)
    {
        bool ok = false;
        const int divider = entry.mid(1).toInt(&ok);
        return ok ? divider : 0;
    }
    static int shown(const QComboBox& list) { return dividerOf(list.currentText()); }
    static bool pick(const QComboBox& combo, qt::QtListBox& list, int divider)
    {
        for (int i = 0; i < combo.count(); ++i) {
            if (dividerOf(combo.itemText(i)) == divider) {
                SkipOnError steps;
                steps.run([&] { list.setListIndex(i); });
                return true;
            }
        }
        return false;
    }

    formMain& m_w;
};

formMain::formMain(registry::Registry& registry, const Options& options, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      m_registry(registry)
{
    setObjectName(QStringLiteral("formMain"));
    setWindowTitle(QStringLiteral("Quillon Test"));
    setWindowIcon(panelIcon());
    setFont(regularFont());
    // Fixed single border: the client area is 4560 x 4785 twips.
    setFixedSize(4560 / kTwipsPerPixel, 4785 / kTwipsPerPixel);

    createControls(options);
    createLogic(options);
    wireEvents();
    describeForAssistiveTechnology();
}

formMain::~formMain() = default;

remote::Target& formMain::remoteTarget() const
{
    return *m_remoteTarget;
}

void formMain::createControls(const Options& options)
{
    const QString division = QString(QChar(0x00F7));

    // Frames on the window, then the controls inside them, in tab order.
    m_frame13 = frame(this, "Frame13", QStringLiteral("Set DDS Frequency (MHz)"), true, 105, 1050,
                      2685, 1305);
    m_txtFreq = textBox(m_frame13, "txtFreq", QStringLiteral("12.34"), 240, 240, 1200, 375);
    m_cmdUpdateFreq =
        button(m_frame13, "cmdUpdateFreq", QStringLiteral("Update"), 1500, 240, 900, 375);
    m_cmdUpdateFreq->setToolTip(QStringLiteral("Set frequency, prescalers and CP currents."));

    m_frame1 = frame(this, "Frame1", QStringLiteral("IP Address"), true, 120, 120, 1815, 735);
    m_txtIP = textBox(m_frame1, "txtIP", QString::fromLatin1(kDefaultAddress), 240, 240, 1455, 375);

    m_frame2 = frame(this, "Frame2", QStringLiteral("Port"), true, 1920, 120, 950, 735);
    m_frame2->setEnabled(false);
    m_txtPort = textBox(m_frame2, "txtPort", QString::fromLatin1(options.port), 100, 240, 735, 375);
    m_txtPort->setEnabled(false);

    m_frame9 = frame(this, "Frame9", QStringLiteral("CP Currents"), true, 2940, 120, 1560, 2895);
    m_frame9->setEnabled(false);
    m_frame10 = frame(m_frame9, "Frame10", QStringLiteral("Freq. Detect"), false, 120, 240, 1215,
                      615, true);
    m_cmbFreqDet = list(m_frame10, "cmbFreqDet",
                        {QStringLiteral("OFF"), QStringLiteral("X20"), QStringLiteral("X40"),
                         QStringLiteral("X60")},
                        120, 240, 975, 315);
    m_cmbFreqDet->setEnabled(false);
    m_frame11 =
        frame(m_frame9, "Frame11", QStringLiteral("Wide Lock"), false, 120, 960, 1215, 615, true);
    m_cmbWideLock = list(m_frame11, "cmbWideLock",
                         {QStringLiteral("OFF"), QStringLiteral("X2"), QStringLiteral("X4"),
                          QStringLiteral("X6"), QStringLiteral("X8"), QStringLiteral("X10"),
                          QStringLiteral("X12"), QStringLiteral("X14")},
                         120, 240, 975, 315);
    m_cmbWideLock->setEnabled(false);
    m_frame12 =
        frame(m_frame9, "Frame12", QStringLiteral("Final Lock"), false, 120, 1680, 1215, 615, true);
    m_cmbFinalLock = list(m_frame12, "cmbFinalLock",
                          {QStringLiteral("OFF"), QStringLiteral("X1"), QStringLiteral("X2"),
                           QStringLiteral("X3"), QStringLiteral("X4")},
                          120, 240, 975, 315);
    m_cmbFinalLock->setEnabled(false);
    m_cmdUpdateCP = button(m_frame9, "cmdUpdateCP", QStringLiteral("Update"), 240, 2400, 855, 375);
    m_cmdUpdateCP->setEnabled(false);

    m_frame19 =
        frame(this, "Frame19", QStringLiteral("ROSA Prescaler"), true, 2880, 3960, 1590, 735);
    m_cmbRosa = list(m_frame19, "cmbRosa",
                     {division + QStringLiteral("8"), division + QStringLiteral("16"),
                      division + QStringLiteral("32"), division + QStringLiteral("64")},
                     240, 300, 975, 315);
    m_frame14 =
        frame(this, "Frame14", QStringLiteral("DDS Prescaler"), true, 2880, 3120, 1590, 735);
    m_cmbDdsPrescaler = list(m_frame14, "cmbDdsPrescaler",
                             {division + QStringLiteral("1"), division + QStringLiteral("2"),
                              division + QStringLiteral("4")},
                             240, 300, 975, 315);

    m_lblLaserFreq =
        label(m_frame13, "lblLaserFreq", QStringLiteral("Laser f"), 240, 675, 840, 195);
    m_lblRev = label(this, "lblRev", QStringLiteral("Revision:"), 120, 4500, 660, 195);

    m_chkZero =
        checkBox(m_frame13, "chkZero", QStringLiteral("Set to 1MHz first."), 210, 945, 2055, 195);
    m_chkZero->setToolTip(QStringLiteral(
        "To prevent locking on the wrong slope, forces laser to scan out from near zero."));

    m_frame3 =
        frame(this, "Frame3", QStringLiteral("System Clock (MHz)"), true, 105, 2520, 1950, 750);
    m_txtSysClk = textBox(m_frame3, "txtSysClk", QStringLiteral("983.04"), 240, 240, 1200, 375);

    // The Tab key visits the enabled controls in the order of their tab index.
    const QList<QWidget*> tabOrder{m_txtFreq,    m_cmdUpdateFreq,   m_txtIP,        m_txtPort,
                                   m_cmbFreqDet, m_cmbWideLock,     m_cmbFinalLock, m_cmdUpdateCP,
                                   m_cmbRosa,    m_cmbDdsPrescaler, m_chkZero,      m_txtSysClk};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
    m_txtFreq->setFocus(Qt::OtherFocusReason);
}

void formMain::createLogic(const Options& options)
{
    m_window = std::make_unique<qt::QtWindow>(this);
    m_freq = new qt::QtTextBox(m_txtFreq);
    m_sysClk = new qt::QtTextBox(m_txtSysClk);
    m_ip = new qt::QtTextBox(m_txtIP);
    m_port = new qt::QtTextBox(m_txtPort);
    m_ip->setBackColour(link::kLinkDownColour);
    m_ddsPrescaler = new qt::QtListBox(m_cmbDdsPrescaler);
    m_rosa = new qt::QtListBox(m_cmbRosa);
    m_freqDet = new qt::QtListBox(m_cmbFreqDet);
    m_wideLock = new qt::QtListBox(m_cmbWideLock);
    m_finalLock = new qt::QtListBox(m_cmbFinalLock);
    m_zero = std::make_unique<qt::QtCheckBox>(m_chkZero);
    m_laserFreq = std::make_unique<qt::QtLabel>(m_lblLaserFreq);
    m_rev = std::make_unique<qt::QtLabel>(m_lblRev);

    // Both heartbeat timers run from the moment the window exists; the zero
    // start's timer waits for an Update.
    m_tmrHBin = new qt::QtTimer(options.link.watchdogMs, true, this);
    m_tmrHBout = new qt::QtTimer(options.link.heartbeatMs, true, this);
    m_tmrZero = new qt::QtTimer(options.zeroStartMs, false, this);
    m_tmrHBin->setObjectName(QStringLiteral("tmrHBin"));
    m_tmrHBout->setObjectName(QStringLiteral("tmrHBout"));
    m_tmrZero->setObjectName(QStringLiteral("tmrZero"));
    m_enet = new qt::QtTcpClient(this);
    m_enet->setObjectName(QStringLiteral("Enet"));
    m_enet->setAttemptTimeout(std::chrono::milliseconds(options.link.connectLimitMs));

    // Each object is built after everything it is handed; the handlers that
    // call between them are wired afterwards, in wireEvents().
    m_settings = std::make_unique<settings::PersistedSettings>(
        m_registry, settings::PersistedSettings::Controls{*m_window, *m_freq, *m_sysClk, *m_ip,
                                                          *m_ddsPrescaler, *m_rosa});
    m_link = std::make_unique<link::Link>(
        link::Link::Controls{*m_enet, *m_ip, *m_port, *m_tmrHBout, *m_tmrHBin});
    // While the trace is off the link has none and formats nothing.
    if (lcQuillonLink().isDebugEnabled()) {
        m_link->setTrace([](std::string_view line) {
            qCDebug(lcQuillonLink, "%.*s", static_cast<int>(line.size()), line.data());
        });
    }
    m_prescalersPumpReadout = std::make_unique<tuning::PrescalersPumpReadout>(
        tuning::PrescalersPumpReadout::Controls{*m_ddsPrescaler, *m_rosa, *m_freqDet, *m_wideLock,
                                                *m_finalLock, *m_freq, *m_laserFreq},
        *m_link,
        tuning::PrescalersPumpReadout::Saves{[this] { m_settings->saveDdsPrescaler(); },
                                             [this] { m_settings->saveRosaPrescaler(); }});
    m_frequency = std::make_unique<tuning::FrequencyUpdate>(
        tuning::FrequencyUpdate::Controls{*m_freq, *m_sysClk, *m_zero, *m_tmrZero}, *m_link);
    m_connectInit = std::make_unique<link::ConnectTimeInit>(
        *m_link, link::ConnectTimeInit::Actions{
                     [this] { m_prescalersPumpReadout->cmdUpdateCP_Click(); },
                     [this] { m_prescalersPumpReadout->cmbRosa_Click(); },
                     [this] { m_prescalersPumpReadout->cmbDdsPrescaler_Click(); }});
    m_remoteTarget = std::make_unique<RemoteTarget>(*this);
}

void formMain::wireEvents()
{
    // Each event goes to its handler.
    m_enet->setEvents(m_link->clientEvents());
    m_tmrHBout->setHandler([this] { m_link->tmrHBout_Timer(); });
    m_tmrHBin->setHandler([this] { m_link->tmrHBin_Timer(); });
    m_link->setConnected([this] { m_connectInit->run(); });
    m_link->setIndicatorChanged([this](bool up) { Q_EMIT linkIndicatorChanged(up); });

    connect(m_cmdUpdateFreq, &QPushButton::clicked, this,
            [this] { m_frequency->cmdUpdateFreq_Click(); });
    m_freq->setKeyDownHandler(
        [this](int keyCode, int shift) { m_frequency->txtFreq_KeyDown(keyCode, shift); });
    m_freq->setChangeHandler([this] { m_prescalersPumpReadout->txtFreq_Change(); });
    m_sysClk->setChangeHandler([this] { m_frequency->txtSysClk_Change(); });
    m_sysClk->setLostFocusHandler([this] { m_frequency->txtSysClk_LostFocus(); });
    m_tmrZero->setHandler([this] { m_frequency->tmrZero_Timer(); });

    connect(m_cmdUpdateCP, &QPushButton::clicked, this,
            [this] { m_prescalersPumpReadout->cmdUpdateCP_Click(); });
    m_ddsPrescaler->setClickHandler([this] { m_prescalersPumpReadout->cmbDdsPrescaler_Click(); });
    m_rosa->setClickHandler([this] { m_prescalersPumpReadout->cmbRosa_Click(); });
}

void formMain::describeForAssistiveTechnology()
{
    // A screen reader names each control after the frame or caption a sighted
    // operator reads it by. The two buttons both read "Update"; their names
    // say what each updates.
    m_txtFreq->setAccessibleName(m_frame13->title());
    m_cmdUpdateFreq->setAccessibleName(QStringLiteral("Update frequency"));
    m_txtIP->setAccessibleName(m_frame1->title());
    m_txtPort->setAccessibleName(m_frame2->title());
    m_cmbFreqDet->setAccessibleName(m_frame10->title());
    m_cmbWideLock->setAccessibleName(m_frame11->title());
    m_cmbFinalLock->setAccessibleName(m_frame12->title());
    m_cmdUpdateCP->setAccessibleName(QStringLiteral("Update CP currents"));
    m_cmbRosa->setAccessibleName(m_frame19->title());
    m_cmbDdsPrescaler->setAccessibleName(m_frame14->title());
    m_chkZero->setAccessibleName(m_chkZero->text());
    m_txtSysClk->setAccessibleName(m_frame3->title());
    // Qt names a frame inside a frame after the outer one's title; the lists'
    // labels are the inner frames, each with its own title.
    for (QGroupBox* inner : {m_frame10, m_frame11, m_frame12})
        inner->setAccessibleName(inner->title());

    // The link state shows as the address box's colour; its description says
    // it in words. The indicator starts light red.
    const auto describeLink = [this](bool up) {
        m_txtIP->setAccessibleDescription(up ? QStringLiteral("Instrument link up")
                                             : QStringLiteral("Instrument link down"));
    };
    describeLink(m_link->indicatorUp());
    connect(this, &formMain::linkIndicatorChanged, this, describeLink);
}

void formMain::Form_Load()
{
    SkipOnError steps;
    steps.run([&] { show(); });
    steps.run([&] { m_rev->setCaption(settings::MiscFunctions::VersionText()); });
    steps.run([&] { m_freqDet->setListIndex(1); });
    steps.run([&] { m_wideLock->setListIndex(1); });
    steps.run([&] { m_finalLock->setListIndex(1); });
    steps.run([&] { m_settings->restore(); });
    steps.run([&] { m_link->connect(); });
}

void formMain::Form_Unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    // Nothing may arrive or tick once shut-down has begun.
    m_tmrHBin->setEnabled(false);
    m_tmrHBout->setEnabled(false);
    m_tmrZero->setEnabled(false);
    m_link->close();
    m_settings->save();
}

void formMain::commitSessionData()
{
    m_settings->save();
}

void formMain::closeEvent(QCloseEvent* event)
{
    // The close is never refused and nothing is asked of the operator.
    Form_Unload();
    event->accept();
}

} // namespace quillon::app

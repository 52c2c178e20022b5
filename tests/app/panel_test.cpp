// The panel as the operator and the instrument see it: real widgets driven
// with key and mouse input, and the bytes that reach a real loopback socket.

#include "app/main_window.h"
#include "link/protocol.h"
#include "qt/qtcontrols.h"
#include "qt/qttcpclient.h"
#include "settings/miscfunctions.h"
#include "tests/support/loopback.h"
#include "tests/support/memoryregistry.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using quillon::app::formMain;
using quillon::qt::QtTimer;
namespace registry = quillon::registry;

namespace {
const QString kConnectSequence = QStringLiteral("A0 01 A6 03 A9 61 00 B0 01 A8 02 AF 01 A3 00");

// The messages in `bytes` in hex, split by their fixed lengths, without the
// heartbeats between them. A byte that starts no message is kept with all
// that follows it, so that a comparison shows it.
QStringList messagesBesidesHeartbeats(const QByteArray& bytes)
{
    QStringList messages;
    for (qsizetype at = 0; at < bytes.size();) {
        const auto length = quillon::link::messageLength(static_cast<std::uint8_t>(bytes[at]));
        const qsizetype size = length ? qsizetype(*length) : bytes.size() - at;
        const QByteArray message = bytes.mid(at, size);
        if (message != QByteArray(1, '\x7F'))
            messages << QString::fromLatin1(message.toHex(' ').toUpper());
        at += size;
    }
    return messages;
}

// Replaces the box's whole text in one edit, as pasting over a selection does.
void pasteOver(QLineEdit* box, const QString& text)
{
    box->setFocus();
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    if (text.isEmpty()) {
        QTest::keyClick(box, Qt::Key_Delete);
    } else {
        QApplication::clipboard()->setText(text);
        QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
    }
}
} // namespace

class TestPanel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void connectSequence();
    void update_data();
    void update();
    void updateWithLinkDown();
    void zeroStartRearmed();
    void systemClockRules_data();
    void systemClockRules();
    void prescalerPick_data();
    void prescalerPick();
    void readoutFollowsTyping();
    void closeSavesAll();
    void sessionSaveLeavesThePanelWorking();

private:
    // A panel connected to the test's instrument, its connect sequence read;
    // without a heartbeat unless `heartbeatMs` asks for one.
    void startConnected(int heartbeatMs = 600000);
    std::string readSetting(const char* name)
    {
        std::string text;
        quillon::settings::MiscFunctions::ReadSetting(*m_registry, registry::HKeyLocalMachine,
                                                      "SOFTWARE\\Oxwell\\Quillon", name, text);
        return text;
    }
    void writeSetting(const char* name, const char* text)
    {
        quillon::settings::MiscFunctions::WriteSetting(*m_registry, registry::HKeyLocalMachine,
                                                       "SOFTWARE\\Oxwell\\Quillon", name, text);
    }

    std::unique_ptr<registry::MemoryRegistry> m_registry;
    std::unique_ptr<quillon::test::Peer> m_instrument;
    std::unique_ptr<formMain> m_window;
    QByteArray m_port;
};

void TestPanel::init()
{
    m_registry = std::make_unique<registry::MemoryRegistry>();
    writeSetting("IP Address", "127.0.0.1");
    m_instrument = std::make_unique<quillon::test::Peer>();
}

void TestPanel::cleanup()
{
    m_window.reset();
    m_instrument.reset();
    m_registry.reset();
}

void TestPanel::startConnected(int heartbeatMs)
{
    quillon::app::Options options;
    // No heartbeat or watchdog tick falls inside a test; the zero start's
    // tick comes after 50 ms instead of 500.
    options.link.heartbeatMs = heartbeatMs;
    options.link.watchdogMs = 600000;
    options.zeroStartMs = 50;
    m_port = QByteArray::number(m_instrument->port());
    options.port = m_port.constData();
    m_window = std::make_unique<formMain>(*m_registry, options);
    m_window->Form_Load();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    // With a quick heartbeat, beats may follow the sequence before a busy
    // machine lets the test look; nothing else may.
    QTRY_VERIFY(m_instrument->receivedHex().startsWith(kConnectSequence));
    const qsizetype sequenceBytes = QByteArray::fromHex(kConnectSequence.toLatin1()).size();
    QCOMPARE(messagesBesidesHeartbeats(m_instrument->received().mid(sequenceBytes)), QStringList());
    m_instrument->clearReceived();
}

void TestPanel::connectSequence()
{
    startConnected();
    QCOMPARE(m_window->txtIP()->palette().color(QPalette::Base), QColor(Qt::white));
    // The connect ran both prescaler actions, which saved their choices.
    QCOMPARE(readSetting("DDS Prescaler"), "1");
    QCOMPARE(readSetting("Rosa Prescaler"), "1");
}

void TestPanel::update_data()
{
    QTest::addColumn<QString>("frequency");
    QTest::addColumn<QString>("systemClock");
    QTest::addColumn<bool>("zeroStart");
    QTest::addColumn<bool>("enterKey");
    QTest::addColumn<QString>("sent");
    QTest::addColumn<bool>("armed");

    const QString word80 = QStringLiteral("A5 00 55 55 D5 14 A2");
    QTest::newRow("design-time texts")
        << "12.34"
        << "983.04" << false << false << "A5 00 AA AA 36 03 A2 A7 00" << false;
    QTest::newRow("80") << "80"
                        << "983.04" << false << false << word80 + " A7 00" << false;
    QTest::newRow("80 by Enter") << "80"
                                 << "983.04" << false << true << word80 + " A7 00" << false;
    QTest::newRow("-80") << "-80"
                         << "983.04" << false << false << word80 + " A7 01" << false;
    QTest::newRow("80 zero start")
        << "80"
        << "983.04" << true << true << word80 + " A7 00 A5 01 AB AA 42 00 A3 01 A2" << true;
    QTest::newRow("1 is one below the start word")
        << "1"
        << "983.04" << false << false << "A5 00 AA AA 42 00 A2 A7 00" << false;
    QTest::newRow("start word whatever the clock")
        << "1"
        << "500" << true << false << "A5 00 6E 12 83 00 A2 A7 00 A5 01 AB AA 42 00 A3 01 A2"
        << true;
    QTest::newRow("0") << "0"
                       << "983.04" << false << false << "A5 00 00 00 00 00 A2 A7 01" << false;
    QTest::newRow("abc") << "abc"
                         << "983.04" << false << false << "A5 00 00 00 00 00 A2 A7 01" << false;
    QTest::newRow("491.52 is 2^31") << "491.52"
                                    << "983.04" << true << false << "" << false;
    QTest::newRow("491.51 just below")
        << "491.51"
        << "983.04" << false << false << "A5 00 55 55 FF 7F A2 A7 00" << false;
    QTest::newRow("500 at 1000 is 2^31") << "500"
                                         << "1000" << false << false << "" << false;
    QTest::newRow("clock 0") << "80"
                             << "0" << true << false << "" << false;
    QTest::newRow("clock 0, frequency 0") << "0"
                                          << "0" << false << false << "" << false;
    QTest::newRow("frequency overflows") << "1e400"
                                         << "983.04" << true << false << "" << false;
}

void TestPanel::update()
{
    QFETCH(QString, frequency);
    QFETCH(QString, systemClock);
    QFETCH(bool, zeroStart);
    QFETCH(bool, enterKey);
    QFETCH(QString, sent);
    QFETCH(bool, armed);

    startConnected();
    m_window->txtSysClk()->setText(systemClock);
    QCOMPARE(m_window->txtSysClk()->text(), systemClock);
    m_window->txtFreq()->setText(frequency);
    m_window->findChild<QCheckBox*>("chkZero")->setChecked(zeroStart);
    QCOMPARE(m_instrument->receivedHex(), QString()); // typing sends nothing

    if (enterKey) {
        m_window->txtFreq()->setFocus();
        QTest::keyClick(m_window->txtFreq(), Qt::Key_Return);
    } else {
        QTest::mouseClick(m_window->findChild<QPushButton*>("cmdUpdateFreq"), Qt::LeftButton);
    }
    auto* tmrZero = m_window->findChild<QtTimer*>("tmrZero");
    QCOMPARE(tmrZero->isEnabled(), armed);

    // A marker after the Update shows that everything it sent has arrived.
    m_window->link().send(quillon::link::heartbeat());
    const QString marker = QStringLiteral("7F");
    const QString expected = sent.isEmpty() ? marker : sent + QLatin1Char(' ') + marker;
    QTRY_COMPARE(m_instrument->receivedHex(), expected);
    if (armed) {
        // The zero start's tick selects slot 0 again, once.
        QTRY_COMPARE(m_instrument->receivedHex(), expected + QStringLiteral(" A3 00"));
        QVERIFY(!tmrZero->isEnabled());
    }
}

void TestPanel::updateWithLinkDown()
{
    quillon::app::Options options;
    options.port = "1"; // nothing listens there: the link stays down
    formMain window(*m_registry, options);
    window.Form_Load();
    window.findChild<QCheckBox*>("chkZero")->setChecked(true);
    QTest::mouseClick(window.findChild<QPushButton*>("cmdUpdateFreq"), Qt::LeftButton);
    QVERIFY(!window.findChild<QtTimer*>("tmrZero")->isEnabled());
}

void TestPanel::zeroStartRearmed()
{
    startConnected();
    auto* tmrZero = m_window->findChild<QtTimer*>("tmrZero");
    m_window->findChild<QCheckBox*>("chkZero")->setChecked(true);
    QTest::mouseClick(m_window->findChild<QPushButton*>("cmdUpdateFreq"), Qt::LeftButton);
    QVERIFY(tmrZero->isEnabled());
    // Unticking while armed does not stop the pending tick.
    m_window->findChild<QCheckBox*>("chkZero")->setChecked(false);
    QTest::mouseClick(m_window->findChild<QPushButton*>("cmdUpdateFreq"), Qt::LeftButton);
    QVERIFY(tmrZero->isEnabled());
    QTRY_VERIFY(m_instrument->receivedHex().endsWith(QStringLiteral("A3 00")));
    QVERIFY(!tmrZero->isEnabled());
    QCOMPARE(m_instrument->receivedHex().count(QStringLiteral("A3 00")), 1);
}

void TestPanel::systemClockRules_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("afterChange");
    QTest::addColumn<QString>("afterFocusLeaves");

    QTest::newRow("empty") << ""
                           << "0"
                           << "100";
    QTest::newRow("minus alone") << "-"
                                 << "0"
                                 << "100";
    QTest::newRow("trailing letters") << "12abc"
                                      << "12"
                                      << "100";
    QTest::newRow("minus and letter") << "-5x"
                                      << "5"
                                      << "100";
    QTest::newRow("negative number") << "-5"
                                     << "-5"
                                     << "100";
    QTest::newRow("above 1000") << "2000"
                                << "1000"
                                << "1000";
    QTest::newRow("above 1000 with letter") << "2000x"
                                            << "1000"
                                            << "1000";
    QTest::newRow("1000") << "1000"
                          << "1000"
                          << "1000";
    QTest::newRow("just below 100") << "99.99"
                                    << "99.99"
                                    << "100";
    QTest::newRow("in range") << "500.5"
                              << "500.5"
                              << "500.5";
    QTest::newRow("blanks inside") << "9 8 3"
                                   << "983"
                                   << "983";
}

void TestPanel::systemClockRules()
{
    QFETCH(QString, typed);
    QFETCH(QString, afterChange);
    QFETCH(QString, afterFocusLeaves);

    quillon::app::Options options;
    options.port = "1";
    formMain window(*m_registry, options);
    window.Form_Load();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    pasteOver(window.txtSysClk(), typed);
    QCOMPARE(window.txtSysClk()->text(), afterChange);
    QTest::keyClick(window.txtSysClk(), Qt::Key_Tab); // the focus moves on
    QVERIFY(!window.txtSysClk()->hasFocus());
    QCOMPARE(window.txtSysClk()->text(), afterFocusLeaves);
}

void TestPanel::prescalerPick_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<int>("downKeys");
    QTest::addColumn<QString>("sent");
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("saved");
    QTest::addColumn<QString>("readout");

    QTest::newRow("DDS 4") << "cmbDdsPrescaler" << 1 << "A8 04"
                           << "DDS Prescaler"
                           << "2"
                           << "Laser offset = 789.76MHz";
    QTest::newRow("ROSA 64") << "cmbRosa" << 2 << "B0 03"
                             << "Rosa Prescaler"
                             << "3"
                             << "Laser offset = 1579.52MHz";
    QTest::newRow("ROSA 32") << "cmbRosa" << 1 << "B0 02"
                             << "Rosa Prescaler"
                             << "2"
                             << "Laser offset = 789.76MHz";
}

void TestPanel::prescalerPick()
{
    QFETCH(QString, list);
    QFETCH(int, downKeys);
    QFETCH(QString, sent);
    QFETCH(QString, setting);
    QFETCH(QString, saved);
    QFETCH(QString, readout);

    startConnected();
    auto* combo = m_window->findChild<QComboBox*>(list);
    combo->setFocus();
    QStringList expected;
    for (int i = 0; i < downKeys; ++i)
        QTest::keyClick(combo, Qt::Key_Down);
    QTRY_VERIFY(m_instrument->receivedHex().endsWith(sent));
    QCOMPARE(QString::fromStdString(readSetting(setting.toLatin1().constData())), saved);
    QCOMPARE(m_window->lblLaserFreq()->text(), readout);
}

void TestPanel::readoutFollowsTyping()
{
    quillon::app::Options options;
    options.port = "1";
    formMain window(*m_registry, options);
    window.Form_Load();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.txtFreq()->setFocus();
    QTest::keyClick(window.txtFreq(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(window.txtFreq(), QStringLiteral("-12.34"));
    QCOMPARE(window.lblLaserFreq()->text(), QStringLiteral("Laser offset =-394.88MHz"));
    QTest::keyClick(window.txtFreq(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(window.txtFreq(), QStringLiteral("abc"));
    QCOMPARE(window.lblLaserFreq()->text(), QStringLiteral("Laser offset = 0MHz"));
}

void TestPanel::closeSavesAll()
{
    startConnected();
    m_window->txtFreq()->setText(QStringLiteral("80"));
    m_window->txtSysClk()->setText(QStringLiteral("1000"));
    m_window->cmbRosa()->setCurrentIndex(3);
    m_window->close();
    QVERIFY(m_window->hasUnloaded());
    QCOMPARE(readSetting("Frequency"), "80");
    QCOMPARE(readSetting("System Clock"), "1000");
    QCOMPARE(readSetting("IP Address"), "127.0.0.1");
    QCOMPARE(readSetting("DDS Prescaler"), "1");
    QCOMPARE(readSetting("Rosa Prescaler"), "3");
    const QRect frame = m_window->frameGeometry();
    QCOMPARE(QString::fromStdString(readSetting("Left")), QString::number(frame.x() * 15));
    QCOMPARE(QString::fromStdString(readSetting("Top")), QString::number(frame.y() * 15));
    // The link was closed first.
    QCOMPARE(m_window->enet().state(), 0);
}

void TestPanel::sessionSaveLeavesThePanelWorking()
{
    // The session manager's request to save may be followed by a cancelled
    // logout: the panel saves and carries on, link and all.
    startConnected(20);
    m_window->txtFreq()->setText(QStringLiteral("80"));
    m_window->commitSessionData();
    QCOMPARE(readSetting("Frequency"), "80");
    QVERIFY(!m_window->hasUnloaded());

    m_instrument->clearReceived();
    QTRY_VERIFY(m_instrument->receivedHex().startsWith(QStringLiteral("7F 7F")));
    QCOMPARE(m_window->enet().state(), int(quillon::TcpClient::Connected));
    QCOMPARE(m_window->txtIP()->palette().color(QPalette::Base), QColor(Qt::white));

    // The real close still runs the whole shut-down, and saves again.
    m_window->txtFreq()->setText(QStringLiteral("90"));
    m_window->close();
    QVERIFY(m_window->hasUnloaded());
    QCOMPARE(m_window->enet().state(), 0);
    QCOMPARE(readSetting("Frequency"), "90");
}

QTEST_MAIN(TestPanel)
#include "panel_test.moc"

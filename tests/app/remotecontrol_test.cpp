// The remote-control port of the real window: the setting that switches it
// on, and a script's commands reaching the operator's handlers, as seen by a
// loopback instrument, the window and the settings saved at the close.

#include "app/main_window.h"
#include "app/remotecontrol.h"
#include "settings/miscfunctions.h"
#include "tests/support/loopback.h"
#include "tests/support/memoryregistry.h"

#include <QLineEdit>
#include <QTcpServer>
#include <QTest>

using quillon::app::formMain;
namespace registry = quillon::registry;
namespace settings = quillon::settings;

namespace {

const QString kConnectSequence = QStringLiteral("A0 01 A6 03 A9 61 00 B0 01 A8 02 AF 01 A3 00");

// A port that was free a moment ago.
quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

class RemoteControlTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void portSetting_data();
    void portSetting();
    void offUnlessTheSettingNamesAPort_data();
    void offUnlessTheSettingNamesAPort();
    void commandsRunTheOperatorsHandlers_data();
    void commandsRunTheOperatorsHandlers();
    void whatAScriptSetsIsSavedAtTheClose();
    void withTheLinkDownCommandsActAsTheOperatorsDo();

private:
    void write(const char* name, const std::string& text)
    {
        settings::MiscFunctions::WriteSetting(*m_registry, registry::HKeyLocalMachine,
                                              settings::kSettingsKey, name, text);
    }
    std::string read(const char* name)
    {
        std::string text;
        settings::MiscFunctions::ReadSetting(*m_registry, registry::HKeyLocalMachine,
                                             settings::kSettingsKey, name, text);
        return text;
    }
    // The window connected to the instrument, and the remote port on.
    void start();
    // Sends a line as a script does; returns the reply lines it expects.
    QStringList ask(const QByteArray& line, int replies);

    std::unique_ptr<registry::MemoryRegistry> m_registry;
    std::unique_ptr<quillon::test::Peer> m_instrument;
    std::unique_ptr<formMain> m_window;
    std::unique_ptr<quillon::qt::QtLineServer> m_remote;
    std::unique_ptr<QTcpSocket> m_script;
    QByteArray m_port;
};

void RemoteControlTest::init()
{
    m_registry = std::make_unique<registry::MemoryRegistry>();
    write("IP Address", "127.0.0.1");
    m_instrument = std::make_unique<quillon::test::Peer>();
}

void RemoteControlTest::cleanup()
{
    m_script.reset();
    m_remote.reset();
    m_window.reset();
    m_instrument.reset();
    m_registry.reset();
}

void RemoteControlTest::start()
{
    quillon::app::Options options;
    options.link.heartbeatMs = 600000;
    options.link.watchdogMs = 600000;
    m_port = QByteArray::number(m_instrument->port());
    options.port = m_port.constData();
    m_window = std::make_unique<formMain>(*m_registry, options);
    m_window->Form_Load();
    QTRY_COMPARE(m_instrument->receivedHex(), kConnectSequence);
    m_instrument->clearReceived();

    const quint16 port = freePort();
    write("Remote Port", std::to_string(port));
    m_remote = quillon::app::startRemoteControl(*m_registry, m_window->remoteTarget());
    QVERIFY(m_remote);
    QCOMPARE(m_remote->port(), port);
    m_script = std::make_unique<QTcpSocket>();
    m_script->connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE(m_script->state(), QAbstractSocket::ConnectedState);
}

QStringList RemoteControlTest::ask(const QByteArray& line, int replies)
{
    m_script->write(line + "\n");
    // *OPC? answers once everything before it has been handled.
    m_script->write("*OPC?\n");
    QStringList got;
    const auto complete = [&] {
        while (m_script->canReadLine())
            got << QString::fromLatin1(m_script->readLine()).chopped(1);
        return got.size() == replies + 1;
    };
    if (!QTest::qWaitFor(complete, 5000))
        return got;
    if (got.takeLast() != QStringLiteral("1"))
        got << QStringLiteral("(no *OPC? reply)");
    return got;
}

void RemoteControlTest::portSetting_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");
    QTest::newRow("convention") << "5025" << 5025;
    QTest::newRow("blanks around") << " 5025\t" << 5025;
    QTest::newRow("lowest") << "1" << 1;
    QTest::newRow("highest") << "65535" << 65535;
    QTest::newRow("empty: off") << "" << 0;
    QTest::newRow("zero: off") << "0" << 0;
    QTest::newRow("too big") << "65536" << 0;
    QTest::newRow("far too big") << "99999999999" << 0;
    QTest::newRow("sign") << "+5025" << 0;
    QTest::newRow("words") << "on" << 0;
    QTest::newRow("blank inside") << "50 25" << 0;
}

void RemoteControlTest::portSetting()
{
    QFETCH(QString, text);
    QFETCH(int, port);
    const std::optional<quint16> got = quillon::app::remotePort(text.toStdString());
    QCOMPARE(got.value_or(0), port);
}

void RemoteControlTest::offUnlessTheSettingNamesAPort_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QString>("text");
    QTest::newRow("missing") << false << QString();
    QTest::newRow("empty") << true << QString();
    QTest::newRow("zero") << true << QStringLiteral("0");
    QTest::newRow("not a port") << true << QStringLiteral("SCPI");
}

void RemoteControlTest::offUnlessTheSettingNamesAPort()
{
    QFETCH(bool, present);
    QFETCH(QString, text);
    if (present)
        write("Remote Port", text.toStdString());
    m_window = std::make_unique<formMain>(*m_registry);
    QVERIFY(!quillon::app::startRemoteControl(*m_registry, m_window->remoteTarget()));
    // Read, never written.
    QCOMPARE(QString::fromStdString(read("Remote Port")), text);
}

void RemoteControlTest::commandsRunTheOperatorsHandlers_data()
{
    // What a script sends, what the instrument then receives, and the
    // replies. The bytes are those of the operator's own action: Enter in the
    // frequency box, a pick in a list, an edit of the system clock.
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("instrument");
    QTest::addColumn<QStringList>("replies");
    const QString update80 = QStringLiteral("A5 00 55 55 D5 14 A2 A7 00");
    QTest::newRow("frequency") << QByteArray("FREQ 80") << update80 << QStringList();
    QTest::newRow("frequency, long form, then its query")
        << QByteArray("frequency 80;FREQuency?") << update80 << QStringList{"80"};
    QTest::newRow("negative frequency")
        << QByteArray("FREQ -80") << QStringLiteral("A5 00 55 55 D5 14 A2 A7 01") << QStringList();
    QTest::newRow("system clock, then an Update")
        << QByteArray("SYST:CLOC 1000;:FREQ 80") << QStringLiteral("A5 00 47 E1 7A 14 A2 A7 00")
        << QStringList();
    QTest::newRow("DDS prescaler")
        << QByteArray("PRESC:DDS 4;DDS?") << QStringLiteral("A8 04") << QStringList{"4"};
    QTest::newRow("ROSA prescaler")
        << QByteArray("PRESCALER:ROSA 32;ROSA?") << QStringLiteral("B0 02") << QStringList{"32"};
    QTest::newRow("a divider no list has")
        << QByteArray("PRESC:DDS 3;PRESC:DDS?;SYST:ERR?") << QString()
        << QStringList{"2", "-222,\"Data out of range\""};
    QTest::newRow("readout") << QByteArray("FREQ 80;OFFS?") << update80 << QStringList{"2560"};
    QTest::newRow("link") << QByteArray("LINK?") << QString() << QStringList{"1"};
    QTest::newRow("zero start box")
        << QByteArray("ZERO:STAR ON;ZERO:STAR?") << QString() << QStringList{"1"};
    QTest::newRow("identity") << QByteArray("*IDN?") << QString()
                              << QStringList{"Oxwell,Quillon,0," QUILLON_TEST_VERSION};
}

void RemoteControlTest::commandsRunTheOperatorsHandlers()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, instrument);
    QFETCH(QStringList, replies);
    start();

    QCOMPARE(ask(line, int(replies.size())), replies);
    QTRY_COMPARE(m_instrument->receivedHex(), instrument);
}

void RemoteControlTest::whatAScriptSetsIsSavedAtTheClose()
{
    start();
    QCOMPARE(ask("FREQ 80;PRESC:ROSA 64;SYST:CLOC 1000", 0), QStringList());
    QCOMPARE(m_window->txtFreq()->text(), QStringLiteral("80"));
    m_window->Form_Unload();
    QCOMPARE(read("Frequency"), std::string("80"));
    QCOMPARE(read("Rosa Prescaler"), std::string("3"));
    QCOMPARE(read("System Clock"), std::string("1000"));
}

void RemoteControlTest::withTheLinkDownCommandsActAsTheOperatorsDo()
{
    start();
    m_instrument->closeConnection();
    QTRY_COMPARE(ask("LINK?", 1), QStringList{"0"});
    // The Update's sends fail quietly; the box takes the text all the same.
    QCOMPARE(ask("FREQ 80;FREQ?;SYST:ERR?", 2), (QStringList{"80", "0,\"No error\""}));
}

QTEST_MAIN(RemoteControlTest)
#include "remotecontrol_test.moc"

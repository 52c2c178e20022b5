// Restoring the saved settings: each value's test and how it is applied, over
// the in-memory registry and a real settings file, on real widgets. No link here:
// the restore only fills the controls.

#include "qt/qtcontrols.h"
#include "registry/regfileregistry.h"
#include "settings/persistedsettings.h"
#include "tests/support/memoryregistry.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

using namespace quillon::qt;
namespace reg = quillon::registry;

namespace {
const char* const kKey = "SOFTWARE\\Oxwell\\Quillon";

struct Stored
{
    QString name;
    QByteArray text; // the bytes stored
    reg::ValueType type = reg::RegSz;
};
} // namespace
Q_DECLARE_METATYPE(QList<Stored>)

class TestRestore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase_data();
    void init();
    void cleanup();
    void restore_data();
    void restore();
    void firstRunLeavesDefaults();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<reg::Registry> m_registry;
};

void TestRestore::initTestCase_data()
{
    QTest::addColumn<QString>("backend");
    QTest::newRow("memory") << "memory";
    QTest::newRow("settings file") << "regfile";
}

void TestRestore::init()
{
    QFETCH_GLOBAL(QString, backend);
    if (backend == QLatin1String("memory")) {
        m_registry = std::make_unique<reg::MemoryRegistry>();
    } else {
        m_dir = std::make_unique<QTemporaryDir>();
        m_registry = std::make_unique<reg::RegFileRegistry>(
            m_dir->filePath(QStringLiteral("registry.reg")).toStdString());
    }
}

void TestRestore::cleanup()
{
    m_registry.reset();
    m_dir.reset();
}

void TestRestore::restore_data()
{
    QTest::addColumn<QList<Stored>>("stored");
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("expected");

    auto row = [](const char* tag, QList<Stored> stored, const char* control,
                  const char* expected) {
        QTest::newRow(tag) << stored << QString::fromLatin1(control) << QString::fromUtf8(expected);
    };
    auto sz = [](const char* name, const char* text) {
        return Stored{QString::fromLatin1(name), QByteArray(text), reg::RegSz};
    };

    row("frequency 0", {sz("Frequency", "0")}, "txtFreq", "12.34");
    row("frequency 10000", {sz("Frequency", "10000")}, "txtFreq", "12.34");
    row("frequency negative", {sz("Frequency", "-80")}, "txtFreq", "12.34");
    row("frequency no number", {sz("Frequency", "abc")}, "txtFreq", "12.34");
    row("frequency 9999.99", {sz("Frequency", "9999.99")}, "txtFreq", "9999.99");
    row("frequency normalised", {sz("Frequency", "12.340")}, "txtFreq", "12.34");
    row("frequency with words", {sz("Frequency", "80 MHz")}, "txtFreq", "80");
    row("clock 100", {sz("System Clock", "100")}, "txtSysClk", "100");
    row("clock 1000", {sz("System Clock", "1000")}, "txtSysClk", "1000");
    row("clock 99.99", {sz("System Clock", "99.99")}, "txtSysClk", "983.04");
    row("clock 1000.01", {sz("System Clock", "1000.01")}, "txtSysClk", "983.04");
    row("address trimmed", {sz("IP Address", "  127.0.0.2  ")}, "txtIP", "127.0.0.2");
    row("address 8 characters", {sz("IP Address", "10.0.0.1")}, "txtIP", "10.0.0.1");
    row("address 15 characters", {sz("IP Address", "127.100.100.100")}, "txtIP", "127.100.100.100");
    row("address 7 characters", {sz("IP Address", "1.2.3.4")}, "txtIP", "192.168.1.100");
    row("address 16 characters", {sz("IP Address", "127.100.100.1000")}, "txtIP", "192.168.1.100");
    row("DDS 1.5", {sz("DDS Prescaler", "1.5")}, "cmbDdsPrescaler", "2");
    row("DDS 0.5", {sz("DDS Prescaler", "0.5")}, "cmbDdsPrescaler", "0");
    row("DDS 2.5", {sz("DDS Prescaler", "2.5")}, "cmbDdsPrescaler", "1");
    row("DDS 2, the upper bound", {sz("DDS Prescaler", "2")}, "cmbDdsPrescaler", "2");
    row("DDS -1", {sz("DDS Prescaler", "-1")}, "cmbDdsPrescaler", "1");
    row("DDS missing", {}, "cmbDdsPrescaler", "1");
    row("DDS huge", {sz("DDS Prescaler", "1e400")}, "cmbDdsPrescaler", "1");
    row("ROSA 0, the lower bound", {sz("Rosa Prescaler", "0")}, "cmbRosa", "0");
    row("ROSA 2.5", {sz("Rosa Prescaler", "2.5")}, "cmbRosa", "2");
    row("ROSA 3", {sz("Rosa Prescaler", "3")}, "cmbRosa", "3");
    row("ROSA 4", {sz("Rosa Prescaler", "4")}, "cmbRosa", "1");
    row("left 0", {sz("Left", "0")}, "left", "kept");
    row("left negative", {sz("Left", "-150")}, "left", "kept");
    row("left applied", {sz("Left", "1500")}, "left", "1500");
    row("left too large for single precision", {sz("Left", "1e300")}, "left", "kept");
    // Only 5 pixels of the title bar would be on the screen: nobody could
    // grab it, so the position is not restored.
    row("left beyond the screen", {sz("Left", "{screenWidth-75}")}, "left", "kept");
    row("left at the limit", {sz("Left", "{leftLimit}")}, "left", "kept");
    row("top 0", {sz("Top", "0")}, "top", "kept");
    row("top applied", {sz("Top", "1500")}, "top", "1500");
    row("top just below the limit", {sz("Top", "{topLimit-15}")}, "top", "{topLimit-15}");
    row("top at the limit", {sz("Top", "{topLimit}")}, "top", "kept");
    // A value of a type the read leaves alone is judged on the text the
    // previous read left behind.
    row("binary frequency takes the top's text",
        {sz("Top", "1500"),
         Stored{QStringLiteral("Frequency"), QByteArray("\x01\x02", 2), reg::RegBinary}},
        "txtFreq", "1500");
    row("binary left reads as empty",
        {Stored{QStringLiteral("Left"), QByteArray("1500"), reg::RegBinary}}, "left", "kept");
    row("dword clock",
        {Stored{QStringLiteral("System Clock"), QByteArray("\x2C\x01\x00\x00", 4), reg::RegDword}},
        "txtSysClk", "300");
}

void TestRestore::restore()
{
    QFETCH(QList<Stored>, stored);
    QFETCH(QString, control);
    QFETCH(QString, expected);

    // A window of the panel's size with the five controls the restore fills.
    QWidget window;
    window.setFixedSize(304, 319);
    window.move(30, 40);
    QLineEdit freq(QStringLiteral("12.34"), &window);
    QLineEdit sysClk(QStringLiteral("983.04"), &window);
    QLineEdit ip(QStringLiteral("192.168.1.100"), &window);
    QComboBox dds(&window);
    QComboBox rosa(&window);
    const QString d = QString(QChar(0x00F7));
    dds.addItems({d + "1", d + "2", d + "4"});
    rosa.addItems({d + "8", d + "16", d + "32", d + "64"});
    dds.setCurrentIndex(-1);
    rosa.setCurrentIndex(-1);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QPoint before = window.frameGeometry().topLeft();

    QtWindow qtWindow(&window);
    QtTextBox freqBox(&freq), sysClkBox(&sysClk), ipBox(&ip);
    QtListBox ddsList(&dds), rosaList(&rosa);
    int ddsClicks = 0, rosaClicks = 0;
    ddsList.setClickHandler([&] { ++ddsClicks; });
    rosaList.setClickHandler([&] { ++rosaClicks; });

    // Tokens for limits that depend on the screen the test runs on.
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const int frameHeight = window.frameGeometry().height() * 15;
    const int frameWidth = window.frameGeometry().width() * 15;
    auto substitute = [&](QString text) {
        text.replace(QLatin1String("{screenWidth-75}"), QString::number(screen.width() * 15 - 75));
        text.replace(QLatin1String("{leftLimit}"),
                     QString::number(2 * screen.width() * 15 - frameWidth));
        text.replace(QLatin1String("{topLimit-15}"),
                     QString::number(screen.height() * 15 - frameHeight - 15));
        text.replace(QLatin1String("{topLimit}"),
                     QString::number(screen.height() * 15 - frameHeight));
        return text;
    };

    reg::Key key = 0;
    QCOMPARE(m_registry->createKey(reg::HKeyLocalMachine, kKey, 0, reg::KeyAllAccess, key, nullptr),
             reg::Success);
    for (const Stored& value : stored) {
        const QByteArray bytes = value.type == reg::RegSz
                                     ? substitute(QString::fromLatin1(value.text)).toLatin1()
                                     : value.text;
        QCOMPARE(m_registry->setValue(key, value.name.toStdString(), value.type,
                                      reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                      std::uint32_t(bytes.size())),
                 reg::Success);
    }
    m_registry->closeKey(key);

    quillon::settings::PersistedSettings settings(
        *m_registry, {qtWindow, freqBox, sysClkBox, ipBox, ddsList, rosaList});
    settings.restore();

    // Each prescaler list always takes a position, and so raises its Click.
    QCOMPARE(ddsClicks, 1);
    QCOMPARE(rosaClicks, 1);

    expected = substitute(expected);
    const QPoint after = window.frameGeometry().topLeft();
    if (control == QLatin1String("txtFreq"))
        QCOMPARE(freq.text(), expected);
    else if (control == QLatin1String("txtSysClk"))
        QCOMPARE(sysClk.text(), expected);
    else if (control == QLatin1String("txtIP"))
        QCOMPARE(ip.text(), expected);
    else if (control == QLatin1String("cmbDdsPrescaler"))
        QCOMPARE(QString::number(dds.currentIndex()), expected);
    else if (control == QLatin1String("cmbRosa"))
        QCOMPARE(QString::number(rosa.currentIndex()), expected);
    else if (control == QLatin1String("left"))
        QCOMPARE(expected == QLatin1String("kept") ? before.x() : expected.toInt() / 15, after.x());
    else if (control == QLatin1String("top"))
        QCOMPARE(expected == QLatin1String("kept") ? before.y() : expected.toInt() / 15, after.y());
    else
        QFAIL("unknown control");
}

void TestRestore::firstRunLeavesDefaults()
{
    QWidget window;
    window.setFixedSize(304, 319);
    window.move(30, 40);
    QLineEdit freq(QStringLiteral("12.34"), &window), sysClk(QStringLiteral("983.04"), &window),
        ip(QStringLiteral("192.168.1.100"), &window);
    QComboBox dds(&window), rosa(&window);
    dds.addItems({"1", "2", "4"});
    rosa.addItems({"8", "16", "32", "64"});
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QtWindow qtWindow(&window);
    QtTextBox freqBox(&freq), sysClkBox(&sysClk), ipBox(&ip);
    QtListBox ddsList(&dds), rosaList(&rosa);
    quillon::settings::PersistedSettings settings(
        *m_registry, {qtWindow, freqBox, sysClkBox, ipBox, ddsList, rosaList});
    settings.restore();
    QCOMPARE(window.frameGeometry().topLeft(), QPoint(30, 40));
    QCOMPARE(freq.text(), QStringLiteral("12.34"));
    QCOMPARE(sysClk.text(), QStringLiteral("983.04"));
    QCOMPARE(ip.text(), QStringLiteral("192.168.1.100"));
    QCOMPARE(dds.currentIndex(), 1);
    QCOMPARE(rosa.currentIndex(), 1);
}

QTEST_MAIN(TestRestore)
#include "persistedsettings_test.moc"

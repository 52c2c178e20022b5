// The window as assistive technology reads it: the accessibility tree from the
// window down, each control's name, role and label in it, the readout's text,
// and the address box's description that says whether the instrument link is
// up, kept in step with the indicator's colour.

#include "app/main_window.h"
#include "settings/miscfunctions.h"
#include "tests/support/memoryregistry.h"

#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using quillon::app::formMain;
namespace registry = quillon::registry;

namespace {

struct Node
{
    QAccessible::Role role;
    QString name;
    QString label; // the name of what labels it, as "labelled by" on AT-SPI
    QObject* object;
};

QString labelOf(QAccessibleInterface* iface)
{
    const auto labels = iface->relations(QAccessible::Label);
    return labels.isEmpty() ? QString() : labels.first().first->text(QAccessible::Name);
}

// Every node below `iface`, found through the interfaces' own child lists, as
// a screen reader walks them.
void collect(QAccessibleInterface* iface, QList<Node>& nodes, int depth = 0)
{
    QVERIFY(depth < 20);
    for (int i = 0; i < iface->childCount(); ++i) {
        QAccessibleInterface* child = iface->child(i);
        if (!child)
            continue;
        nodes.append(
            {child->role(), child->text(QAccessible::Name), labelOf(child), child->object()});
        collect(child, nodes, depth + 1);
    }
}

} // namespace

class TestAccessibility : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void namesInTheTree_data();
    void namesInTheTree();
    void readoutReadable();
    void linkStateInWords();

private:
    std::unique_ptr<formMain> startWindow(const QByteArray& port);

    std::unique_ptr<registry::MemoryRegistry> m_registry;
    QByteArray m_port;
};

void TestAccessibility::init()
{
    m_registry = std::make_unique<registry::MemoryRegistry>();
    quillon::settings::MiscFunctions::WriteSetting(*m_registry, registry::HKeyLocalMachine,
                                                   "SOFTWARE\\Oxwell\\Quillon", "IP Address",
                                                   "127.0.0.1");
}

void TestAccessibility::cleanup()
{
    m_registry.reset();
}

std::unique_ptr<formMain> TestAccessibility::startWindow(const QByteArray& port)
{
    m_port = port;
    quillon::app::Options options;
    options.port = m_port.constData();
    // No heartbeat or watchdog tick falls inside a test.
    options.link.heartbeatMs = 600000;
    options.link.watchdogMs = 600000;
    auto window = std::make_unique<formMain>(*m_registry, options);
    window->Form_Load();
    if (!QTest::qWaitForWindowExposed(window.get()))
        return nullptr;
    return window;
}

void TestAccessibility::namesInTheTree_data()
{
    QTest::addColumn<QString>("object");
    QTest::addColumn<int>("role");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("label");
    auto row = [](const char* object, QAccessible::Role role, const char* name, const char* label) {
        QTest::newRow(object) << QString::fromLatin1(object) << int(role) << QString::fromUtf8(name)
                              << QString::fromLatin1(label);
    };
    // Every input, list, button and the check box; the disabled ones too, as
    // a reader still announces them (greyed). Qt names a list on Linux by the
    // entry it shows and leaves its name to the "labelled by" relation, which
    // a reader speaks first; elsewhere the list carries the name itself.
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    const bool listNamedByEntry = true;
#else
    const bool listNamedByEntry = false;
#endif
    auto list = [&](const char* object, const char* entry, const char* frame) {
        row(object, QAccessible::ComboBox, listNamedByEntry ? entry : frame, frame);
    };
    row("txtFreq", QAccessible::EditableText, "Set DDS Frequency (MHz)", "Set DDS Frequency (MHz)");
    row("cmdUpdateFreq", QAccessible::Button, "Update frequency", "Set DDS Frequency (MHz)");
    row("txtIP", QAccessible::EditableText, "IP Address", "IP Address");
    row("txtPort", QAccessible::EditableText, "Port", "Port");
    list("cmbFreqDet", "X20", "Freq. Detect");
    list("cmbWideLock", "X2", "Wide Lock");
    list("cmbFinalLock", "X1", "Final Lock");
    row("cmdUpdateCP", QAccessible::Button, "Update CP currents", "CP Currents");
    list("cmbRosa", "\u00f716", "ROSA Prescaler");
    list("cmbDdsPrescaler", "\u00f72", "DDS Prescaler");
    row("chkZero", QAccessible::CheckBox, "Set to 1MHz first.", "Set DDS Frequency (MHz)");
    row("txtSysClk", QAccessible::EditableText, "System Clock (MHz)", "System Clock (MHz)");
}

void TestAccessibility::namesInTheTree()
{
    QFETCH(QString, object);
    QFETCH(int, role);
    QFETCH(QString, name);
    QFETCH(QString, label);

    const auto window = startWindow("1");
    QVERIFY(window);
    QAccessibleInterface* root = QAccessible::queryAccessibleInterface(window.get());
    QVERIFY(root);
    QCOMPARE(root->text(QAccessible::Name), QStringLiteral("Quillon Test"));
    QList<Node> nodes;
    collect(root, nodes);

    // Found by walking the tree, not by asking the widget: a control missing
    // from the tree is missing for the reader.
    int found = 0;
    for (const Node& node : std::as_const(nodes)) {
        if (!node.object || node.object->objectName() != object)
            continue;
        ++found;
        QCOMPARE(int(node.role), role);
        QCOMPARE(node.name, name);
        QCOMPARE(node.label, label);
    }
    QCOMPARE(found, 1);
    // Name and label together tell every control apart, the two "Update"
    // buttons and the lists showing "X2" included.
    int same = 0;
    for (const Node& node : std::as_const(nodes))
        same += node.name == name && node.label == label;
    QCOMPARE(same, 1);
}

void TestAccessibility::readoutReadable()
{
    const auto window = startWindow("1");
    QVERIFY(window);
    QAccessibleInterface* readout = QAccessible::queryAccessibleInterface(window->lblLaserFreq());
    QVERIFY(readout);
    QCOMPARE(readout->role(), QAccessible::StaticText);
    QCOMPARE(readout->text(QAccessible::Name), QStringLiteral("Laser offset = 394.88MHz"));
    // A new readout reaches the reader too.
    window->txtFreq()->setText(QStringLiteral("20"));
    QCOMPARE(readout->text(QAccessible::Name), QStringLiteral("Laser offset = 640MHz"));
}

void TestAccessibility::linkStateInWords()
{
    QTcpServer instrument;
    QVERIFY(instrument.listen(QHostAddress::LocalHost, 0));
    const auto window = startWindow(QByteArray::number(instrument.serverPort()));
    QVERIFY(window);
    QAccessibleInterface* address = QAccessible::queryAccessibleInterface(window->txtIP());
    QVERIFY(address);
    const auto colour = [&] { return window->txtIP()->palette().color(QPalette::Base); };

    // Down until the instrument answers, in words as well as in light red.
    QCOMPARE(address->text(QAccessible::Description), QStringLiteral("Instrument link down"));
    QCOMPARE(colour(), QColor(255, 192, 192));

    QSignalSpy indicator(window.get(), &formMain::linkIndicatorChanged);
    QTRY_VERIFY(instrument.hasPendingConnections());
    QTcpSocket* peer = instrument.nextPendingConnection();
    QTRY_COMPARE(address->text(QAccessible::Description), QStringLiteral("Instrument link up"));
    QCOMPARE(colour(), QColor(Qt::white));
    QCOMPARE(indicator.count(), 1);

    // The instrument goes away: the words follow the colour back.
    peer->close();
    QTRY_COMPARE(address->text(QAccessible::Description), QStringLiteral("Instrument link down"));
    QCOMPARE(colour(), QColor(255, 192, 192));
    QCOMPARE(indicator.count(), 2);
}

QTEST_MAIN(TestAccessibility)
#include "accessibility_test.moc"

// The window as built: every control of the table with its kind, container,
// caption, enabled flag, geometry in twips and tab order; the lists, tool
// tips, timers and the window itself; the first start-up; and the protocol
// trace's switch.

#include "app/main_window.h"
#include "app/widgetkit.h"
#include "qt/qtcontrols.h"
#include "settings/miscfunctions.h"
#include "tests/support/memoryregistry.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QPushButton>
#include <QSet>
#include <QTest>
#include <QTimer>

using quillon::app::formMain;
namespace kit = quillon::app::kit;
using quillon::qt::QtTimer;
namespace registry = quillon::registry;

namespace {
QStringList g_trace;
QtMessageHandler g_previous = nullptr;

void capture(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (context.category && qstrcmp(context.category, "quillon.link") == 0)
        g_trace.append(text);
    else if (g_previous)
        g_previous(type, context, text);
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void controls_data();
    void controls();
    void lists_data();
    void lists();
    void tabOrder();
    void timers_data();
    void timers();
    void windowAndDecorations();
    void innerFramesLookOn();
    void firstStart();
    void formFaceIsTheFirstInstalledPreference();
    void traceFollowsTheRuleAtStart_data();
    void traceFollowsTheRuleAtStart();

private:
    std::unique_ptr<registry::MemoryRegistry> m_registry;
};

void TestMainWindow::init()
{
    m_registry = std::make_unique<registry::MemoryRegistry>();
}

void TestMainWindow::cleanup()
{
    m_registry.reset();
}

void TestMainWindow::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QRect>("twips");

    auto row = [](const char* name, const char* kind, const char* container, const char* caption,
                  bool enabled, int left, int top, int width, int height) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(kind)
                            << QString::fromLatin1(container) << QString::fromUtf8(caption)
                            << enabled << QRect(left, top, width, height);
    };
    row("txtFreq", "QLineEdit", "Frame13", "12.34", true, 240, 240, 1200, 375);
    row("cmdUpdateFreq", "QPushButton", "Frame13", "Update", true, 1500, 240, 900, 375);
    row("Frame1", "QGroupBox", "formMain", "IP Address", true, 120, 120, 1815, 735);
    row("txtIP", "QLineEdit", "Frame1", "192.168.1.100", true, 240, 240, 1455, 375);
    row("Frame2", "QGroupBox", "formMain", "Port", false, 1920, 120, 950, 735);
    row("txtPort", "QLineEdit", "Frame2", "1111", false, 100, 240, 735, 375);
    row("Frame9", "QGroupBox", "formMain", "CP Currents", false, 2940, 120, 1560, 2895);
    row("Frame10", "QGroupBox", "Frame9", "Freq. Detect", true, 120, 240, 1215, 615);
    row("cmbFreqDet", "QComboBox", "Frame10", "", false, 120, 240, 975, 315);
    row("Frame11", "QGroupBox", "Frame9", "Wide Lock", true, 120, 960, 1215, 615);
    row("cmbWideLock", "QComboBox", "Frame11", "", false, 120, 240, 975, 315);
    row("Frame12", "QGroupBox", "Frame9", "Final Lock", true, 120, 1680, 1215, 615);
    row("cmbFinalLock", "QComboBox", "Frame12", "", false, 120, 240, 975, 315);
    row("cmdUpdateCP", "QPushButton", "Frame9", "Update", false, 240, 2400, 855, 375);
    row("Frame13", "QGroupBox", "formMain", "Set DDS Frequency (MHz)", true, 105, 1050, 2685, 1305);
    row("Frame19", "QGroupBox", "formMain", "ROSA Prescaler", true, 2880, 3960, 1590, 735);
    row("cmbRosa", "QComboBox", "Frame19", "", true, 240, 300, 975, 315);
    row("Frame14", "QGroupBox", "formMain", "DDS Prescaler", true, 2880, 3120, 1590, 735);
    row("cmbDdsPrescaler", "QComboBox", "Frame14", "", true, 240, 300, 975, 315);
    row("lblLaserFreq", "QLabel", "Frame13", "Laser f", true, 240, 675, 840, 195);
    row("lblRev", "QLabel", "formMain", "Revision:", true, 120, 4500, 660, 195);
    row("chkZero", "QCheckBox", "Frame13", "Set to 1MHz first.", true, 210, 945, 2055, 195);
    row("Frame3", "QGroupBox", "formMain", "System Clock (MHz)", true, 105, 2520, 1950, 750);
    row("txtSysClk", "QLineEdit", "Frame3", "983.04", true, 240, 240, 1200, 375);
}

void TestMainWindow::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, container);
    QFETCH(QString, caption);
    QFETCH(bool, enabled);
    QFETCH(QRect, twips);

    formMain window(*m_registry);
    auto* widget = window.findChild<QWidget*>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), kind);
    QCOMPARE(widget->parentWidget()->objectName(), container);
    // "Off" means created disabled; a control in a disabled frame is not
    // disabled itself, it only takes no input.
    QCOMPARE(!widget->testAttribute(Qt::WA_ForceDisabled), enabled);

    QString text;
    if (auto* edit = qobject_cast<QLineEdit*>(widget))
        text = edit->text();
    else if (auto* push = qobject_cast<QAbstractButton*>(widget))
        text = push->text();
    else if (auto* box = qobject_cast<QGroupBox*>(widget))
        text = box->title();
    else if (auto* label = qobject_cast<QLabel*>(widget))
        text = label->text();
    else if (auto* combo = qobject_cast<QComboBox*>(widget))
        QCOMPARE(combo->currentIndex(), -1); // created with no entry selected
    QCOMPARE(text, caption);

    // 15 twips to a logical pixel; a size that is no whole number of pixels
    // rounds down.
    const QRect px = widget->geometry();
    const QRect expected(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15);
    QCOMPARE(px, expected);
}

void TestMainWindow::lists_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("entries");
    const QString d = QString(QChar(0x00F7));
    QTest::newRow("cmbDdsPrescaler") << "cmbDdsPrescaler" << QStringList{d + "1", d + "2", d + "4"};
    QTest::newRow("cmbRosa") << "cmbRosa" << QStringList{d + "8", d + "16", d + "32", d + "64"};
    QTest::newRow("cmbFreqDet") << "cmbFreqDet" << QStringList{"OFF", "X20", "X40", "X60"};
    QTest::newRow("cmbWideLock") << "cmbWideLock"
                                 << QStringList{"OFF", "X2", "X4", "X6", "X8", "X10", "X12", "X14"};
    QTest::newRow("cmbFinalLock") << "cmbFinalLock" << QStringList{"OFF", "X1", "X2", "X3", "X4"};
}

void TestMainWindow::lists()
{
    QFETCH(QString, name);
    QFETCH(QStringList, entries);
    formMain window(*m_registry);
    auto* combo = window.findChild<QComboBox*>(name);
    QVERIFY(combo);
    QVERIFY(!combo->isEditable()); // pick only
    // In the regular face, and so is its drop-down.
    QCOMPARE(combo->font(), kit::regularFont());
    QCOMPARE(combo->view()->font(), kit::regularFont());
    QStringList actual;
    for (int i = 0; i < combo->count(); ++i)
        actual << combo->itemText(i);
    QCOMPARE(actual, entries);
}

void TestMainWindow::tabOrder()
{
    formMain window(*m_registry);
    const QStringList expected{"txtFreq",    "cmdUpdateFreq",   "txtIP",        "txtPort",
                               "cmbFreqDet", "cmbWideLock",     "cmbFinalLock", "cmdUpdateCP",
                               "cmbRosa",    "cmbDdsPrescaler", "chkZero",      "txtSysClk"};
    QStringList chain;
    QWidget* start = window.txtFreq();
    QWidget* widget = start;
    do {
        if (expected.contains(widget->objectName()) && !chain.contains(widget->objectName()))
            chain << widget->objectName();
        widget = widget->nextInFocusChain();
    } while (widget != start);
    QCOMPARE(chain, expected);
}

void TestMainWindow::timers_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("interval");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("tmrHBin") << "tmrHBin" << 2500 << true;
    QTest::newRow("tmrHBout") << "tmrHBout" << 500 << true;
    QTest::newRow("tmrZero") << "tmrZero" << 500 << false;
}

void TestMainWindow::timers()
{
    QFETCH(QString, name);
    QFETCH(int, interval);
    QFETCH(bool, enabled);
    formMain window(*m_registry);
    auto* timer = window.findChild<QtTimer*>(name);
    QVERIFY(timer);
    // The QTimer that the adapter drives.
    const auto* qtimer = timer->findChild<QTimer*>();
    QVERIFY(qtimer);
    QCOMPARE(qtimer->interval(), interval);
    QCOMPARE(timer->isEnabled(), enabled);
}

void TestMainWindow::windowAndDecorations()
{
    formMain window(*m_registry);
    QCOMPARE(window.windowTitle(), QStringLiteral("Quillon Test"));
    QCOMPARE(window.size(), QSize(4560 / 15, 4785 / 15));
    QCOMPARE(window.minimumSize(), window.maximumSize()); // fixed single border
    const Qt::WindowFlags flags = window.windowFlags();
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!window.windowIcon().isNull());
    // Our own 32 x 32 icon of at most 16 colours.
    QCOMPARE(window.windowIcon().availableSizes(), QList<QSize>{QSize(32, 32)});
    const QImage icon = window.windowIcon().pixmap(QSize(32, 32)).toImage();
    QSet<QRgb> colours;
    for (int y = 0; y < icon.height(); ++y) {
        for (int x = 0; x < icon.width(); ++x)
            colours.insert(icon.pixel(x, y));
    }
    QVERIFY2(colours.size() > 2 && colours.size() <= 16,
             qPrintable(QString::number(colours.size())));

    // The address box starts light red: 0xC0C0FF in the platform's BGR order.
    QCOMPARE(window.txtIP()->palette().color(QPalette::Base), QColor(255, 192, 192));

    QCOMPARE(window.findChild<QWidget*>("cmdUpdateFreq")->toolTip(),
             QStringLiteral("Set frequency, prescalers and CP currents."));
    QCOMPARE(window.findChild<QWidget*>("chkZero")->toolTip(),
             QStringLiteral("To prevent locking on the wrong slope, forces laser to scan out "
                            "from near zero."));
    QVERIFY(!window.findChild<QCheckBox*>("chkZero")->isChecked());

    // Bold captions on the outer frames, the default weight on the inner ones.
    for (const char* name :
         {"Frame1", "Frame2", "Frame3", "Frame9", "Frame13", "Frame14", "Frame19"})
        QVERIFY2(kit::captionFace(window.findChild<QGroupBox*>(name)).bold(), name);
    for (const char* name : {"Frame10", "Frame11", "Frame12"})
        QVERIFY2(!kit::captionFace(window.findChild<QGroupBox*>(name)).bold(), name);
    // Whatever the caption, the controls inside are in the regular face.
    for (const QWidget* control : window.findChildren<QWidget*>()) {
        if (!qobject_cast<const QGroupBox*>(control) && !qobject_cast<const QPushButton*>(control))
            QVERIFY2(control->font() == kit::regularFont(), qPrintable(control->objectName()));
    }
}

// The frame alone, without the controls inside it.
QImage renderFrame(QGroupBox* frame)
{
    QImage image(frame->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    frame->render(&image, QPoint(), QRegion(), QWidget::DrawWindowBackground);
    return image;
}

void TestMainWindow::innerFramesLookOn()
{
    // The charge-pump frame is off and greys what it holds; its three inner
    // frames are on and look it, while their lists stay off.
    formMain window(*m_registry);
    for (const char* name : {"Frame10", "Frame11", "Frame12"}) {
        auto* inner = window.findChild<QGroupBox*>(name);
        QVERIFY2(inner, name);
        QWidget container;
        QGroupBox reference(inner->title(), &container);
        reference.setFont(inner->font());
        reference.resize(inner->size());
        QCOMPARE(renderFrame(inner), renderFrame(&reference));
        // The comparison sees greying: a frame that is off looks different.
        reference.setEnabled(false);
        QVERIFY(renderFrame(inner) != renderFrame(&reference));

        const auto lists = inner->findChildren<QComboBox*>();
        QCOMPARE(lists.size(), 1);
        QVERIFY(!lists.first()->isEnabled());
    }
}

void TestMainWindow::firstStart()
{
    // Loopback and a port nothing listens on: the link stays down, which is
    // all this test needs. Everything else is as on a first run.
    quillon::settings::MiscFunctions::WriteSetting(*m_registry, registry::HKeyLocalMachine,
                                                   "SOFTWARE\\Oxwell\\Quillon", "IP Address",
                                                   "127.0.0.1");
    quillon::app::Options options;
    options.port = "1";
    formMain window(*m_registry, options);
    window.Form_Load();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    QCOMPARE(window.findChild<QLabel*>("lblRev")->text(), QStringLiteral("Rev:1.0.8"));
    QCOMPARE(window.findChild<QComboBox*>("cmbFreqDet")->currentIndex(), 1);
    QCOMPARE(window.findChild<QComboBox*>("cmbWideLock")->currentIndex(), 1);
    QCOMPARE(window.findChild<QComboBox*>("cmbFinalLock")->currentIndex(), 1);
    QCOMPARE(window.cmbDdsPrescaler()->currentIndex(), 1);
    QCOMPARE(window.cmbRosa()->currentIndex(), 1);
    QCOMPARE(window.lblLaserFreq()->text(), QStringLiteral("Laser offset = 394.88MHz"));
    // The whole readout shows, not just the label's design-time width.
    QVERIFY2(window.lblLaserFreq()->width() >= window.lblLaserFreq()->sizeHint().width(),
             qPrintable(QString::number(window.lblLaserFreq()->width()) + " < " +
                        QString::number(window.lblLaserFreq()->sizeHint().width())));
    QCOMPARE(window.txtFreq()->text(), QStringLiteral("12.34"));
    QCOMPARE(window.txtSysClk()->text(), QStringLiteral("983.04"));
    QCOMPARE(QApplication::focusWidget(), window.txtFreq());

    // The prescaler actions ran during the restore and saved both choices.
    for (const char* name : {"DDS Prescaler", "Rosa Prescaler"}) {
        registry::Key key = 0;
        QCOMPARE(m_registry->openKey(registry::HKeyLocalMachine, "SOFTWARE\\Oxwell\\Quillon", 0,
                                     0x2003F, key),
                 registry::Success);
        std::uint8_t data[16] = {};
        std::uint32_t size = sizeof data;
        registry::ValueType type = 0;
        QCOMPARE(m_registry->queryValue(key, name, &type, data, &size), registry::Success);
        QCOMPARE(type, registry::RegSz);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(data), int(size)), QByteArray("1"));
        m_registry->closeKey(key);
    }
}

void TestMainWindow::formFaceIsTheFirstInstalledPreference()
{
    // Away from Windows the preferences start with "MS Sans Serif"; the form
    // asks for the first of them that is installed, and for that face alone.
    const QStringList preferences{"MS Sans Serif", "Microsoft Sans Serif", "DejaVu Sans",
                                  "Liberation Sans"};
    const QStringList installed = QFontDatabase::families();
    const auto first = std::find_if(preferences.begin(), preferences.end(), [&](const QString& f) {
        return installed.contains(f, Qt::CaseInsensitive);
    });
    if (first == preferences.end())
        QSKIP("none of the preferred faces is installed");
    const formMain window(*m_registry);
    QCOMPARE(window.font().families(), QStringList{*first});
    QCOMPARE(QFontInfo(window.font()).family().toLower(), first->toLower());
}

void TestMainWindow::traceFollowsTheRuleAtStart_data()
{
    QTest::addColumn<bool>("onAtStart");
    QTest::newRow("off: the link formats nothing") << false;
    QTest::newRow("on") << true;
}

void TestMainWindow::traceFollowsTheRuleAtStart()
{
    QFETCH(bool, onAtStart);
    const QString on = QStringLiteral("quillon.link.debug=true");
    if (onAtStart)
        QLoggingCategory::setFilterRules(on);
    quillon::settings::MiscFunctions::WriteSetting(*m_registry, registry::HKeyLocalMachine,
                                                   "SOFTWARE\\Oxwell\\Quillon", "IP Address",
                                                   "127.0.0.1");
    quillon::app::Options options;
    options.port = "1"; // refused at once
    formMain window(*m_registry, options);
    // A rule switched on only now finds a link that was given no trace.
    QLoggingCategory::setFilterRules(on);
    g_trace.clear();
    g_previous = qInstallMessageHandler(capture);
    window.Form_Load();
    qInstallMessageHandler(g_previous);
    QLoggingCategory::setFilterRules(QString());
    QCOMPARE(g_trace.contains(QStringLiteral("connect to 127.0.0.1 port 1")), onAtStart);
    QCOMPARE(g_trace.isEmpty(), !onAtStart);
}

QTEST_MAIN(TestMainWindow)
#include "main_window_test.moc"

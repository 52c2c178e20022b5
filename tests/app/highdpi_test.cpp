// The window on a high-density screen. CTest runs this file at the scale
// factors 1, 1.5 and 2 (QT_SCALE_FACTOR): positions and sizes come from twips
// through logical pixels, so the layout keeps its proportions, and no caption,
// title or readout may be cut off at any of them.
//
// With QUILLON_SCREENSHOT=FILE set, screenshot() saves the window's render to
// FILE: that is how the README's pictures are made.

#include "app/main_window.h"
#include "app/widgetkit.h"
#include "settings/miscfunctions.h"
#include "tests/support/memoryregistry.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOption>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using quillon::app::formMain;
namespace kit = quillon::app::kit;
namespace registry = quillon::registry;

namespace {

// Where the widget's text is drawn, in the widget's coordinates, as the style
// lays it out; an empty rectangle for widgets without a caption of their own.
struct TextArea
{
    QString text;
    QRect area;
    QFont face; // the face it is drawn in
};

TextArea textArea(QWidget* widget)
{
    QStyle* style = widget->style();
    if (auto* label = qobject_cast<QLabel*>(widget))
        return {label->text(), label->contentsRect(), label->font()};
    if (auto* box = qobject_cast<QCheckBox*>(widget)) {
        QStyleOptionButton option;
        option.initFrom(box);
        option.text = box->text();
        option.iconSize = box->iconSize();
        return {box->text(), style->subElementRect(QStyle::SE_CheckBoxContents, &option, box),
                box->font()};
    }
    if (auto* push = qobject_cast<QPushButton*>(widget)) {
        QStyleOptionButton option;
        option.initFrom(push);
        option.text = push->text();
        option.features = QStyleOptionButton::None;
        return {push->text(), style->subElementRect(QStyle::SE_PushButtonContents, &option, push),
                push->font()};
    }
    if (auto* frame = qobject_cast<QGroupBox*>(widget)) {
        // The style sizes the title's rectangle to the text; a title too long
        // for its frame shows as a rectangle reaching past the frame's edge.
        QStyleOptionGroupBox option;
        option.initFrom(frame);
        option.fontMetrics = QFontMetrics(kit::captionFace(frame), frame);
        option.text = frame->title();
        option.lineWidth = 1;
        option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        option.textAlignment = frame->alignment();
        const QRect title =
            style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, frame);
        return {frame->title(), title.intersected(frame->rect()), kit::captionFace(frame)};
    }
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        QStyleOptionFrame option;
        option.initFrom(edit);
        option.lineWidth = style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
        const QMargins margins = edit->textMargins();
        // QLineEdit keeps a further two pixels clear on each side.
        return {edit->text(),
                style->subElementRect(QStyle::SE_LineEditContents, &option, edit)
                    .marginsRemoved(margins)
                    .adjusted(2, 0, -2, 0),
                edit->font()};
    }
    if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        QStyleOptionComboBox option;
        option.initFrom(combo);
        option.currentText = combo->currentText();
        option.editable = combo->isEditable();
        return {combo->currentText(),
                style->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField,
                                      combo),
                combo->font()};
    }
    return {QString(), QRect(), widget->font()};
}

} // namespace

class TestHighDpi : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void scaleFactorApplies();
    void proportionsKept_data();
    void proportionsKept();
    void nothingClipped_data();
    void nothingClipped();
    void screenshot();

private:
    std::unique_ptr<formMain> startWindow(const char* port);

    std::unique_ptr<registry::MemoryRegistry> m_registry;
};

void TestHighDpi::init()
{
    // Loopback only: the panel connects at start-up to the saved address.
    m_registry = std::make_unique<registry::MemoryRegistry>();
    quillon::settings::MiscFunctions::WriteSetting(*m_registry, registry::HKeyLocalMachine,
                                                   "SOFTWARE\\Oxwell\\Quillon", "IP Address",
                                                   "127.0.0.1");
}

void TestHighDpi::cleanup()
{
    m_registry.reset();
}

std::unique_ptr<formMain> TestHighDpi::startWindow(const char* port)
{
    quillon::app::Options options;
    options.port = port;
    auto window = std::make_unique<formMain>(*m_registry, options);
    window->Form_Load();
    if (!QTest::qWaitForWindowExposed(window.get()))
        return nullptr;
    return window;
}

void TestHighDpi::scaleFactorApplies()
{
    // Without this the other tests would pass at scale 1 whatever CTest asked.
    const double wanted = qEnvironmentVariableIsSet("QT_SCALE_FACTOR")
                              ? qEnvironmentVariable("QT_SCALE_FACTOR").toDouble()
                              : 1.0;
    const auto window = startWindow("1");
    QVERIFY(window);
    QCOMPARE(window->devicePixelRatioF(), wanted);
    // The render has the device pixels of the whole window.
    const QPixmap render = window->grab();
    QCOMPARE(render.width(), qRound(304 * wanted));
    QCOMPARE(render.height(), qRound(319 * wanted));
}

void TestHighDpi::proportionsKept_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("twips");
    // One control of each kind and depth; main_window_test checks every one at
    // scale 1.
    QTest::newRow("Frame13") << "Frame13" << QRect(105, 1050, 2685, 1305);
    QTest::newRow("txtFreq") << "txtFreq" << QRect(240, 240, 1200, 375);
    QTest::newRow("cmbFinalLock") << "cmbFinalLock" << QRect(120, 240, 975, 315);
    QTest::newRow("Frame19") << "Frame19" << QRect(2880, 3960, 1590, 735);
    QTest::newRow("chkZero") << "chkZero" << QRect(210, 945, 2055, 195);
    QTest::newRow("lblRev") << "lblRev" << QRect(120, 4500, 660, 195);
}

void TestHighDpi::proportionsKept()
{
    QFETCH(QString, name);
    QFETCH(QRect, twips);
    const auto window = startWindow("1");
    QVERIFY(window);
    // Logical pixels are the same at every scale: the window is 304 x 319 and
    // each control where its twips put it, so the device picture is the
    // 96-dpi layout magnified.
    QCOMPARE(window->size(), QSize(304, 319));
    auto* widget = window->findChild<QWidget*>(name);
    QVERIFY(widget);
    QCOMPARE(widget->pos(), QPoint(twips.left() / 15, twips.top() / 15));
    QCOMPARE(widget->height(), twips.height() / 15);
    // Labels may only grow to fit their caption.
    if (qobject_cast<QLabel*>(widget))
        QVERIFY(widget->width() >= twips.width() / 15);
    else
        QCOMPARE(widget->width(), twips.width() / 15);
}

void TestHighDpi::nothingClipped_data()
{
    QTest::addColumn<QString>("frequency");
    QTest::addColumn<int>("ddsIndex");
    QTest::addColumn<int>("rosaIndex");
    QTest::addColumn<QString>("readout");
    // The first start's readout, the longest the prescalers give for the
    // initial frequency, a negative offset and a whole number.
    QTest::newRow("first start") << "12.34" << 1 << 1 << "Laser offset = 394.88MHz";
    QTest::newRow("largest prescalers") << "12.34" << 2 << 3 << "Laser offset = 3159.04MHz";
    QTest::newRow("negative") << "-12.34" << 1 << 1 << "Laser offset =-394.88MHz";
    QTest::newRow("whole number") << "400" << 2 << 3 << "Laser offset = 102400MHz";
}

void TestHighDpi::nothingClipped()
{
    QFETCH(QString, frequency);
    QFETCH(int, ddsIndex);
    QFETCH(int, rosaIndex);
    QFETCH(QString, readout);

    const auto window = startWindow("1");
    QVERIFY(window);
    window->txtFreq()->setText(frequency);
    window->cmbDdsPrescaler()->setCurrentIndex(ddsIndex);
    window->cmbRosa()->setCurrentIndex(rosaIndex);
    QCOMPARE(window->lblLaserFreq()->text(), readout);

    int checked = 0;
    const QList<QWidget*> widgets = window->findChildren<QWidget*>();
    for (QWidget* widget : widgets) {
        const TextArea area = textArea(widget);
        if (area.text.isEmpty())
            continue;
        ++checked;
        const QString where =
            widget->objectName() + QStringLiteral(" \"") + area.text + QStringLiteral("\"");
        const int advance = QFontMetrics(area.face, widget).horizontalAdvance(area.text);
        QVERIFY2(advance <= area.area.width(),
                 qPrintable(where + QStringLiteral(": text %1 px wide, room for %2 px")
                                        .arg(advance)
                                        .arg(area.area.width())));
        // A control reaching past its container's edge is cut off there.
        QWidget* container = widget->parentWidget();
        QVERIFY2(container->rect().contains(widget->geometry()),
                 qPrintable(where + QStringLiteral(" reaches past ") + container->objectName()));
    }
    // Ten frames, two buttons, the check box, two labels, four text boxes and
    // five lists with a position.
    QCOMPARE(checked, 24);
}

void TestHighDpi::screenshot()
{
    const QString path = qEnvironmentVariable("QUILLON_SCREENSHOT");
    if (path.isEmpty())
        QSKIP("QUILLON_SCREENSHOT names no file");
    // With an instrument on loopback, so the picture shows the link up.
    QTcpServer instrument;
    QVERIFY(instrument.listen(QHostAddress::LocalHost, 0));
    const QByteArray port = QByteArray::number(instrument.serverPort());
    const auto window = startWindow(port.constData());
    QVERIFY(window);
    QTRY_COMPARE(window->txtIP()->palette().color(QPalette::Base), QColor(Qt::white));
    // The picture shows the instrument's own port, not the test server's.
    window->txtPort()->setText(QStringLiteral("1111"));
    QVERIFY(window->grab().save(path));
}

QTEST_MAIN(TestHighDpi)
#include "highdpi_test.moc"

// bench-bare-widgets: the start-up and footprint baseline of scripts/bench.
// A bare Qt Widgets window with the panel's kinds and number of controls
// (ten group boxes, four line edits, five combo boxes, two push buttons, two
// labels, one check box: 24), the panel's client size and nothing else: no
// settings, no logic. What the panel costs beyond this is its own.
//
// With BENCH_BEAT_ADDRESS=HOST:PORT it also does the least a link can do: once
// shown it connects, writes the seven-message connect sequence and then one
// byte every 500 ms from a precise QTimer, never reading what comes back. That
// is the baseline of the heartbeat, connect and footprint figures. Enter in
// its first line edit then writes the nine bytes of an Update at once: the
// baseline of the key-to-wire figure that takes the same path through the X
// server and Qt's key handling.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpSocket>
#include <QTimer>
#include <QWidget>

namespace {

template <typename T> T* place(T* widget, int left, int top, int width, int height)
{
    widget->setGeometry(left, top, width, height);
    return widget;
}

QComboBox* combo(QWidget* parent, std::initializer_list<const char*> items, int left, int top)
{
    auto* box = place(new QComboBox(parent), left, top, 65, 21);
    for (const char* item : items)
        box->addItem(QString::fromUtf8(item));
    box->setCurrentIndex(1);
    return box;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare Widgets"));
    window.setFixedSize(304, 319);
    // Beside the panel, not over it: the benchmark clicks and types into the
    // panel, and there is no window manager to raise it.
    window.move(640, 360);

    auto* freq = place(new QGroupBox(QStringLiteral("Frequency"), &window), 7, 70, 179, 87);
    auto* freqText = place(new QLineEdit(QStringLiteral("12.34"), freq), 16, 16, 80, 25);
    place(new QPushButton(QStringLiteral("Update"), freq), 100, 16, 60, 25);
    place(new QLabel(QStringLiteral("Laser f"), freq), 16, 45, 56, 13);
    place(new QCheckBox(QStringLiteral("First"), freq), 14, 63, 137, 13);

    auto* address = place(new QGroupBox(QStringLiteral("Address"), &window), 8, 8, 121, 49);
    place(new QLineEdit(QStringLiteral("127.0.0.1"), address), 16, 16, 97, 25);
    auto* port = place(new QGroupBox(QStringLiteral("Port"), &window), 128, 8, 63, 49);
    place(new QLineEdit(QStringLiteral("1111"), port), 7, 16, 49, 25);

    auto* currents = place(new QGroupBox(QStringLiteral("Currents"), &window), 196, 8, 104, 193);
    auto* a = place(new QGroupBox(QStringLiteral("A"), currents), 8, 16, 81, 41);
    combo(a, {"OFF", "X20", "X40", "X60"}, 8, 16);
    auto* b = place(new QGroupBox(QStringLiteral("B"), currents), 8, 64, 81, 41);
    combo(b, {"OFF", "X2", "X4", "X6", "X8", "X10", "X12", "X14"}, 8, 16);
    auto* c = place(new QGroupBox(QStringLiteral("C"), currents), 8, 112, 81, 41);
    combo(c, {"OFF", "X1", "X2", "X3", "X4"}, 8, 16);
    place(new QPushButton(QStringLiteral("Update"), currents), 16, 160, 57, 25);

    auto* first = place(new QGroupBox(QStringLiteral("First"), &window), 192, 264, 106, 49);
    combo(first, {"/8", "/16", "/32", "/64"}, 16, 20);
    auto* second = place(new QGroupBox(QStringLiteral("Second"), &window), 192, 208, 106, 49);
    combo(second, {"/1", "/2", "/4"}, 16, 20);
    auto* clock = place(new QGroupBox(QStringLiteral("Clock"), &window), 7, 168, 130, 50);
    place(new QLineEdit(QStringLiteral("983.04"), clock), 16, 16, 80, 25);
    place(new QLabel(QStringLiteral("Revision:"), &window), 8, 300, 44, 13);

    window.show();

    QTcpSocket socket;
    QTimer beat;
    const QByteArray target = qgetenv("BENCH_BEAT_ADDRESS");
    if (!target.isEmpty()) {
        const QList<QByteArray> parts = target.split(':');
        socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        beat.setTimerType(Qt::PreciseTimer);
        beat.setInterval(500);
        QObject::connect(&beat, &QTimer::timeout, &socket, [&socket] { socket.write("\x7f", 1); });
        QObject::connect(&socket, &QTcpSocket::connected, &socket, [&socket, &beat] {
            socket.write(QByteArray::fromHex("a001a603a96100b001a802af01a300"));
            beat.start();
        });
        QObject::connect(freqText, &QLineEdit::returnPressed, &socket,
                         [&socket] { socket.write(QByteArray::fromHex("a500aaaa3603a2a700")); });
        socket.connectToHost(QString::fromLatin1(parts.value(0)), parts.value(1).toUShort());
    }
    return app.exec();
}

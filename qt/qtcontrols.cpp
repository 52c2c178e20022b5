#include "qt/qtcontrols.h"

#include "base/failure.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QSignalBlocker>
#include <QTimer>
#include <QWidget>

#include <cmath>

namespace quillon::qt {

namespace {
QString toQString(const std::string& text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}
std::string toStdString(const QString& text)
{
    return text.toUtf8().toStdString();
}

int shiftState(Qt::KeyboardModifiers modifiers)
{
    int shift = 0;
    if (modifiers & Qt::ShiftModifier)
        shift |= 1;
    if (modifiers & Qt::ControlModifier)
        shift |= 2;
    if (modifiers & Qt::AltModifier)
        shift |= 4;
    return shift;
}

// The platform's key codes for the keys a handler may look at; letters and
// digits have the same codes as Qt's, everything else that no handler uses is 0.
int keyCode(int qtKey)
{
    switch (qtKey) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return kKeyEnter;
    case Qt::Key_Escape:
        return 27;
    case Qt::Key_Tab:
        return 9;
    case Qt::Key_Backspace:
        return 8;
    case Qt::Key_Space:
        return 32;
    default:
        break;
    }
    if ((qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) || (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9))
        return qtKey;
    return 0;
}
} // namespace

QColor toQColor(Colour colour)
{
    return QColor(int(colour & 0xFF), int((colour >> 8) & 0xFF), int((colour >> 16) & 0xFF));
}

Colour fromQColor(const QColor& colour)
{
    return Colour(colour.red()) | (Colour(colour.green()) << 8) | (Colour(colour.blue()) << 16);
}

// --- text box

QtTextBox::QtTextBox(QLineEdit* edit)
    : QObject(edit), m_edit(edit), m_colour(fromQColor(edit->palette().color(QPalette::Base)))
{
    // textChanged is emitted synchronously inside setText, which gives the
    // nested Change handling for texts set from code as well as typed ones.
    connect(edit, &QLineEdit::textChanged, this, [this] {
        if (m_change)
            m_change();
    });
    edit->installEventFilter(this);
}

std::string QtTextBox::text() const
{
    return toStdString(m_edit->text());
}

void QtTextBox::setText(const std::string& text)
{
    const QString next = toQString(text);
    if (next != m_edit->text())
        m_edit->setText(next);
}

Colour QtTextBox::backColour() const
{
    return m_colour;
}

void QtTextBox::setBackColour(Colour colour)
{
    m_colour = colour;
    QPalette palette = m_edit->palette();
    palette.setColor(QPalette::Base, toQColor(colour));
    m_edit->setPalette(palette);
}

bool QtTextBox::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_edit) {
        if (event->type() == QEvent::KeyPress && m_keyDown) {
            const auto* key = static_cast<QKeyEvent*>(event);
            m_keyDown(keyCode(key->key()), shiftState(key->modifiers()));
        } else if (event->type() == QEvent::FocusOut && m_lostFocus) {
            const auto reason = static_cast<QFocusEvent*>(event)->reason();
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
                m_lostFocus();
        }
    }
    return QObject::eventFilter(watched, event);
}

// --- list

QtListBox::QtListBox(QComboBox* combo) : QObject(combo), m_combo(combo)
{
    // Changes made from code are announced by setListIndex itself, with the
    // combo's signals blocked, so this sees only the operator's picks.
    connect(combo, &QComboBox::currentIndexChanged, this, [this] {
        if (m_click)
            m_click();
    });
}

int QtListBox::listIndex() const
{
    return m_combo->currentIndex();
}

void QtListBox::setListIndex(int index)
{
    if (index < -1 || index >= m_combo->count())
        throw Failure("list position out of range");
    {
        const QSignalBlocker blocker(m_combo);
        m_combo->setCurrentIndex(index);
    }
    if (m_click)
        m_click();
}

std::string QtListBox::itemText(int index) const
{
    if (index < 0 || index >= m_combo->count())
        throw Failure("list position out of range");
    return toStdString(m_combo->itemText(index));
}

// --- check box and label

bool QtCheckBox::isTicked() const
{
    return m_box->checkState() != Qt::Unchecked;
}

std::string QtLabel::caption() const
{
    return toStdString(m_label->text());
}

void QtLabel::setCaption(const std::string& caption)
{
    m_label->setText(toQString(caption));
    // A caption longer than the label's design-time width grows it to the
    // right, where its frame leaves room, rather than being cut off.
    const int wanted = m_label->sizeHint().width();
    if (wanted > m_label->width())
        m_label->resize(wanted, m_label->height());
}

// --- timer

QtTimer::QtTimer(int intervalMs, bool enabled, QObject* parent)
    : QObject(parent), m_timer(new QTimer(this))
{
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setInterval(intervalMs);
    connect(m_timer, &QTimer::timeout, this, [this] {
        if (m_tick)
            m_tick();
    });
    if (enabled)
        m_timer->start();
}

bool QtTimer::isEnabled() const
{
    return m_timer->isActive();
}

void QtTimer::setEnabled(bool enabled)
{
    if (enabled)
        m_timer->start(); // (re)starts a full interval
    else
        m_timer->stop();
}

// --- window

TwipsRect QtWindow::frame() const
{
    const QRect r = m_window->frameGeometry();
    return {float(r.x() * kTwipsPerPixel), float(r.y() * kTwipsPerPixel),
            float(r.width() * kTwipsPerPixel), float(r.height() * kTwipsPerPixel)};
}

bool QtWindow::positionKnown() const
{
    // Decided by the platform plugin Qt actually runs on, not guessed from
    // the session's environment. Qt reports no capability for it (its
    // Wayland plugin claims window management like any other), so the
    // platforms whose protocol gives a client no position are named:
    // "wayland", and the variants of it such as "wayland-egl".
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

void QtWindow::setLeft(float left)
{
    const QRect r = m_window->frameGeometry();
    m_window->move(int(std::lround(left / kTwipsPerPixel)), r.y());
}

void QtWindow::setTop(float top)
{
    const QRect r = m_window->frameGeometry();
    m_window->move(r.x(), int(std::lround(top / kTwipsPerPixel)));
}

float QtWindow::screenWidth() const
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? float(screen->geometry().width() * kTwipsPerPixel) : 0.0f;
}

float QtWindow::screenHeight() const
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? float(screen->geometry().height() * kTwipsPerPixel) : 0.0f;
}

bool QtWindow::titleBarOnAScreen(const TwipsRect& frame) const
{
    // The strip the operator grabs to move the window: the frame's top edge
    // down to the client area, at least 20 pixels even where no window manager
    // draws a title bar.
    const QRect outer = m_window->frameGeometry();
    const QRect inner = m_window->geometry();
    const int barHeight = std::max(20, inner.y() - outer.y());
    const QRect bar(int(std::lround(frame.left / kTwipsPerPixel)),
                    int(std::lround(frame.top / kTwipsPerPixel)),
                    int(std::lround(frame.width / kTwipsPerPixel)), barHeight);
    // Enough of it must be visible to grab: 40 pixels, or all of a narrower one.
    const int enough = std::min(40, bar.width());
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect visible = screen->geometry().intersected(bar);
        if (visible.width() >= enough && visible.height() >= std::min(barHeight, 8))
            return true;
    }
    return false;
}

} // namespace quillon::qt

#include "app/widgetkit.h"

#include "qt/qtcontrols.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QStylePainter>

#include <algorithm>

// The icon's picture, compiled in: an XPM file is C.
#include "app/resources/quillon.xpm"

namespace quillon::app::kit {

using qt::kTwipsPerPixel;

namespace {

// The faces the form was drawn for, in order of preference, narrowed to the
// first that this machine has. Given the whole list, Qt asks the system's
// font configuration about every face missing before that one, again for
// each size and weight: a tenth of the form's construction where the first
// faces are Windows' own.
const QStringList& sansFaces()
{
    static const QStringList faces = [] {
#if defined(Q_OS_WIN)
        // On Windows "MS Sans Serif" is a bitmap face with a few fixed sizes,
        // drawn by GDI here: at 125 to 200 % scaling the sizes asked for are
        // not among them. "Microsoft Sans Serif" is the TrueType face of the
        // same design and metrics, on every Windows this runs on.
        const QStringList wanted{QStringLiteral("Microsoft Sans Serif"),
                                 QStringLiteral("MS Sans Serif")};
#else
        const QStringList wanted{QStringLiteral("MS Sans Serif"),
                                 QStringLiteral("Microsoft Sans Serif"),
                                 QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")};
#endif
        const QStringList installed = QFontDatabase::families();
        for (const QString& face : wanted) {
            if (installed.contains(face, Qt::CaseInsensitive))
                return QStringList{face};
        }
        return wanted;
    }();
    return faces;
}

QFont sansFont(int pixelSize, bool bold)
{
    QFont font;
    font.setFamilies(sansFaces());
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

const QFont& frameFont()
{
    static const QFont font = sansFont(11, true); // 8.25 pt at 96 dpi
    return font;
}

const QFont& buttonFont()
{
    static const QFont font = sansFont(13, false); // 9.75 pt at 96 dpi
    return font;
}

// A frame. Its caption is drawn in its own face (bold on the window's frames)
// while the frame itself keeps the window's regular face, so that the
// controls inside inherit that face as they are made: a face set on a control
// makes it lay out again, and makes a list build its drop-down at once.
//
// A live frame is one that is itself on inside a frame that is off (the
// charge-pump frame's three inner frames). Qt greys every child of a disabled
// widget; this one draws its border and caption as an enabled frame does,
// while the disabled container still keeps all input from the controls inside
// it.
class Frame : public QGroupBox
{
public:
    Frame(const QString& caption, const QFont& captionFace, bool live, QWidget* parent)
        : QGroupBox(caption, parent), m_captionFace(captionFace), m_live(live)
    {}

    const QFont& captionFace() const { return m_captionFace; }

    // The style's view of the frame, with the caption measured in its face.
    void initCaptionOption(QStyleOptionGroupBox* option) const
    {
        initStyleOption(option);
        option->fontMetrics = QFontMetrics(m_captionFace, this);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QStylePainter painter(this);
        painter.setFont(m_captionFace);
        QStyleOptionGroupBox option;
        initCaptionOption(&option);
        if (m_live) {
            option.state |= QStyle::State_Enabled;
            option.palette.setCurrentColorGroup(isActiveWindow() ? QPalette::Active
                                                                 : QPalette::Inactive);
            // The caption's colour was taken from the disabled palette.
            option.textColor = QColor::fromRgba(static_cast<QRgb>(
                style()->styleHint(QStyle::SH_GroupBox_TextLabelColor, &option, this)));
        }
        painter.drawComplexControl(QStyle::CC_GroupBox, option);
    }

private:
    QFont m_captionFace;
    bool m_live;
};

// The width a frame needs to show its whole caption, where the style puts
// it, with as much room after it as before it; its own width when the caption
// fits already.
int wholeCaptionWidth(const Frame* box)
{
    QStyleOptionGroupBox option;
    box->initCaptionOption(&option);
    option.lineWidth = 1;
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const QRect caption =
        box->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
    if (caption.right() <= box->rect().right())
        return box->width();
    return caption.right() + 1 + caption.left();
}

// Controls take the regular face from the frame they are in; it is set only
// where that frame's face is another.
void useRegularFace(QWidget* control)
{
    if (control->parentWidget()->font() != regularFont())
        control->setFont(regularFont());
}

} // namespace

void place(QWidget* widget, int left, int top, int width, int height)
{
    widget->setGeometry(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
                        height / kTwipsPerPixel);
}

QIcon panelIcon()
{
    // Made from the picture in memory: a picture opened as a file (even a
    // resource) makes Qt look through every image plugin installed before it
    // reads one, which cost more of the start-up than all the settings.
    return QIcon(QPixmap(quillon_xpm));
}

QFont regularFont()
{
    return sansFont(11, false);
}

QGroupBox* frame(QWidget* parent, const char* name, const QString& caption, bool boldFont, int left,
                 int top, int width, int height, bool liveInDisabledFrame)
{
    auto* box =
        new Frame(caption, boldFont ? frameFont() : regularFont(), liveInDisabledFrame, parent);
    box->setObjectName(QLatin1String(name));
    useRegularFace(box);
    place(box, left, top, width, height);
    // A caption wider than the frame, in a face wider than the one the table
    // was drawn for (Windows without "MS Sans Serif", such as Wine), grows
    // the frame to the right, as a label grows for its caption, rather than
    // being cut off; a frame that would then reach past its container's right
    // edge moves left by as much.
    const int wanted = wholeCaptionWidth(box);
    if (wanted > box->width()) {
        const int overflow = std::max(0, box->x() + wanted - parent->width());
        box->setGeometry(box->x() - overflow, box->y(), wanted, box->height());
    }
    return box;
}

QFont captionFace(const QGroupBox* frame)
{
    const auto* own = dynamic_cast<const Frame*>(frame);
    return own != nullptr ? own->captionFace() : frame->font();
}

QLineEdit* textBox(QWidget* parent, const char* name, const QString& text, int left, int top,
                   int width, int height)
{
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(QLatin1String(name));
    useRegularFace(edit);
    place(edit, left, top, width, height);
    return edit;
}

QComboBox* list(QWidget* parent, const char* name, const QStringList& entries, int left, int top,
                int width, int height)
{
    auto* combo = new QComboBox(parent);
    combo->setObjectName(QLatin1String(name));
    // One that inherits the face builds its drop-down when first opened, in
    // that face.
    useRegularFace(combo);
    combo->setEditable(false); // pick only: the operator cannot type into it
    combo->addItems(entries);
    combo->setCurrentIndex(-1); // created with no entry selected
    place(combo, left, top, width, height);
    return combo;
}

QPushButton* button(QWidget* parent, const char* name, const QString& caption, int left, int top,
                    int width, int height)
{
    auto* push = new QPushButton(caption, parent);
    push->setObjectName(QLatin1String(name));
    push->setFont(buttonFont());
    push->setAutoDefault(false);
    place(push, left, top, width, height);
    return push;
}

QLabel* label(QWidget* parent, const char* name, const QString& caption, int left, int top,
              int width, int height)
{
    auto* text = new QLabel(caption, parent);
    text->setObjectName(QLatin1String(name));
    useRegularFace(text);
    place(text, left, top, width, height);
    return text;
}

QCheckBox* checkBox(QWidget* parent, const char* name, const QString& caption, int left, int top,
                    int width, int height)
{
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(QLatin1String(name));
    useRegularFace(box);
    place(box, left, top, width, height);
    return box;
}

} // namespace quillon::app::kit

// Small widgets shared by the windows.
#include "ui/Widgets.h"

#include "core/TextUtil.h"
#include "ui/DisplayText.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QTreeView>
#include <QWindow>
#include <limits>

ElidedLabel::ElidedLabel(QWidget *parent) : QLabel(parent)
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setTextFormat(Qt::PlainText);
}

void ElidedLabel::setFullText(const QString &text)
{
    if (full_ == text)
        return;
    full_ = text;
    refresh();
}

QSize ElidedLabel::sizeHint() const
{
    return QSize(fontMetrics().averageCharWidth() * 12, QLabel::sizeHint().height());
}

QSize ElidedLabel::minimumSizeHint() const
{
    return QSize(0, fontMetrics().height());
}

void ElidedLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    refresh();
}

void ElidedLabel::refresh()
{
    // Control characters would start new lines or draw as boxes; one line is wanted here.
    QString shown = full_;
    for (QChar &c : shown)
        if (IsControlChar(c.unicode()))
            c = u' ';
    const int room = std::max(0, contentsRect().width());
    QLabel::setText(fontMetrics().elidedText(shown, Qt::ElideRight, room));
    setToolTip(fontMetrics().horizontalAdvance(shown) > room ? full_ : QString());
}

void PictureLabel::mouseReleaseEvent(QMouseEvent *event)
{
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}

QLineEdit *NamedField(const char *name)
{
    auto *edit = new QLineEdit;
    edit->setObjectName(QLatin1String(name));
    // Stored texts have no length limit; the field must not cut them.
    edit->setMaxLength(std::numeric_limits<int>::max());
    return edit;
}

namespace {
constexpr char StoredBytesProperty[] = "storedBytes";
}

void SetFieldBytes(QLineEdit *edit, const QByteArray &bytes)
{
    edit->setText(DisplayText(bytes));
    edit->setProperty(StoredBytesProperty, bytes);
}

QByteArray FieldBytes(const QLineEdit *edit)
{
    const QVariant stored = edit->property(StoredBytesProperty);
    if (stored.isValid() && edit->text() == DisplayText(stored.toByteArray()))
        return stored.toByteArray();
    return edit->text().toLocal8Bit();
}

QWidget *PasswordRow(QLineEdit *field)
{
    field->setEchoMode(QLineEdit::Password);
    auto *show = new QCheckBox(QStringLiteral("Show"));
    show->setObjectName(field->objectName() + QStringLiteral("Show"));
    show->setToolTip(QStringLiteral("Show the password as typed"));
    QObject::connect(show, &QCheckBox::toggled, field, [field](bool shown) {
        field->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
    });
    auto *row = new QWidget;
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(field, 1);
    layout->addWidget(show);
    row->setFocusProxy(field);
    return row;
}

QPushButton *CommandButton(const char *caption, const char *name)
{
    auto *button = new QPushButton(QString::fromLatin1(caption));
    button->setObjectName(QLatin1String(name));
    button->setAutoDefault(false);
    return button;
}

QHBoxLayout *AddressTypeRow(QRadioButton *&staticButton, QRadioButton *&dynamicButton)
{
    staticButton = new QRadioButton(QStringLiteral("Static"));
    staticButton->setObjectName(QStringLiteral("RadioButton1"));
    dynamicButton = new QRadioButton(QStringLiteral("Dynamic"));
    dynamicButton->setObjectName(QStringLiteral("RadioButton2"));
    auto *row = new QHBoxLayout;
    row->addWidget(staticButton);
    row->addWidget(dynamicButton);
    row->addStretch(1);
    return row;
}

void SetUpRowList(QTreeView *view, QAbstractItemView::SelectionMode selection)
{
    view->setRootIsDecorated(false);
    view->setUniformRowHeights(true);
    view->setAllColumnsShowFocus(true);
    view->setSelectionMode(selection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
}

QScrollArea *ScrollingPanel(QWidget *content)
{
    auto *area = new QScrollArea;
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setWidget(content);
    // The area asks for what its fields need, so the window opens at that size where it fits.
    area->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);
    return area;
}

QRect FitWithin(const QRect &wanted, const QSize &minimum, const QRect &available, const QMargins &frame)
{
    const QRect room = available.marginsRemoved(frame);
    if (room.isEmpty())
        return wanted;
    QRect fitted = wanted;
    fitted.setWidth(std::max(std::min(wanted.width(), room.width()), minimum.width()));
    fitted.setHeight(std::max(std::min(wanted.height(), room.height()), minimum.height()));
    // Inside the area; a window larger than the area keeps its top-left corner (title and first
    // fields) in view.
    fitted.moveLeft(std::max(room.left(), std::min(fitted.left(), room.right() + 1 - fitted.width())));
    fitted.moveTop(std::max(room.top(), std::min(fitted.top(), room.bottom() + 1 - fitted.height())));
    return fitted;
}

QRect CentreOver(const QSize &size, const QRect &parent, const QSize &minimum, const QRect &available,
                 const QMargins &frame)
{
    QRect wanted(QPoint(0, 0), size);
    wanted.moveCenter(parent.center());
    return FitWithin(wanted, minimum, available, frame);
}

namespace {
// The frame the window manager puts around a window: known once a window has been shown; before
// that, the frame of the window it belongs to (its parent) is the best guess.
QMargins FrameOf(const QWidget *window)
{
    for (const QWidget *w = window; w; w = w->parentWidget() ? w->parentWidget()->window() : nullptr) {
        if (const QWindow *handle = w->windowHandle()) {
            const QMargins m = handle->frameMargins();
            if (!m.isNull())
                return m;
        }
    }
    return {};
}
} // namespace

void FitOnScreen(QWidget *window, const QRect &available)
{
    QRect area = available;
    if (area.isEmpty()) {
        const QScreen *screen = window->screen();
        if (!screen)
            return;
        area = screen->availableGeometry();
    }
    const QRect fitted = FitWithin(window->geometry(), window->minimumSizeHint().expandedTo(window->minimumSize()),
                                   area, FrameOf(window));
    if (fitted != window->geometry())
        window->setGeometry(fitted);
}

QSize MinimumWindowSize(const QSize &design, const QSize &layoutMinimum, const QSize &available,
                        const QMargins &frame)
{
    if (available.isEmpty())
        return design.expandedTo(layoutMinimum);
    const QSize room(available.width() - frame.left() - frame.right(), available.height() - frame.top() - frame.bottom());
    return design.boundedTo(room).expandedTo(layoutMinimum);
}

PaceLimiter::PaceLimiter(int intervalMs, std::function<void()> action, QObject *parent)
    : QObject(parent), timer_(new QTimer(this)), action_(std::move(action))
{
    timer_->setSingleShot(true);
    timer_->setInterval(intervalMs);
    connect(timer_, &QTimer::timeout, this, &PaceLimiter::IntervalEnded);
}

void PaceLimiter::Request()
{
    if (timer_->isActive()) {
        pending_ = true;
        return;
    }
    action_();
    timer_->start();
}

void PaceLimiter::IntervalEnded()
{
    if (!pending_)
        return;
    pending_ = false;
    action_();
    timer_->start();
}

namespace {
// The dialog was centred over a window by the fitter, and may be centred again while it settles
// its size on its way to the screen.
constexpr char PlacedOverProperty[] = "placedOverParent";

// A message box takes the width its text needs, which may be too narrow for its title beside the
// window manager's buttons: a spacer as wide as the title with room for those buttons keeps the
// title whole. Added once, before the box settles its size as it is shown.
void LeaveRoomForTitle(QMessageBox *box)
{
    auto *grid = qobject_cast<QGridLayout *>(box->layout());
    if (!grid || box->property("titleRoom").toBool())
        return;
    box->setProperty("titleRoom", true);
    QFont bold = box->font();
    bold.setBold(true);
    const QFontMetrics metrics(bold);
    const int width = metrics.horizontalAdvance(box->windowTitle()) + 8 * metrics.height();
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Fixed, QSizePolicy::Minimum), grid->rowCount(), 0, 1,
                  grid->columnCount());
}

// Centres a dialog nobody placed over the window it belongs to (or the active one); else keeps it
// within its screen. Returns whether it was centred.
bool Place(QDialog *dialog)
{
    const QWidget *over = dialog->parentWidget() ? dialog->parentWidget()->window() : QApplication::activeWindow();
    const bool ours = dialog->property(PlacedOverProperty).toBool();
    if ((!dialog->testAttribute(Qt::WA_Moved) || ours) && over && over != dialog && over->isVisible() &&
        dialog->screen()) {
        const QRect placed = CentreOver(dialog->size(), over->frameGeometry(),
                                        dialog->minimumSizeHint().expandedTo(dialog->minimumSize()),
                                        dialog->screen()->availableGeometry(), FrameOf(dialog));
        dialog->setGeometry(placed);
        dialog->setProperty(PlacedOverProperty, true);
        return true;
    }
    FitOnScreen(dialog);
    return false;
}
} // namespace

bool DialogFitter::eventFilter(QObject *watched, QEvent *event)
{
    auto *dialog = qobject_cast<QDialog *>(watched);
    if (!dialog || !dialog->isWindow())
        return QObject::eventFilter(watched, event);
    if (event->type() == QEvent::Show) {
        if (!programFolder_.isEmpty()) {
            const QString named = FolderTitle(QString(), programFolder_);
            if (!dialog->windowTitle().endsWith(named))
                dialog->setWindowTitle(dialog->windowTitle() + named);
        }
        if (auto *box = qobject_cast<QMessageBox *>(dialog))
            LeaveRoomForTitle(box);
        // Placed here, before it is fitted, the dialog never opens in the screen's corner.
        dialog->setProperty(PlacedOverProperty, false);
        Place(dialog);
    } else if (event->type() == QEvent::Resize && dialog->property(PlacedOverProperty).toBool() &&
               dialog->windowHandle() && !dialog->windowHandle()->isVisible()) {
        // A dialog that settles its size as it is shown (a message box fits its text) is centred
        // again with that size, before it reaches the screen.
        Place(dialog);
    }
    return QObject::eventFilter(watched, event);
}

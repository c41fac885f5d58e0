// Small widgets shared by the windows: a one-line label that never widens its window, however
// long its text, a picture that reports clicks, and the pieces the dialogs build their forms from.
#pragma once

#include <QAbstractItemView>
#include <QLabel>
#include <QTimer>
#include <functional>

class QHBoxLayout;
class QLineEdit;
class QScrollArea;
class QPushButton;
class QRadioButton;
class QTreeView;

// Shows its text on one line, cut with an ellipsis when it does not fit; the whole text is in
// the tool tip. Its size hint does not grow with the text, so a long file name cannot push the
// window wider.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget *parent = nullptr);
    void setFullText(const QString &text);
    QString fullText() const { return full_; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void refresh();
    QString full_;
};

class PictureLabel : public QLabel {
    Q_OBJECT
public:
    explicit PictureLabel(QWidget *parent = nullptr) : QLabel(parent) {}

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};

// A text field known by its form name (Editfield1, ...).
QLineEdit *NamedField(const char *name);
// Puts stored bytes into a field for the screen and remembers them, so that a field the user
// did not change gives back exactly the bytes it was given, whatever their encoding.
void SetFieldBytes(QLineEdit *edit, const QByteArray &bytes);
// The field as bytes: the remembered bytes while its text is unchanged, else the text as typed.
QByteArray FieldBytes(const QLineEdit *edit);

// A password field: its text is masked; the "Show" box beside it (named after the field with
// "Show" added) shows the text while it is checked. The returned row goes where the field went.
QWidget *PasswordRow(QLineEdit *field);

// A command button known by its form name; Return does not press it just because it has the focus.
QPushButton *CommandButton(const char *caption, const char *name);

// The address type choice: "Static" (RadioButton1) and "Dynamic" (RadioButton2) side by side.
QHBoxLayout *AddressTypeRow(QRadioButton *&staticButton, QRadioButton *&dynamicButton);

// A flat list that shows whole rows, is selected by whole rows and is never edited in place.
void SetUpRowList(QTreeView *view, QAbstractItemView::SelectionMode selection);

// Holds a window's fields so that the window can be made smaller than they need: they scroll
// instead, while the buttons below stay in view.
QScrollArea *ScrollingPanel(QWidget *content);

// Where a window of geometry `wanted` goes within `available`: no larger than the area (but not
// smaller than `minimum`), moved inside it. `frame` is the room the window manager's frame takes.
QRect FitWithin(const QRect &wanted, const QSize &minimum, const QRect &available, const QMargins &frame = {});
// Where a window of size `size` goes when it opens over `parent` (its frame on screen): centred
// over it, then moved only as far as needed to stay within `available`.
QRect CentreOver(const QSize &size, const QRect &parent, const QSize &minimum, const QRect &available,
                 const QMargins &frame = {});
// Makes a top-level window fit within `available`, or within its screen's available area.
void FitOnScreen(QWidget *window, const QRect &available = {});
// The smallest size of a main window: its design minimum, but no larger than the screen's
// available area less the window manager's frame, and never smaller than what its layout needs.
QSize MinimumWindowSize(const QSize &design, const QSize &layoutMinimum, const QSize &available,
                        const QMargins &frame = {});

// Runs an action at once, then at most once per interval: requests that come while it waits
// are gathered into one run at the interval's end, so the last state is always shown.
class PaceLimiter : public QObject {
    Q_OBJECT
public:
    PaceLimiter(int intervalMs, std::function<void()> action, QObject *parent = nullptr);
    void Request();
    void SetInterval(int intervalMs) { timer_->setInterval(intervalMs); }
    // A run is due at the end of the interval.
    bool Pending() const { return pending_; }

private:
    void IntervalEnded();

    QTimer *timer_;
    std::function<void()> action_;
    bool pending_ = false;
};

// Installed on the application: every dialog is fitted within its screen as it is shown, so no
// button of it opens beyond the screen's edge. Given the program folder, every dialog's title
// also names the installation (FolderTitle), so that two installations are told apart.
class DialogFitter : public QObject {
    Q_OBJECT
public:
    explicit DialogFitter(QObject *parent = nullptr, const QString &programFolder = {})
        : QObject(parent), programFolder_(programFolder) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QString programFolder_;
};

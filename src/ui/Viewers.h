// The small modal windows opened from the main window: the log and message viewers, the help
// window and the about box. They take plain values (texts, the program folder) and touch no
// engine state.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTextBrowser;

// Twips (1/1440 inch) to pixels at the given dots per inch, rounded.
int TwipsToPixels(int twips, qreal dpi);

// The viewer layout: the text area at the top left, as wide as the window less 435 twips and as
// high as it less 1245 twips; the Close button's top at the height less 900 twips and its left
// edge at the width less 1410 twips. A window smaller than these margins gets an empty text area
// and a button at the edge rather than negative sizes.
struct ViewerLayout {
    QRect textArea;
    QPoint closeTopLeft;
};
ViewerLayout ComputeViewerLayout(QSize window, qreal dpiX, qreal dpiY);

// A window with one text area and a "Close" button, laid out by the rule above on every resize.
class ViewerWin : public QDialog {
    Q_OBJECT
public:
    QPushButton *closeButton() const { return close_; }
    QWidget *textWidget() const { return area_; }

protected:
    ViewerWin(const QString &title, QWidget *area, QSize initialTwips, QWidget *parent);
    void resizeEvent(QResizeEvent *event) override;

private:
    void applyLayout();

    QWidget *area_;
    QPushButton *close_;
};

// "Logs...": a copy of the on-screen log as it was when the window opened.
class NewLogWin : public ViewerWin {
    Q_OBJECT
public:
    explicit NewLogWin(const QByteArray &logText, QWidget *parent = nullptr);
    QPlainTextEdit *textArea() const;
};

// "Messages...": the messages received during this run.
class NewMessageWin : public ViewerWin {
    Q_OBJECT
public:
    explicit NewMessageWin(const QByteArray &messages, QWidget *parent = nullptr);
    QPlainTextEdit *textArea() const;
};

// "Program Help...": Parcelwise_Help.rtf from the program folder, or "Help file not found.".
class HelpWin : public ViewerWin {
    Q_OBJECT
public:
    static constexpr const char *HelpFileName = "Parcelwise_Help.rtf";
    static constexpr const char *NotFoundText = "Help file not found.";

    // The help file is looked for in the program folder, then in besideProgram (the folder of
    // the executable, where it ships).
    explicit HelpWin(const QString &programFolder, QWidget *parent = nullptr, const QString &besideProgram = {});
    QTextBrowser *textArea() const;
    bool helpFileFound() const { return found_; }

private:
    bool found_ = false;
};

// "About Parcelwise...": the logo, the motto and the version. Letters typed while it has the
// focus are collected; once they spell the code word the one-shot picture flag is due, which
// the caller learns from codeWordTyped() or codeWordEntered().
class AboutWin : public QDialog {
    Q_OBJECT
public:
    static constexpr const char *CodeWord = "parcel";
    static constexpr const char *Motto = "Send some files, Get some files.";

    // keyText: the installation's key fingerprint, so that two people can compare it by phone
    // (empty when there is none).
    explicit AboutWin(const QString &versionText, QWidget *parent = nullptr, const QString &keyText = {});
    bool codeWordEntered() const { return entered_; }
    QPushButton *okButton() const { return ok_; }

signals:
    void codeWordTyped();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    QPushButton *ok_;
    QString typed_;
    bool entered_ = false;
};

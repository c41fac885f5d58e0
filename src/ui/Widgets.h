// Small widgets shared by the windows: a one-line label that never widens its window, however
// long its text, and a picture that reports clicks.
#pragma once

#include <QLabel>

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

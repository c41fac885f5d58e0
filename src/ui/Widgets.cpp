// Small widgets shared by the windows.
#include "ui/Widgets.h"

#include <QMouseEvent>

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
        if (c.unicode() < 0x20)
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

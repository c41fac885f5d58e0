// Every picture the program shows, drawn with QPainter from vector shapes: channel and queue
// row images, toolbar icons, the logo with its activity images, the channel animation and the
// application icon. Each is drawn at the device pixel ratio it is shown at, and uses coloured
// fills with darker outlines so that it reads on light and dark window themes alike.
#pragma once

class QPainter;

#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QSize>

// Channel image list: 1 not started, 2 idle, 3 connected / being prepared, 4 disabled,
// 5 stopped, 6 transferring, 7 listening. Other numbers give an empty picture.
QIcon ChannelIcon(int index);
QPixmap ChannelPixmap(int index, int size, qreal dpr);
inline constexpr int ChannelPictureSize = 24;

// Queue row images: 1 retry wait, 2 sent, 3 error, 4 unknown, 5 busy, 6 queued, 7 hold.
QIcon QueueRowIcon(int image);
// Queue loader row images: 1 the file exists, 3 it does not.
QIcon LoaderRowIcon(int image);

enum class ToolId {
    StartComms,
    Hold,
    Enable,
    Delete,
    Priority1,
    Priority2,
    Priority3,
    Users,
    Preferences,
    LoadFiles,
    Messages,
    Logs,
    Help,
    Quit,
};
QIcon ToolIcon(ToolId id);
// The icon with a small red dot in its top right corner: something new waits behind it.
QIcon BadgedIcon(const QIcon &icon);

// The logo (Picture1 and the about box). Activity image 1 shows a parcel going out, 2 one coming
// in, 3 the surprise set off by the about box's code word.
QSize LogoSize();
QPixmap LogoPixmap(int activityImage, qreal dpr);

// The channel animation (Picture2): frames 1 to 8, one full turn.
QSize AnimationSize();
QPixmap AnimationFrame(int frame, qreal dpr);

// The application and window icon.
QIcon AppIcon();
QImage AppIconImage(int size);
// The application icon painted into a square of `size` by `size` from the painter's origin, for
// painters of any kind (a picture file, a drawing file).
void PaintAppIcon(QPainter &p, qreal size);

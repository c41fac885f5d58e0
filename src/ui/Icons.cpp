// The program's pictures. Square icons are drawn in a 100 x 100 unit box scaled to the target
// size, so one drawing serves every size and pixel ratio; icons carry 1x and 2x pixmaps at the
// usual sizes and are made once and kept.
#include "ui/Icons.h"

#include <QFont>
#include <QHash>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtMath>

#include <algorithm>
#include <functional>

namespace {

using Drawing = std::function<void(QPainter &)>;

// Colours: mid-tone fills with dark outlines, white glyphs on top.
struct Tone {
    QColor fill;
    QColor line;
};
const Tone Blue{QColor(0x2f, 0x7f, 0xd8), QColor(0x16, 0x3f, 0x73)};
const Tone Green{QColor(0x2e, 0xa0, 0x48), QColor(0x17, 0x55, 0x26)};
const Tone Red{QColor(0xdc, 0x3d, 0x36), QColor(0x77, 0x19, 0x15)};
const Tone Amber{QColor(0xf0, 0xa0, 0x20), QColor(0x85, 0x55, 0x06)};
const Tone Violet{QColor(0x8e, 0x6c, 0xc8), QColor(0x45, 0x2f, 0x6e)};
const Tone Slate{QColor(0x7e, 0x8d, 0x9c), QColor(0x36, 0x40, 0x4a)};
const Tone Dim{QColor(0x5c, 0x64, 0x6c), QColor(0x26, 0x2b, 0x30)};
const Tone Paper{QColor(0xfb, 0xfb, 0xf8), QColor(0x4a, 0x55, 0x60)};
const Tone Folder{QColor(0xf2, 0xc1, 0x4e), QColor(0x86, 0x5e, 0x10)};
const QColor CardTop(0xe3, 0xb0, 0x74);
const QColor CardLeft(0xc9, 0x8c, 0x4d);
const QColor CardRight(0xaa, 0x6d, 0x35);
const QColor CardLine(0x5a, 0x36, 0x14);
const QColor Tape(0xf6, 0xe0, 0xb0);
const QColor White(0xff, 0xff, 0xff);

constexpr qreal Line = 5.0; // outline width in units

QPen OutlinePen(const QColor &c, qreal w = Line)
{
    return QPen(c, w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

QPen GlyphPen(qreal w, const QColor &c = White)
{
    return QPen(c, w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

QPixmap Render(QSize logical, qreal dpr, qreal unitsWide, const Drawing &draw)
{
    QPixmap pm(logical * dpr);
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const qreal scale = logical.width() / unitsWide;
    p.scale(scale, scale);
    draw(p);
    return pm;
}

QPixmap RenderSquare(int size, qreal dpr, const Drawing &draw)
{
    return Render(QSize(size, size), dpr, 100.0, draw);
}

QIcon MakeIcon(const Drawing &draw)
{
    QIcon icon;
    for (int size : {16, 20, 22, 24, 32, 48, 64})
        for (qreal dpr : {1.0, 2.0})
            icon.addPixmap(RenderSquare(size, dpr, draw));
    return icon;
}

// ---- shapes ---------------------------------------------------------------------------------

void Disc(QPainter &p, QPointF c, qreal r, const Tone &t)
{
    p.setPen(OutlinePen(t.line));
    p.setBrush(t.fill);
    p.drawEllipse(c, r, r);
    // A soft highlight gives the disc a little depth without changing its colour.
    QRadialGradient shine(c - QPointF(r * 0.35, r * 0.45), r * 1.1);
    shine.setColorAt(0, QColor(255, 255, 255, 90));
    shine.setColorAt(1, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(shine);
    p.drawEllipse(c, r - Line / 2, r - Line / 2);
}

void Tile(QPainter &p, const Tone &t)
{
    QLinearGradient g(0, 8, 0, 92);
    g.setColorAt(0, t.fill.lighter(118));
    g.setColorAt(1, t.fill.darker(108));
    p.setPen(OutlinePen(t.line));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(7, 7, 86, 86), 18, 18);
}

// Draws a glyph of the 100-unit box scaled by the factor, with the box's centre at the point.
void GlyphAt(QPainter &p, QPointF centre, qreal factor, const Drawing &glyph)
{
    p.save();
    p.translate(centre);
    p.scale(factor, factor);
    p.translate(-50, -50);
    glyph(p);
    p.restore();
}

// A round badge in the lower right corner, ringed in white so that it stands off the shape
// underneath on any background.
void Badge(QPainter &p, const Tone &t, const Drawing &glyph)
{
    const QPointF c(70, 70);
    p.setPen(Qt::NoPen);
    p.setBrush(White);
    p.drawEllipse(c, 31, 31);
    Disc(p, c, 27, t);
    GlyphAt(p, c, 0.5, glyph);
}

// Glyphs drawn white in the 100-unit box, centred on (50, 50).
void CheckGlyph(QPainter &p, qreal w = 13)
{
    p.setPen(GlyphPen(w));
    p.setBrush(Qt::NoBrush);
    QPainterPath path;
    path.moveTo(28, 52);
    path.lineTo(44, 68);
    path.lineTo(73, 35);
    p.drawPath(path);
}

void CrossGlyph(QPainter &p, qreal w = 13)
{
    p.setPen(GlyphPen(w));
    p.drawLine(QPointF(33, 33), QPointF(67, 67));
    p.drawLine(QPointF(67, 33), QPointF(33, 67));
}

void PlayGlyph(QPainter &p)
{
    QPainterPath path;
    path.moveTo(39, 27);
    path.lineTo(73, 50);
    path.lineTo(39, 73);
    path.closeSubpath();
    p.setPen(GlyphPen(6));
    p.setBrush(White);
    p.drawPath(path);
}

void PauseGlyph(QPainter &p)
{
    p.setPen(Qt::NoPen);
    p.setBrush(White);
    p.drawRoundedRect(QRectF(31, 28, 13, 44), 3, 3);
    p.drawRoundedRect(QRectF(56, 28, 13, 44), 3, 3);
}

void StopGlyph(QPainter &p)
{
    p.setPen(Qt::NoPen);
    p.setBrush(White);
    p.drawRoundedRect(QRectF(31, 31, 38, 38), 5, 5);
}

void ClockGlyph(QPainter &p)
{
    p.setPen(GlyphPen(9));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(50, 50), QPointF(50, 27));
    p.drawLine(QPointF(50, 50), QPointF(67, 58));
    p.setPen(Qt::NoPen);
    p.setBrush(White);
    p.drawEllipse(QPointF(50, 50), 6, 6);
}

void ArrowRightGlyph(QPainter &p, qreal w = 12)
{
    p.setPen(GlyphPen(w));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(27, 50), QPointF(70, 50));
    QPainterPath head;
    head.moveTo(52, 31);
    head.lineTo(72, 50);
    head.lineTo(52, 69);
    p.drawPath(head);
}

void PlusGlyph(QPainter &p)
{
    p.setPen(GlyphPen(13));
    p.drawLine(QPointF(50, 28), QPointF(50, 72));
    p.drawLine(QPointF(28, 50), QPointF(72, 50));
}

void QuestionGlyph(QPainter &p)
{
    p.setPen(GlyphPen(11));
    p.setBrush(Qt::NoBrush);
    QPainterPath q;
    q.moveTo(36, 38);
    q.cubicTo(36, 20, 65, 19, 65, 37);
    q.cubicTo(65, 49, 50, 50, 50, 61);
    p.drawPath(q);
    p.setPen(Qt::NoPen);
    p.setBrush(White);
    p.drawEllipse(QPointF(50, 75), 7, 7);
}

// Digits as strokes, so they look the same whatever fonts the machine has.
void DigitGlyph(QPainter &p, int digit, const QColor &c = White)
{
    p.setPen(GlyphPen(12, c));
    p.setBrush(Qt::NoBrush);
    QPainterPath d;
    switch (digit) {
    case 1:
        d.moveTo(39, 33);
        d.lineTo(54, 23);
        d.lineTo(54, 77);
        break;
    case 2:
        d.moveTo(36, 36);
        d.cubicTo(36, 19, 66, 18, 66, 36);
        d.cubicTo(66, 50, 42, 60, 35, 77);
        d.lineTo(67, 77);
        break;
    default:
        d.moveTo(36, 30);
        d.cubicTo(42, 19, 65, 19, 65, 35);
        d.cubicTo(65, 45, 56, 49, 48, 49);
        d.cubicTo(58, 49, 67, 54, 67, 64);
        d.cubicTo(67, 81, 41, 83, 35, 70);
        break;
    }
    p.drawPath(d);
}

void PowerGlyph(QPainter &p)
{
    p.setPen(GlyphPen(10));
    p.setBrush(Qt::NoBrush);
    // drawArc takes angles in sixteenths of a degree, counter-clockwise from three o'clock.
    p.drawArc(QRectF(27, 30, 46, 46), 62 * 16, -304 * 16);
    p.drawLine(QPointF(50, 22), QPointF(50, 50));
}

// A sheet of paper with a folded corner and a few lines of text.
void Sheet(QPainter &p, bool dashed = false)
{
    QPainterPath page;
    page.moveTo(20, 8);
    page.lineTo(62, 8);
    page.lineTo(82, 28);
    page.lineTo(82, 92);
    page.lineTo(20, 92);
    page.closeSubpath();
    QPen pen = OutlinePen(Paper.line);
    if (dashed)
        pen.setDashPattern({2.0, 1.6});
    p.setPen(pen);
    p.setBrush(Paper.fill);
    p.drawPath(page);
    QPainterPath fold;
    fold.moveTo(62, 8);
    fold.lineTo(62, 28);
    fold.lineTo(82, 28);
    p.setBrush(QColor(0xd6, 0xdc, 0xe2));
    p.drawPath(fold);
    p.setPen(OutlinePen(QColor(0x7f, 0x9c, 0xbb), 5));
    for (qreal y : {42.0, 55.0, 68.0})
        p.drawLine(QPointF(31, y), QPointF(71, y));
}

// An isometric cardboard box with tape, filling the given rectangle of the 100-unit box.
void Parcel(QPainter &p, const QRectF &r, bool bow = false)
{
    p.save();
    p.translate(r.topLeft());
    p.scale(r.width() / 100.0, r.height() / 100.0);
    const QPointF top(50, 8), right(90, 28), front(50, 48), left(10, 28);
    const QPointF rightLow(90, 74), frontLow(50, 94), leftLow(10, 74);
    const QPen edge = OutlinePen(CardLine, 4.5);
    p.setPen(edge);
    p.setBrush(CardLeft);
    p.drawPolygon(QPolygonF({left, front, frontLow, leftLow}));
    p.setBrush(CardRight);
    p.drawPolygon(QPolygonF({front, right, rightLow, frontLow}));
    p.setBrush(CardTop);
    p.drawPolygon(QPolygonF({top, right, front, left}));
    // Tape along the top and down the right face.
    p.setPen(Qt::NoPen);
    p.setBrush(Tape);
    // The band runs from the middle of the back-left edge to the middle of the front-right one,
    // then straight down the right face.
    const QPointF a1(25.5, 20.2), a2(34.5, 15.8), b1(65.5, 40.2), b2(74.5, 35.8);
    const QPointF c1(65.5, 86.2), c2(74.5, 81.8);
    p.drawPolygon(QPolygonF({a1, a2, b2, b1}));
    p.drawPolygon(QPolygonF({b1, b2, c2, c1}));
    p.setPen(OutlinePen(CardLine, 2.5));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF({a1, b1, c1}));
    p.drawPolyline(QPolygonF({a2, b2, c2}));
    p.setPen(edge);
    p.drawPolygon(QPolygonF({top, right, rightLow, frontLow, leftLow, left}));
    if (bow) {
        // A ribbon bow sitting on the tape.
        const QColor ribbon(0xd9, 0x3a, 0x6a);
        const QColor ribbonLine(0x6e, 0x12, 0x30);
        p.setPen(OutlinePen(ribbonLine, 3.5));
        p.setBrush(ribbon);
        QPainterPath loops;
        loops.moveTo(50, 22);
        loops.cubicTo(30, 2, 22, 24, 50, 22);
        loops.moveTo(50, 22);
        loops.cubicTo(70, 2, 78, 24, 50, 22);
        p.drawPath(loops);
        p.drawEllipse(QPointF(50, 22), 5, 4);
    }
    p.restore();
}

// ---- channel pictures -----------------------------------------------------------------------

void DrawChannel(QPainter &p, int index)
{
    switch (index) {
    case 1: // not started: an empty pale tile
        p.setPen(OutlinePen(Slate.line));
        p.setBrush(QColor(0xd5, 0xdb, 0xe1));
        p.drawRoundedRect(QRectF(7, 7, 86, 86), 18, 18);
        p.setPen(OutlinePen(Slate.line, 7));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(50, 50), 14, 14);
        break;
    case 2: // idle: a free socket
        Tile(p, Slate);
        p.setPen(OutlinePen(Slate.line, 4));
        p.setBrush(White);
        p.drawEllipse(QPointF(50, 50), 27, 27);
        p.setPen(Qt::NoPen);
        p.setBrush(Slate.line);
        p.drawEllipse(QPointF(39, 50), 6.5, 6.5);
        p.drawEllipse(QPointF(61, 50), 6.5, 6.5);
        break;
    case 3: { // connected, or being prepared: two arrows meeting
        Tile(p, Green);
        p.setPen(GlyphPen(10));
        p.setBrush(Qt::NoBrush);
        p.drawLine(QPointF(24, 38), QPointF(72, 38));
        p.drawPolyline(QPolygonF({QPointF(60, 26), QPointF(74, 38), QPointF(60, 50)}));
        p.drawLine(QPointF(76, 64), QPointF(28, 64));
        p.drawPolyline(QPolygonF({QPointF(40, 52), QPointF(26, 64), QPointF(40, 76)}));
        break;
    }
    case 4: // disabled: no entry
        Tile(p, Dim);
        p.setPen(GlyphPen(9, QColor(0xe4, 0xe7, 0xea)));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(50, 50), 25, 25);
        p.drawLine(QPointF(33, 67), QPointF(67, 33));
        break;
    case 5: // stopped
        Tile(p, Red);
        StopGlyph(p);
        break;
    case 6: // transferring
        Tile(p, Amber);
        p.setPen(GlyphPen(10));
        p.setBrush(Qt::NoBrush);
        p.drawPolyline(QPolygonF({QPointF(24, 28), QPointF(44, 50), QPointF(24, 72)}));
        p.drawPolyline(QPolygonF({QPointF(50, 28), QPointF(70, 50), QPointF(50, 72)}));
        break;
    case 7: // listening: an antenna point with waves on both sides
        Tile(p, Blue);
        p.setPen(Qt::NoPen);
        p.setBrush(White);
        p.drawEllipse(QPointF(50, 50), 9, 9);
        p.setPen(GlyphPen(8));
        p.setBrush(Qt::NoBrush);
        for (qreal r : {21.0, 35.0}) {
            const QRectF ring(50 - r, 50 - r, 2 * r, 2 * r);
            p.drawArc(ring, -45 * 16, 90 * 16);
            p.drawArc(ring, 135 * 16, 90 * 16);
        }
        break;
    default:
        break;
    }
}

// ---- queue row images -----------------------------------------------------------------------

void DrawQueueRow(QPainter &p, int image)
{
    const QPointF c(50, 50);
    switch (image) {
    case 1:
        Disc(p, c, 44, Amber);
        ClockGlyph(p);
        break;
    case 2:
        Disc(p, c, 44, Green);
        CheckGlyph(p);
        break;
    case 3:
        Disc(p, c, 44, Red);
        CrossGlyph(p);
        break;
    case 4:
        Disc(p, c, 44, Slate);
        QuestionGlyph(p);
        break;
    case 5:
        Disc(p, c, 44, Blue);
        ArrowRightGlyph(p);
        break;
    case 6:
        Sheet(p);
        break;
    case 7:
        Disc(p, c, 44, Violet);
        PauseGlyph(p);
        break;
    default:
        break;
    }
}

// ---- toolbar --------------------------------------------------------------------------------

void DrawPerson(QPainter &p, QPointF head, qreal scale, const Tone &t)
{
    p.setPen(OutlinePen(t.line));
    p.setBrush(t.fill);
    QPainterPath body;
    const qreal w = 26 * scale, h = 30 * scale;
    const QPointF base(head.x(), head.y() + 14 * scale + h);
    body.moveTo(base.x() - w, base.y());
    body.cubicTo(base.x() - w, base.y() - h * 1.05, base.x() + w, base.y() - h * 1.05, base.x() + w, base.y());
    body.closeSubpath();
    p.drawPath(body);
    p.drawEllipse(head, 14 * scale, 14 * scale);
}

void DrawGear(QPainter &p)
{
    QPainterPath gear;
    const QPointF c(50, 50);
    const int teeth = 8;
    const qreal outer = 44, inner = 33;
    for (int i = 0; i < teeth; ++i) {
        const qreal a = i * 2 * M_PI / teeth;
        const qreal toothHalf = M_PI / teeth * 0.42;
        const qreal gapHalf = M_PI / teeth * 0.70;
        auto at = [&](qreal r, qreal ang) { return c + QPointF(r * qCos(ang), r * qSin(ang)); };
        if (i == 0)
            gear.moveTo(at(inner, a - gapHalf));
        else
            gear.lineTo(at(inner, a - gapHalf));
        gear.lineTo(at(outer, a - toothHalf));
        gear.lineTo(at(outer, a + toothHalf));
        gear.lineTo(at(inner, a + gapHalf));
    }
    gear.closeSubpath();
    gear.addEllipse(c, 13, 13);
    gear.setFillRule(Qt::OddEvenFill);
    p.setPen(OutlinePen(Slate.line));
    p.setBrush(Slate.fill);
    p.drawPath(gear);
}

void DrawFolder(QPainter &p)
{
    p.setPen(OutlinePen(Folder.line));
    p.setBrush(Folder.fill.darker(112));
    QPainterPath back;
    back.moveTo(8, 22);
    back.lineTo(36, 22);
    back.lineTo(44, 30);
    back.lineTo(86, 30);
    back.lineTo(86, 82);
    back.lineTo(8, 82);
    back.closeSubpath();
    p.drawPath(back);
    p.setBrush(Folder.fill);
    QPainterPath front;
    front.moveTo(8, 82);
    front.lineTo(18, 42);
    front.lineTo(96, 42);
    front.lineTo(86, 82);
    front.closeSubpath();
    p.drawPath(front);
}

void DrawEnvelope(QPainter &p)
{
    p.setPen(OutlinePen(Blue.line));
    p.setBrush(Paper.fill);
    p.drawRoundedRect(QRectF(8, 22, 84, 58), 6, 6);
    p.setBrush(QColor(0xdd, 0xe8, 0xf5));
    QPainterPath flap;
    flap.moveTo(10, 25);
    flap.lineTo(50, 56);
    flap.lineTo(90, 25);
    p.drawPath(flap);
}

void DrawLogBook(QPainter &p)
{
    p.setPen(OutlinePen(Paper.line));
    p.setBrush(Paper.fill);
    p.drawRoundedRect(QRectF(16, 12, 68, 82), 5, 5);
    p.setBrush(Blue.fill);
    p.setPen(OutlinePen(Blue.line));
    p.drawRoundedRect(QRectF(16, 6, 68, 16), 4, 4);
    p.setPen(OutlinePen(QColor(0x7f, 0x9c, 0xbb), 5));
    for (qreal y : {37.0, 51.0, 65.0, 79.0}) {
        p.drawPoint(QPointF(27, y));
        p.drawLine(QPointF(36, y), QPointF(73, y));
    }
}

void DrawTrash(QPainter &p)
{
    const Tone body{QColor(0xe0, 0x5a, 0x50), Red.line};
    p.setPen(OutlinePen(body.line));
    p.setBrush(body.fill);
    QPainterPath can;
    can.moveTo(22, 30);
    can.lineTo(78, 30);
    can.lineTo(72, 92);
    can.lineTo(28, 92);
    can.closeSubpath();
    p.drawPath(can);
    p.drawRoundedRect(QRectF(14, 18, 72, 12), 4, 4);
    p.drawRoundedRect(QRectF(39, 8, 22, 10), 3, 3);
    p.setPen(GlyphPen(6, QColor(255, 255, 255, 220)));
    for (qreal x : {38.0, 50.0, 62.0})
        p.drawLine(QPointF(x, 42), QPointF(x, 80));
}

void DrawPriority(QPainter &p, int digit)
{
    const Tone tone = digit == 1 ? Red : digit == 2 ? Amber : Blue;
    Tile(p, tone);
    GlyphAt(p, QPointF(50, 50), 1.05, [digit](QPainter &q) { DigitGlyph(q, digit); });
}

void DrawTool(QPainter &p, ToolId id)
{
    const QPointF c(50, 50);
    switch (id) {
    case ToolId::StartComms:
        Disc(p, c, 44, Green);
        GlyphAt(p, c, 1.15, PlayGlyph);
        break;
    case ToolId::Hold:
        Sheet(p);
        Badge(p, Violet, PauseGlyph);
        break;
    case ToolId::Enable:
        Sheet(p);
        Badge(p, Green, PlayGlyph);
        break;
    case ToolId::Delete:
        DrawTrash(p);
        break;
    case ToolId::Priority1:
        DrawPriority(p, 1);
        break;
    case ToolId::Priority2:
        DrawPriority(p, 2);
        break;
    case ToolId::Priority3:
        DrawPriority(p, 3);
        break;
    case ToolId::Users:
        DrawPerson(p, QPointF(64, 24), 0.85, Slate);
        DrawPerson(p, QPointF(40, 38), 1.0, Blue);
        break;
    case ToolId::Preferences:
        DrawGear(p);
        break;
    case ToolId::LoadFiles:
        DrawFolder(p);
        Badge(p, Green, PlusGlyph);
        break;
    case ToolId::Messages:
        DrawEnvelope(p);
        break;
    case ToolId::Logs:
        DrawLogBook(p);
        break;
    case ToolId::Help:
        Disc(p, c, 44, Blue);
        QuestionGlyph(p);
        break;
    case ToolId::Quit:
        Disc(p, c, 44, Red);
        PowerGlyph(p);
        break;
    }
}

// ---- logo -----------------------------------------------------------------------------------

constexpr int LogoWidth = 232;
constexpr int LogoHeight = 64;

// A motion arrow beside the parcel: out to the right, or in from the left.
void MotionArrow(QPainter &p, bool outgoing)
{
    p.save();
    if (!outgoing) {
        p.translate(100, 0);
        p.scale(-1, 1);
    }
    p.setPen(OutlinePen(Blue.line, 13));
    p.setBrush(Qt::NoBrush);
    QPainterPath a;
    a.moveTo(8, 80);
    a.cubicTo(34, 96, 70, 88, 86, 66);
    p.drawPath(a);
    p.setPen(OutlinePen(Blue.fill, 7));
    p.drawPath(a);
    QPainterPath head;
    head.moveTo(94, 54);
    head.lineTo(93, 79);
    head.lineTo(72, 68);
    head.closeSubpath();
    p.setPen(OutlinePen(Blue.line, 4));
    p.setBrush(Blue.fill);
    p.drawPath(head);
    p.restore();
}

void Sparkle(QPainter &p, QPointF c, qreal r)
{
    QPainterPath star;
    star.moveTo(c.x(), c.y() - r);
    star.quadTo(c, QPointF(c.x() + r, c.y()));
    star.quadTo(c, QPointF(c.x(), c.y() + r));
    star.quadTo(c, QPointF(c.x() - r, c.y()));
    star.quadTo(c, QPointF(c.x(), c.y() - r));
    p.setPen(OutlinePen(Amber.line, 2));
    p.setBrush(QColor(0xff, 0xd4, 0x40));
    p.drawPath(star);
}

void DrawLogo(QPainter &p, int activityImage)
{
    // Units: one per logical pixel of the logo.
    // A light plate of its own keeps the logo legible on light and dark windows.
    const QRectF plate(1.5, 1.5, LogoWidth - 3, LogoHeight - 3);
    QLinearGradient g(0, 0, 0, LogoHeight);
    g.setColorAt(0, QColor(0xfa, 0xfc, 0xff));
    g.setColorAt(1, QColor(0xd9, 0xe6, 0xf4));
    p.setPen(QPen(QColor(0x6f, 0x8d, 0xb0), 1.5));
    p.setBrush(g);
    p.drawRoundedRect(plate, 12, 12);

    // The parcel on the left, with its activity.
    p.save();
    p.translate(8, 4);
    p.scale(0.56, 0.56);
    Parcel(p, QRectF(2, 0, 84, 84), activityImage == 3);
    if (activityImage == 3) {
        Sparkle(p, QPointF(92, 16), 9);
        Sparkle(p, QPointF(8, 92), 7);
        Sparkle(p, QPointF(98, 78), 6);
    } else {
        MotionArrow(p, activityImage != 2);
    }
    p.restore();

    // The name, as a path so that it scales cleanly; it falls back on whatever sans serif
    // face the machine has.
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setWeight(QFont::Bold);
    font.setPixelSize(30);
    QPainterPath name;
    name.addText(0, 0, font, QStringLiteral("Parcelwise"));
    const QRectF box = name.boundingRect();
    const QRectF room(72, 6, LogoWidth - 72 - 10, LogoHeight - 12);
    const qreal scale = std::min({1.0, room.width() / box.width(), room.height() / box.height()});
    p.save();
    p.translate(room.center());
    p.scale(scale, scale);
    p.translate(-box.center());
    QLinearGradient ink(0, box.top(), 0, box.bottom());
    ink.setColorAt(0, QColor(0x25, 0x6a, 0xc0));
    ink.setColorAt(1, QColor(0x12, 0x3d, 0x78));
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawPath(name);
    p.restore();
}

// ---- animation ------------------------------------------------------------------------------

void DrawAnimation(QPainter &p, int frame)
{
    // Eight dots in a ring; the lit one goes round clockwise and leaves a fading tail.
    const QPointF c(50, 50);
    for (int i = 0; i < 8; ++i) {
        const qreal a = -M_PI / 2 + i * M_PI / 4;
        const QPointF at = c + QPointF(35 * qCos(a), 35 * qSin(a));
        const int behind = ((frame - 1) - i + 8) % 8; // 0 = the lit dot
        if (behind == 0) {
            Disc(p, at, 14, Blue);
        } else if (behind <= 3) {
            QColor fill = Blue.fill;
            fill = QColor::fromRgbF(fill.redF() + (1 - fill.redF()) * behind * 0.2,
                                    fill.greenF() + (1 - fill.greenF()) * behind * 0.2,
                                    fill.blueF() + (1 - fill.blueF()) * behind * 0.2);
            p.setPen(OutlinePen(Blue.line, 4));
            p.setBrush(fill);
            p.drawEllipse(at, 13 - behind, 13 - behind);
        } else {
            p.setPen(OutlinePen(Slate.line, 4));
            p.setBrush(QColor(0xc4, 0xcc, 0xd4));
            p.drawEllipse(at, 8, 8);
        }
    }
}

// ---- application icon -----------------------------------------------------------------------

void DrawApp(QPainter &p)
{
    // The parcel and its badge cover about (8.6, 6.6)-(101, 101) of the box; they are scaled
    // into the middle, leaving the same margin on every side as desktop icons have.
    constexpr qreal Left = 8.6, Top = 6.6, Right = 101, Bottom = 101, Room = 88;
    const qreal scale = Room / std::max(Right - Left, Bottom - Top);
    p.save();
    p.translate(50, 50);
    p.scale(scale, scale);
    p.translate(-(Left + Right) / 2, -(Top + Bottom) / 2);
    Parcel(p, QRectF(2, 2, 86, 86));
    Badge(p, Blue, [](QPainter &q) { ArrowRightGlyph(q, 14); });
    p.restore();
}

template <typename Key> QIcon Cached(QHash<Key, QIcon> &cache, Key key, const Drawing &draw)
{
    auto it = cache.find(key);
    if (it == cache.end())
        it = cache.insert(key, MakeIcon(draw));
    return *it;
}

} // namespace

QIcon ChannelIcon(int index)
{
    static QHash<int, QIcon> cache;
    return Cached(cache, index, [index](QPainter &p) { DrawChannel(p, index); });
}

QPixmap ChannelPixmap(int index, int size, qreal dpr)
{
    return RenderSquare(size, dpr, [index](QPainter &p) { DrawChannel(p, index); });
}

QIcon QueueRowIcon(int image)
{
    static QHash<int, QIcon> cache;
    return Cached(cache, image, [image](QPainter &p) { DrawQueueRow(p, image); });
}

QIcon LoaderRowIcon(int image)
{
    static QHash<int, QIcon> cache;
    return Cached(cache, image, [image](QPainter &p) {
        if (image == 1) {
            Sheet(p);
        } else if (image == 3) {
            Sheet(p, true);
            Badge(p, Red, [](QPainter &q) { CrossGlyph(q, 14); });
        }
    });
}

QIcon ToolIcon(ToolId id)
{
    static QHash<int, QIcon> cache;
    return Cached(cache, static_cast<int>(id), [id](QPainter &p) { DrawTool(p, id); });
}

QSize LogoSize()
{
    return QSize(LogoWidth, LogoHeight);
}

QPixmap LogoPixmap(int activityImage, qreal dpr)
{
    return Render(LogoSize(), dpr, LogoWidth, [activityImage](QPainter &p) { DrawLogo(p, activityImage); });
}

QSize AnimationSize()
{
    return QSize(24, 24);
}

QPixmap AnimationFrame(int frame, qreal dpr)
{
    const int f = frame < 1 || frame > 8 ? 1 : frame;
    return RenderSquare(AnimationSize().width(), dpr, [f](QPainter &p) { DrawAnimation(p, f); });
}

QIcon BadgedIcon(const QIcon &icon)
{
    QIcon badged;
    for (const int size : {16, 24, 32, 48}) {
        QPixmap pixmap = icon.pixmap(size, size);
        if (pixmap.isNull())
            continue;
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal d = size * 0.42;
        painter.setPen(QPen(Qt::white, std::max(1.0, size / 16.0)));
        painter.setBrush(QColor(220, 30, 30));
        painter.drawEllipse(QRectF(size - d - 0.5, 0.5, d, d));
        painter.end();
        badged.addPixmap(pixmap);
    }
    return badged;
}

void PaintAppIcon(QPainter &p, qreal size)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 100.0, size / 100.0);
    DrawApp(p);
    p.restore();
}

QImage AppIconImage(int size)
{
    return RenderSquare(size, 1.0, DrawApp).toImage();
}

QIcon AppIcon()
{
    static QIcon icon = [] {
        QIcon i;
        for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
            for (qreal dpr : {1.0, 2.0})
                i.addPixmap(RenderSquare(size, dpr, DrawApp));
        return i;
    }();
    return icon;
}

// The drawn pictures: every image number the program uses gives a distinct picture at 1x and 2x,
// each reads on a light and on a dark background, and the committed application icon file is
// the one the code draws.
#include "ui/Icons.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QRegularExpression>
#include <QSet>
#include <QSvgGenerator>
#include <QSvgRenderer>

#include <cmath>

namespace {

QImage Image(const QIcon &icon, int size, qreal dpr = 1.0)
{
    return icon.pixmap(QSize(size, size), dpr).toImage().convertToFormat(QImage::Format_ARGB32);
}

double Luminance(QColor c)
{
    auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double Contrast(double a, double b)
{
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

// Share of the clearly visible pixels that stand out (contrast 2.5 or more) against the background.
// A picture drawn only in black, or only in white or pale colours, has next to none on one of the
// two backgrounds; outlines and glyphs give every good picture a fair share on both.
double StandsOut(const QImage &img, QColor background)
{
    const double bg = Luminance(background);
    int visible = 0, outstanding = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QColor c = img.pixelColor(x, y);
            if (c.alphaF() < 0.8)
                continue;
            ++visible;
            outstanding += Contrast(Luminance(c), bg) >= 2.5 ? 1 : 0;
        }
    return visible == 0 ? 0.0 : double(outstanding) / visible;
}

void ExpectLegible(const QImage &img, const std::string &what)
{
    SCOPED_TRACE(what);
    EXPECT_GE(StandsOut(img, QColor(0xf0, 0xf0, 0xf0)), 0.12);
    EXPECT_GE(StandsOut(img, QColor(0x20, 0x22, 0x25)), 0.12);
}

} // namespace

TEST(Icons, ChannelPicturesAreDistinctAndSharpAtTwoX)
{
    QSet<QByteArray> seen;
    for (int index = 1; index <= 7; ++index) {
        SCOPED_TRACE(index);
        const QPixmap x1 = ChannelIcon(index).pixmap(QSize(24, 24), 1.0);
        const QPixmap x2 = ChannelIcon(index).pixmap(QSize(24, 24), 2.0);
        EXPECT_EQ(x1.size(), QSize(24, 24));
        EXPECT_EQ(x2.size(), QSize(48, 48)); // drawn at the finer ratio, not scaled up
        EXPECT_DOUBLE_EQ(x2.devicePixelRatio(), 2.0);
        const QImage img = Image(ChannelIcon(index), 32);
        seen.insert(QByteArray(reinterpret_cast<const char *>(img.constBits()), img.sizeInBytes()));
        ExpectLegible(img, "channel " + std::to_string(index));
        EXPECT_EQ(ChannelPixmap(index, 24, 2.0).size(), QSize(48, 48));
    }
    EXPECT_EQ(seen.size(), 7);
}

TEST(Icons, QueueRowAndLoaderImagesAreDistinct)
{
    QSet<QByteArray> seen;
    for (int image : {1, 2, 3, 5, 6, 7}) {
        const QImage img = Image(QueueRowIcon(image), 16);
        ASSERT_EQ(img.size(), QSize(16, 16));
        seen.insert(QByteArray(reinterpret_cast<const char *>(img.constBits()), img.sizeInBytes()));
        ExpectLegible(Image(QueueRowIcon(image), 32), "queue " + std::to_string(image));
    }
    EXPECT_EQ(seen.size(), 6);
    EXPECT_NE(Image(LoaderRowIcon(1), 16), Image(LoaderRowIcon(3), 16));
}

TEST(Icons, EveryToolHasItsOwnLegibleIcon)
{
    QSet<QByteArray> seen;
    for (int id = int(ToolId::StartComms); id <= int(ToolId::Quit); ++id) {
        const QImage img = Image(ToolIcon(ToolId(id)), 24);
        seen.insert(QByteArray(reinterpret_cast<const char *>(img.constBits()), img.sizeInBytes()));
        ExpectLegible(Image(ToolIcon(ToolId(id)), 32), "tool " + std::to_string(id));
    }
    EXPECT_EQ(seen.size(), int(ToolId::Quit) + 1);
}

TEST(Icons, LogoActivityImagesAndAnimationFrames)
{
    const QImage logo1 = LogoPixmap(1, 1.0).toImage();
    EXPECT_EQ(logo1.size(), LogoSize());
    EXPECT_EQ(LogoPixmap(1, 2.0).size(), LogoSize() * 2);
    EXPECT_NE(logo1, LogoPixmap(2, 1.0).toImage());
    EXPECT_NE(logo1, LogoPixmap(3, 1.0).toImage());
    EXPECT_NE(LogoPixmap(2, 1.0).toImage(), LogoPixmap(3, 1.0).toImage());

    QSet<QByteArray> frames;
    for (int f = 1; f <= 8; ++f) {
        const QImage img = AnimationFrame(f, 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
        EXPECT_EQ(img.size(), AnimationSize());
        frames.insert(QByteArray(reinterpret_cast<const char *>(img.constBits()), img.sizeInBytes()));
        ExpectLegible(AnimationFrame(f, 2.0).toImage().convertToFormat(QImage::Format_ARGB32),
                      "frame " + std::to_string(f));
    }
    EXPECT_EQ(frames.size(), 8);
    // Out of range frame numbers show the first frame rather than nothing.
    EXPECT_EQ(AnimationFrame(0, 1.0).toImage(), AnimationFrame(1, 1.0).toImage());
    EXPECT_EQ(AnimationFrame(9, 1.0).toImage(), AnimationFrame(1, 1.0).toImage());
}

namespace {
// Mean difference per channel of two pictures of the same size, allowing for rounding in
// another rasterizer.
double MeanDifference(const QImage &a, const QImage &b)
{
    double diff = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QColor p = a.pixelColor(x, y), q = b.pixelColor(x, y);
            diff += std::abs(p.red() - q.red()) + std::abs(p.green() - q.green()) + std::abs(p.blue() - q.blue()) +
                    std::abs(p.alpha() - q.alpha());
        }
    return diff / (a.width() * a.height() * 4.0);
}
} // namespace

TEST(Icons, ApplicationIconFilesMatchTheDrawingInEverySize)
{
    // Set PW_WRITE_APP_ICON=1 to write the files after changing the drawing.
    const bool write = qEnvironmentVariableIntValue("PW_WRITE_APP_ICON") == 1;
    const QString folder = QStringLiteral(PW_SOURCE_DIR "/resources/icons/");
    EXPECT_FALSE(AppIcon().isNull());
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString path = folder + QStringLiteral("parcelwise-%1.png").arg(size);
        const QImage drawn = AppIconImage(size).convertToFormat(QImage::Format_ARGB32);
        if (write) {
            ASSERT_TRUE(drawn.save(path, "PNG"));
        }
        QImage stored(path);
        ASSERT_FALSE(stored.isNull()) << path.toStdString();
        stored = stored.convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(stored.size(), QSize(size, size));
        EXPECT_LT(MeanDifference(stored, drawn), 2.0) << path.toStdString() << ": run with PW_WRITE_APP_ICON=1";
    }

    // The scalable one: a drawing file of the same picture.
    const QString svgPath = folder + QStringLiteral("parcelwise.svg");
    if (write) {
        QSvgGenerator svg;
        svg.setFileName(svgPath);
        svg.setSize(QSize(256, 256));
        svg.setViewBox(QRect(0, 0, 256, 256));
        svg.setTitle(QStringLiteral("Parcelwise"));
        {
            QPainter p(&svg);
            PaintAppIcon(p, 256);
        }
        // Sized in pixels, as icon themes expect, rather than in millimetres.
        QFile file(svgPath);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        QString text = QString::fromUtf8(file.readAll());
        file.close();
        text.replace(QRegularExpression(QStringLiteral("<svg width=\"[0-9.]+mm\" height=\"[0-9.]+mm\"")),
                     QStringLiteral("<svg width=\"256\" height=\"256\""));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.toUtf8());
    }
    QSvgRenderer renderer(svgPath);
    ASSERT_TRUE(renderer.isValid()) << svgPath.toStdString();
    QImage fromSvg(256, 256, QImage::Format_ARGB32);
    fromSvg.fill(Qt::transparent);
    {
        QPainter p(&fromSvg);
        renderer.render(&p);
    }
    EXPECT_LT(MeanDifference(fromSvg, AppIconImage(256).convertToFormat(QImage::Format_ARGB32)), 3.0);
}

TEST(Icons, ApplicationIconIsCentredWithAMargin)
{
    const QImage icon = AppIconImage(256).convertToFormat(QImage::Format_ARGB32);
    ExpectLegible(icon, "application icon");
    int left = 256, right = -1, top = 256, bottom = -1;
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x)
            if (icon.pixelColor(x, y).alpha() > 16) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    const int margins[] = {left, 255 - right, top, 255 - bottom};
    for (int m : margins)
        EXPECT_GE(m, 10) << "every side keeps a margin";
    EXPECT_LE(std::abs(margins[0] - margins[1]), 4) << "centred across";
    EXPECT_LE(std::abs(margins[2] - margins[3]), 4) << "centred down";
}

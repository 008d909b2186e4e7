// Draws the window's images and the application icon with QPainter and
// writes them as PNG files:
//
//   velvora-draw-resources RESOURCES_DIR
//
// writes graphics/welcome-background.png, graphics/top.png, icons/stop.png,
// icons/volume.png and appicon/velvora-recovery-<size>.png for 256, 128, 64, 48 and 32 pixels.
// Everything is drawn from fixed shapes and a fixed noise seed, so running
// it again gives the same pictures.

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRandomGenerator>
#include <QTextStream>

#include <cmath>

namespace {

QImage transparent_canvas(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// A blue field with a fine mottled texture and a bright curved streak of light.
QImage draw_background()
{
    const int width = 753;
    const int height = 514;
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    QLinearGradient field(0, 0, width * 0.4, height);
    field.setColorAt(0.0, QColor(18, 62, 138));
    field.setColorAt(0.55, QColor(10, 38, 100));
    field.setColorAt(1.0, QColor(5, 20, 64));
    painter.fillRect(image.rect(), field);

    QRandomGenerator noise(20300);
    for (int i = 0; i < 9000; ++i) {
        const int x = noise.bounded(width);
        const int y = noise.bounded(height);
        const int shade = noise.bounded(2) ? 255 : 0;
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(shade, shade, shade, 6 + noise.bounded(10)));
        const qreal r = 1.0 + noise.bounded(30) / 10.0;
        painter.drawEllipse(QPointF(x, y), r, r);
    }

    // The light streak: several soft strokes along one curve, widest and
    // faintest first.
    QPainterPath streak;
    streak.moveTo(-40, height * 0.92);
    streak.cubicTo(width * 0.25, height * 0.55, width * 0.55, height * 0.78, width + 40, height * 0.18);
    const struct { qreal width; int alpha; } strokes[] = {{90, 14}, {50, 24}, {26, 40}, {12, 80}, {5, 150}, {2, 230}};
    for (const auto &stroke : strokes) {
        painter.setPen(QPen(QColor(170, 220, 255, stroke.alpha), stroke.width, Qt::SolidLine, Qt::RoundCap));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(streak);
    }
    QRadialGradient glow(width * 0.62, height * 0.52, 160);
    glow.setColorAt(0.0, QColor(200, 235, 255, 70));
    glow.setColorAt(1.0, QColor(200, 235, 255, 0));
    painter.fillRect(image.rect(), glow);
    painter.end();
    return image;
}

// A small landscape photograph: sky, sun, hills.
void draw_photo_content(QPainter &painter, const QRectF &area, int variant)
{
    painter.save();
    painter.setClipRect(area, painter.hasClipping() ? Qt::IntersectClip : Qt::ReplaceClip);
    const QColor skies[] = {QColor(120, 190, 245), QColor(250, 180, 120), QColor(150, 210, 230)};
    const QColor hills[] = {QColor(70, 150, 70), QColor(120, 90, 60), QColor(60, 120, 140)};
    QLinearGradient sky(area.topLeft(), area.bottomLeft());
    sky.setColorAt(0.0, skies[variant % 3].darker(115));
    sky.setColorAt(1.0, skies[variant % 3].lighter(125));
    painter.fillRect(area, sky);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 235, 120));
    painter.drawEllipse(QPointF(area.left() + area.width() * 0.72, area.top() + area.height() * 0.3),
                        area.height() * 0.12, area.height() * 0.12);
    QPainterPath land;
    land.moveTo(area.left(), area.bottom());
    land.lineTo(area.left(), area.top() + area.height() * 0.7);
    land.cubicTo(area.left() + area.width() * 0.3, area.top() + area.height() * 0.45,
                 area.left() + area.width() * 0.55, area.top() + area.height() * 0.85, area.right(),
                 area.top() + area.height() * 0.6);
    land.lineTo(area.right(), area.bottom());
    land.closeSubpath();
    painter.setBrush(hills[variant % 3]);
    painter.drawPath(land);
    painter.restore();
}

// A photograph with a white border, turned by angle degrees about its centre.
void draw_print(QPainter &painter, const QPointF &centre, const QSizeF &size, qreal angle, int variant)
{
    painter.save();
    painter.translate(centre);
    painter.rotate(angle);
    const QRectF frame(-size.width() / 2, -size.height() / 2, size.width(), size.height());
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 70));
    painter.drawRect(frame.translated(2, 3));
    painter.setBrush(QColor(250, 250, 246));
    painter.setPen(QPen(QColor(180, 180, 175), 1));
    painter.drawRect(frame);
    const qreal border = qMax<qreal>(2, size.width() * 0.07);
    draw_photo_content(painter, frame.adjusted(border, border, -border, -border * 1.6), variant);
    painter.restore();
}

// Three photographs stacked and fanned out.
QImage draw_top_emblem()
{
    QImage image = transparent_canvas(93, 59);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    draw_print(painter, QPointF(36, 31), QSizeF(48, 36), -14, 1);
    draw_print(painter, QPointF(57, 29), QSizeF(48, 36), 12, 2);
    draw_print(painter, QPointF(46, 27), QSizeF(50, 38), -1, 0);
    painter.end();
    return image;
}

QImage draw_stop_icon()
{
    QImage image = transparent_canvas(24, 24);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QPolygonF octagon;
    for (int i = 0; i < 8; ++i) {
        const qreal angle = (22.5 + 45.0 * i) * M_PI / 180.0;
        octagon << QPointF(12 + 11 * std::cos(angle), 12 + 11 * std::sin(angle));
    }
    painter.setPen(QPen(QColor(255, 255, 255), 1.2));
    QLinearGradient red(0, 0, 0, 24);
    red.setColorAt(0, QColor(240, 60, 50));
    red.setColorAt(1, QColor(170, 20, 20));
    painter.setBrush(red);
    painter.drawPolygon(octagon);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawRoundedRect(QRectF(6, 10.5, 12, 3), 1, 1);
    painter.end();
    return image;
}

// A removable drive seen from the front: a metal case with an activity light.
QImage draw_volume_icon(int size = 128)
{
    QImage image = transparent_canvas(size, size);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 128.0, size / 128.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 60));
    painter.drawRoundedRect(QRectF(10, 42, 112, 64), 12, 12);
    QLinearGradient top(0, 30, 0, 70);
    top.setColorAt(0, QColor(230, 232, 238));
    top.setColorAt(1, QColor(170, 175, 185));
    painter.setBrush(top);
    painter.setPen(QPen(QColor(110, 115, 125), 1.5));
    painter.drawRoundedRect(QRectF(6, 34, 112, 46), 10, 10);
    QLinearGradient front(0, 70, 0, 100);
    front.setColorAt(0, QColor(150, 155, 165));
    front.setColorAt(1, QColor(90, 95, 105));
    painter.setBrush(front);
    painter.drawRoundedRect(QRectF(6, 66, 112, 32), 8, 8);
    painter.setPen(QPen(QColor(70, 72, 80), 2));
    for (int x = 20; x < 70; x += 8)
        painter.drawLine(QPointF(x, 74), QPointF(x, 90));
    painter.setPen(Qt::NoPen);
    QRadialGradient led(100, 82, 6);
    led.setColorAt(0, QColor(180, 255, 160));
    led.setColorAt(1, QColor(40, 170, 40));
    painter.setBrush(led);
    painter.drawEllipse(QPointF(100, 82), 5, 5);
    painter.end();
    return image;
}

// The program's icon: a photograph coming back out of a memory card.
// resources/velvora-recovery.svg is the same drawing for the scalable icon;
// a change here belongs there too.
QImage draw_app_icon(int size)
{
    QImage image = transparent_canvas(size, size);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 256.0, size / 256.0);

    QLinearGradient disc(0, 0, 0, 256);
    disc.setColorAt(0, QColor(30, 100, 200));
    disc.setColorAt(1, QColor(10, 40, 110));
    painter.setPen(Qt::NoPen);
    painter.setBrush(disc);
    painter.drawRoundedRect(QRectF(8, 8, 240, 240), 48, 48);

    QPainterPath card;
    card.moveTo(60, 110);
    card.lineTo(160, 110);
    card.lineTo(196, 146);
    card.lineTo(196, 232);
    card.lineTo(60, 232);
    card.closeSubpath();
    painter.setBrush(QColor(35, 35, 42));
    painter.drawPath(card);
    painter.setBrush(QColor(230, 190, 70));
    for (int i = 0; i < 7; ++i)
        painter.drawRect(QRectF(72 + i * 16, 118, 10, 26));

    draw_print(painter, QPointF(138, 92), QSizeF(150, 112), -10, 0);

    QPainterPath arrow;
    arrow.moveTo(196, 200);
    arrow.lineTo(226, 170);
    arrow.lineTo(214, 170);
    arrow.lineTo(214, 140);
    arrow.lineTo(178, 140);
    arrow.lineTo(178, 170);
    arrow.lineTo(166, 170);
    arrow.closeSubpath();
    painter.setBrush(QColor(120, 220, 120));
    painter.setPen(QPen(Qt::white, 4));
    painter.drawPath(arrow.translated(0, -10));
    painter.end();
    return image;
}

bool save(const QImage &image, const QString &path, bool keep_alpha)
{
    const QImage out = keep_alpha ? image.convertToFormat(QImage::Format_ARGB32)
                                  : image.convertToFormat(QImage::Format_RGB32);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !out.save(path, "PNG")) {
        QTextStream(stderr) << "cannot write " << path << "\n";
        return false;
    }
    QTextStream(stdout) << path << " " << out.width() << "x" << out.height() << "\n";
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    // Nothing is shown; drawing needs no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 2) {
        QTextStream(stderr) << "usage: velvora-draw-resources RESOURCES_DIR\n";
        return 2;
    }
    const QDir dir(arguments.at(1));
    bool ok = save(draw_background(), dir.filePath("graphics/welcome-background.png"), false);
    ok = save(draw_top_emblem(), dir.filePath("graphics/top.png"), true) && ok;
    ok = save(draw_stop_icon(), dir.filePath("icons/stop.png"), true) && ok;
    ok = save(draw_volume_icon(), dir.filePath("icons/volume.png"), true) && ok;
    for (const int size : {256, 128, 64, 48, 32})
        ok = save(draw_app_icon(size), dir.filePath(QStringLiteral("appicon/velvora-recovery-%1.png").arg(size)), true)
            && ok;
    return ok ? 0 : 1;
}

// Draws the window's skin images from the palette: lamps, check boxes and
// radio buttons, slider groove and handle, button faces, meter segments, the
// background tile and the program icon, each at 1x and 2x ("name.png" and
// "name@2x.png", which Qt picks for high-density screens and zoom). Run at build time; nothing binary is
// committed.
//
// usage: make_skin OUTPUT_DIR
#include <QColor>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>

#include <cstdio>
#include <functional>

namespace {

const QColor kWindow("#1d1e21");
const QColor kPanel("#26282c");
const QColor kGroup("#33363b");
const QColor kText("#e8e8e8");
const QColor kAccent("#e8912d");
const QColor kLampOn("#43d17a");
const QColor kLampOff("#3a3d42");
const QColor kMeterGreen("#43d17a");
const QColor kMeterYellow("#e8c12d");
const QColor kMeterRed("#ff4d4d");

using Painter = std::function<void(QPainter&, double w, double h)>;

bool save(const QString& dir, const char* name, int w, int h, const Painter& paint)
{
    for (int scale : {1, 2}) {
        QImage image(w * scale, h * scale, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(scale, scale);
        paint(p, w, h);
        p.end();
        image.setDevicePixelRatio(scale);
        const QString file = dir + "/" + name + (scale == 2 ? "@2x.png" : ".png");
        if (!image.save(file, "PNG")) {
            std::fprintf(stderr, "make_skin: cannot write %s\n", qPrintable(file));
            return false;
        }
    }
    return true;
}

// A round lamp; lit lamps glow and are much brighter than unlit ones, so the
// state reads without colour too.
Painter lamp(QColor c, bool lit)
{
    return [c, lit](QPainter& p, double w, double h) {
        const QPointF centre(w / 2, h / 2);
        const double r = std::min(w, h) / 2 - 1;
        if (lit) {
            QRadialGradient glow(centre, r + 1);
            glow.setColorAt(0.6, QColor(c.red(), c.green(), c.blue(), 120));
            glow.setColorAt(1.0, Qt::transparent);
            p.setPen(Qt::NoPen);
            p.setBrush(glow);
            p.drawEllipse(centre, r + 1, r + 1);
        }
        QRadialGradient body(centre - QPointF(r / 3, r / 3), r * 1.4);
        body.setColorAt(0, lit ? c.lighter(150) : c.lighter(115));
        body.setColorAt(1, lit ? c : c.darker(130));
        p.setBrush(body);
        p.setPen(QPen(QColor(0, 0, 0, 150), 1));
        p.drawEllipse(centre, r * 0.75, r * 0.75);
    };
}

// A rounded face for buttons and tabs, in four states.
Painter face(QColor top, QColor bottom, QColor border)
{
    return [=](QPainter& p, double w, double h) {
        QLinearGradient g(0, 0, 0, h);
        g.setColorAt(0, top);
        g.setColorAt(1, bottom);
        p.setBrush(g);
        p.setPen(QPen(border, 1));
        p.drawRoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), 4, 4);
    };
}

// A check box: a rounded square, ticked and lit when checked, so that it
// reads apart from the round lamps and radio buttons.
Painter checkBox(bool checked)
{
    return [checked](QPainter& p, double w, double h) {
        const QRectF box(1.5, 1.5, w - 3, h - 3);
        p.setPen(QPen(checked ? kLampOn.darker(140) : kText.darker(170), 1));
        p.setBrush(checked ? kLampOn : kWindow);
        p.drawRoundedRect(box, 3, 3);
        if (!checked) return;
        QPainterPath tick;
        tick.moveTo(w * 0.27, h * 0.52);
        tick.lineTo(w * 0.44, h * 0.70);
        tick.lineTo(w * 0.75, h * 0.32);
        p.setPen(QPen(kWindow, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(tick);
    };
}

// A radio button: a ring, with an accent dot when chosen.
Painter radio(bool checked)
{
    return [checked](QPainter& p, double w, double h) {
        const QPointF centre(w / 2, h / 2);
        const double r = std::min(w, h) / 2 - 1.5;
        p.setPen(QPen(checked ? kAccent : kText.darker(170), 1.2));
        p.setBrush(kWindow);
        p.drawEllipse(centre, r, r);
        if (!checked) return;
        p.setPen(Qt::NoPen);
        p.setBrush(kAccent);
        p.drawEllipse(centre, r * 0.5, r * 0.5);
    };
}

Painter segment(QColor c, bool lit)
{
    return [c, lit](QPainter& p, double w, double h) {
        QColor fill = lit ? c : QColor(c.red() / 5 + 30, c.green() / 5 + 30, c.blue() / 5 + 30);
        p.setPen(Qt::NoPen);
        p.setBrush(fill);
        p.drawRoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), 1.5, 1.5);
        if (lit) {
            p.setBrush(QColor(255, 255, 255, 60));
            p.drawRect(QRectF(1, 1, w - 2, (h - 2) / 2));
        }
    };
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_skin OUTPUT_DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);
    bool ok = true;
    ok &= save(dir, "lamp-on", 16, 16, lamp(kLampOn, true));
    ok &= save(dir, "lamp-off", 16, 16, lamp(kLampOff, false));
    ok &= save(dir, "clip-on", 16, 16, lamp(kMeterRed, true));
    ok &= save(dir, "clip-off", 16, 16, lamp(kLampOff, false));
    ok &= save(dir, "check-on", 16, 16, checkBox(true));
    ok &= save(dir, "check-off", 16, 16, checkBox(false));
    ok &= save(dir, "radio-on", 16, 16, radio(true));
    ok &= save(dir, "radio-off", 16, 16, radio(false));
    ok &= save(dir, "button", 24, 24, face(kGroup.lighter(115), kGroup, kGroup.darker(140)));
    ok &= save(dir, "button-hover", 24, 24, face(kGroup.lighter(140), kGroup.lighter(110), kGroup.darker(120)));
    ok &= save(dir, "button-pressed", 24, 24, face(kGroup.darker(120), kGroup, kGroup.darker(160)));
    ok &= save(dir, "button-checked", 24, 24, face(kAccent.darker(110), kAccent.darker(160), kAccent.darker(180)));
    ok &= save(dir, "groove", 16, 6, [](QPainter& p, double w, double h) {
        p.setPen(QPen(kWindow, 1));
        p.setBrush(kGroup);
        p.drawRoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), 2.5, 2.5);
    });
    ok &= save(dir, "groove-fill", 16, 6, [](QPainter& p, double w, double h) {
        p.setPen(Qt::NoPen);
        p.setBrush(kAccent);
        p.drawRoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), 2.5, 2.5);
    });
    ok &= save(dir, "handle", 14, 18, [](QPainter& p, double w, double h) {
        QLinearGradient g(0, 0, 0, h);
        g.setColorAt(0, kText);
        g.setColorAt(1, kText.darker(130));
        p.setBrush(g);
        p.setPen(QPen(kWindow, 1));
        p.drawRoundedRect(QRectF(1.5, 0.5, w - 3, h - 1), 3, 3);
        p.setPen(QPen(kGroup, 1));
        for (double x : {w / 2 - 2, w / 2, w / 2 + 2}) p.drawLine(QPointF(x, 5), QPointF(x, h - 5));
    });
    ok &= save(dir, "meter-green-on", 22, 7, segment(kMeterGreen, true));
    ok &= save(dir, "meter-green-off", 22, 7, segment(kMeterGreen, false));
    ok &= save(dir, "meter-yellow-on", 22, 7, segment(kMeterYellow, true));
    ok &= save(dir, "meter-yellow-off", 22, 7, segment(kMeterYellow, false));
    ok &= save(dir, "meter-red-on", 22, 7, segment(kMeterRed, true));
    ok &= save(dir, "meter-red-off", 22, 7, segment(kMeterRed, false));
    ok &= save(dir, "background", 64, 64, [](QPainter& p, double w, double h) {
        p.fillRect(QRectF(0, 0, w, h), kWindow);
        // A faint brushed texture: fine horizontal lines.
        for (int y = 0; y < h; y += 2) {
            p.setPen(QPen(QColor(255, 255, 255, (y * 7) % 5 + 2), 0.5));
            p.drawLine(QPointF(0, y + 0.5), QPointF(w, y + 0.5));
        }
    });
    ok &= save(dir, "icon", 64, 64, [](QPainter& p, double w, double h) {
        // A dark round pedal with an orange lit ring and a lamp.
        p.setPen(Qt::NoPen);
        p.setBrush(kPanel);
        p.drawRoundedRect(QRectF(2, 2, w - 4, h - 4), 12, 12);
        p.setPen(QPen(kAccent, 5));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(w / 2, h / 2 + 4), 18, 18);
        p.setPen(Qt::NoPen);
        p.setBrush(kLampOn);
        p.drawEllipse(QPointF(w / 2, 12), 4, 4);
    });
    return ok ? 0 : 1;
}

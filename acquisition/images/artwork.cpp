// Draws the programs' icon set into a folder: "1 (1).png" to "1 (29).png" and the
// animated "1 (1).gif". Every icon is drawn at the size the windows show it, so border
// images are never rescaled, from one palette and one stroke weight.
//
//   imagra-artwork OUTPUT_FOLDER [--sheet PREVIEW.png]

#include <QColor>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>
#include <QtMath>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <vector>

namespace {

// The window's own colours, and the accents the icons add to them.
const QColor kWindow(19, 23, 29);
const QColor kTile(38, 41, 48);
const QColor kTileEdge(52, 57, 67);
const QColor kInk(165, 176, 194);
const QColor kMuted(92, 101, 115);
const QColor kFaint(55, 61, 71);
const QColor kTeal(46, 196, 182);
const QColor kTealDeep(20, 64, 66);
const QColor kRed(229, 72, 77);
const QColor kOnAccent(12, 20, 24);

// One stroke weight for every glyph; radio rings are a touch lighter.
constexpr qreal kStroke = 1.8;
constexpr qreal kRingStroke = 1.5;

QImage canvas(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

struct Painter : QPainter
{
    explicit Painter(QImage* image) : QPainter(image)
    {
        setRenderHint(QPainter::Antialiasing);
        setRenderHint(QPainter::SmoothPixmapTransform);
    }

    void ink(const QColor& colour, qreal width = kStroke)
    {
        QPen pen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        setPen(pen);
        setBrush(Qt::NoBrush);
    }

    void fill(const QColor& colour)
    {
        setPen(Qt::NoPen);
        setBrush(colour);
    }
};

// ---- shared shapes ----------------------------------------------------------------------

// An open arrowhead whose tip is at tip, pointing along angleDegrees (0 = right, y down).
void arrowHead(Painter& p, QPointF tip, qreal angleDegrees, qreal size)
{
    const qreal a = qDegreesToRadians(angleDegrees);
    const qreal spread = qDegreesToRadians(40.0);
    const QPointF back1(tip.x() - size * qCos(a - spread), tip.y() - size * qSin(a - spread));
    const QPointF back2(tip.x() - size * qCos(a + spread), tip.y() - size * qSin(a + spread));
    QPainterPath path;
    path.moveTo(back1);
    path.lineTo(tip);
    path.lineTo(back2);
    p.drawPath(path);
}

// The rounded square behind each picture tool.
void toolTile(Painter& p, const QSize& size, bool hover)
{
    const QRectF r = QRectF(QPointF(0, 0), size).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setPen(QPen(hover ? kTeal : kTileEdge, 1.0));
    p.setBrush(hover ? kTealDeep : kTile);
    p.drawRoundedRect(r, 8, 8);
}

// The turn tools: the picture as a portrait frame and a quarter-turn arrow over its
// corner, clockwise or not; mirrored left to right between the two.
void turnGlyph(Painter& p, bool clockwise, const QColor& colour)
{
    p.save();
    p.translate(0, -1);
    if (!clockwise) {
        p.translate(32, 0);
        p.scale(-1, 1);
    }
    p.ink(colour);
    p.drawRoundedRect(QRectF(7.8, 14.0, 10.0, 11.8), 1.8, 1.8);
    const QPointF centre(16.4, 17.0);
    const qreal radius = 8.4;
    const QRectF box(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    const qreal start = 112;
    const qreal span = -100;
    QPainterPath arc;
    arc.arcMoveTo(box, start);
    arc.arcTo(box, start, span);
    p.drawPath(arc);
    const qreal end = qDegreesToRadians(start + span);
    const QPointF tip(centre.x() + radius * qCos(end), centre.y() - radius * qSin(end));
    // Clockwise on screen, the tangent points 90 degrees past the end angle.
    arrowHead(p, tip, -(start + span) + 90, 4.0);
    p.restore();
}

// The mirror tools: one solid and one outlined triangle on either side of a dashed axis.
void mirrorGlyph(Painter& p, bool vertical, const QColor& colour)
{
    const QPointF c(16, 16);
    QPainterPath solid;
    QPainterPath outline;
    QLineF axis;
    if (vertical) {
        // Mirrors top to bottom: the axis is horizontal.
        solid.moveTo(c + QPointF(0, -7.8));
        solid.lineTo(c + QPointF(6.0, -2.9));
        solid.lineTo(c + QPointF(-6.0, -2.9));
        solid.closeSubpath();
        outline.moveTo(c + QPointF(0, 7.8));
        outline.lineTo(c + QPointF(6.0, 2.9));
        outline.lineTo(c + QPointF(-6.0, 2.9));
        outline.closeSubpath();
        axis = QLineF(c + QPointF(-8.5, 0), c + QPointF(8.5, 0));
    } else {
        solid.moveTo(c + QPointF(-7.8, 0));
        solid.lineTo(c + QPointF(-2.9, -6.0));
        solid.lineTo(c + QPointF(-2.9, 6.0));
        solid.closeSubpath();
        outline.moveTo(c + QPointF(7.8, 0));
        outline.lineTo(c + QPointF(2.9, -6.0));
        outline.lineTo(c + QPointF(2.9, 6.0));
        outline.closeSubpath();
        axis = QLineF(c + QPointF(0, -8.5), c + QPointF(0, 8.5));
    }
    p.setPen(QPen(colour, kStroke, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(colour);
    p.drawPath(solid);
    p.setBrush(Qt::NoBrush);
    p.drawPath(outline);
    QPen dashed(colour, 1.4, Qt::CustomDashLine, Qt::RoundCap);
    dashed.setDashPattern({0.01, 2.4});
    p.setPen(dashed);
    p.drawLine(axis);
}

// The Wi-Fi fan on a 24-pixel grid: a dot and three arcs; lit says which are coloured.
void wifiFan(Painter& p, int litArcs, const QColor& lit, const QColor& unlit, qreal scale = 1.0)
{
    p.save();
    p.scale(scale, scale);
    const QPointF base(12, 19);
    p.fill(litArcs >= 0 ? lit : unlit);
    p.drawEllipse(base, 1.9, 1.9);
    const qreal radii[] = {5.2, 9.4, 13.6};
    for (int i = 0; i < 3; ++i) {
        p.ink(i < litArcs ? lit : unlit, 2.0);
        const qreal r = radii[i];
        const QRectF box(base.x() - r, base.y() - r, 2 * r, 2 * r);
        QPainterPath arc;
        arc.arcMoveTo(box, 45);
        arc.arcTo(box, 45, 90);
        p.drawPath(arc);
    }
    p.restore();
}

// The intra-oral camera on a 24-pixel grid: a slim wand rising to the right, its lens
// window near the tip facing up and left. rays: 0 none, up to 3 growing strokes.
void scanner(Painter& p, const QColor& body, const QColor& lens, qreal rays, qreal scale = 1.0)
{
    p.save();
    p.scale(scale, scale);
    p.translate(11.5, 13.5);
    p.rotate(-40);
    // The wand tapers from the grip to a rounded tip.
    QPainterPath wand;
    wand.moveTo(-10.0, -2.0);
    wand.lineTo(5.0, -2.6);
    wand.cubicTo(9.8, -2.8, 9.8, 2.8, 5.0, 2.6);
    wand.lineTo(-10.0, 2.0);
    wand.cubicTo(-11.4, 2.0, -11.4, -2.0, -10.0, -2.0);
    p.fill(body);
    p.drawPath(wand);
    // The seam between grip and neck, cut through so it reads at this size.
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.setPen(QPen(Qt::black, 1.0));
    p.drawLine(QPointF(-4.2, -3.0), QPointF(-4.2, 3.0));
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    // The lens window.
    p.fill(kWindow);
    p.drawEllipse(QPointF(5.6, -0.4), 1.55, 1.55);
    p.fill(lens);
    p.drawEllipse(QPointF(5.6, -0.4), 0.85, 0.85);
    if (rays > 0) {
        p.ink(lens, 1.6);
        const qreal angles[] = {-130, -90, -50};
        const qreal length = 1.2 + 2.4 * qMin<qreal>(rays, 3.0) / 3.0;
        for (qreal a : angles) {
            const qreal rad = qDegreesToRadians(a);
            const qreal from = 4.6;
            p.drawLine(
                QPointF(5.6 + from * qCos(rad), -0.4 + from * qSin(rad)),
                QPointF(5.6 + (from + length) * qCos(rad), -0.4 + (from + length) * qSin(rad)));
        }
    }
    p.restore();
}

// ---- the icons ----------------------------------------------------------------------------

QImage radio(bool checked)
{
    QImage image = canvas(16, 16);
    Painter p(&image);
    p.setPen(QPen(checked ? kTeal : kMuted, kRingStroke));
    p.setBrush(kTile);
    p.drawEllipse(QPointF(8, 8), 6.75, 6.75);
    if (checked) {
        p.fill(kTeal);
        p.drawEllipse(QPointF(8, 8), 3.4, 3.4);
    }
    return image;
}

QImage checkBox(bool checked)
{
    QImage image = canvas(20, 20);
    Painter p(&image);
    const QRectF box(2.75, 2.75, 14.5, 14.5);
    if (checked) {
        p.fill(kTeal);
        p.drawRoundedRect(box.adjusted(-0.75, -0.75, 0.75, 0.75), 4, 4);
        p.ink(kOnAccent, 2.0);
        QPainterPath tick;
        tick.moveTo(6.2, 10.3);
        tick.lineTo(8.8, 12.9);
        tick.lineTo(13.9, 7.4);
        p.drawPath(tick);
    } else {
        p.setPen(QPen(kMuted, kRingStroke));
        p.setBrush(kTile);
        p.drawRoundedRect(box, 3.5, 3.5);
    }
    return image;
}

// The save button, 60 x 24: a pill holding a tray-and-arrow glyph and the word.
QImage saveButton(bool hover)
{
    QImage image = canvas(60, 24);
    Painter p(&image);
    const QRectF pill(0.5, 0.5, 59, 23);
    p.setPen(QPen(hover ? kTeal : kTileEdge, 1.0));
    p.setBrush(hover ? kTeal : kTile);
    p.drawRoundedRect(pill, 11.5, 11.5);

    const QColor glyph = hover ? kOnAccent : kInk;
    p.ink(glyph, 1.6);
    // Arrow into a tray.
    p.drawLine(QPointF(15, 6.2), QPointF(15, 13.2));
    arrowHead(p, QPointF(15, 13.4), 90, 3.4);
    QPainterPath tray;
    tray.moveTo(10.2, 13.8);
    tray.lineTo(10.2, 17.4);
    tray.lineTo(19.8, 17.4);
    tray.lineTo(19.8, 13.8);
    p.drawPath(tray);

    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    font.setWeight(QFont::DemiBold);
    font.setHintingPreference(QFont::PreferNoHinting);
    p.setFont(font);
    p.setPen(glyph);
    p.drawText(QRectF(24, 0, 31, 24), Qt::AlignVCenter | Qt::AlignLeft, QStringLiteral("Save"));
    return image;
}

// Title-strip buttons, 20 x 20: the glyph alone, or on a coloured disc under the pointer.
QImage updateButton(bool hover)
{
    QImage image = canvas(20, 20);
    Painter p(&image);
    QColor glyph = kInk;
    if (hover) {
        p.fill(kTeal);
        p.drawEllipse(QPointF(10, 10), 10, 10);
        glyph = kOnAccent;
    }
    p.ink(glyph, 1.6);
    p.drawLine(QPointF(10, 4.6), QPointF(10, 11.6));
    arrowHead(p, QPointF(10, 11.8), 90, 3.4);
    QPainterPath tray;
    tray.moveTo(5.4, 12.4);
    tray.lineTo(5.4, 15.2);
    tray.lineTo(14.6, 15.2);
    tray.lineTo(14.6, 12.4);
    p.drawPath(tray);
    return image;
}

QImage closeButton(int size, bool hover)
{
    QImage image = canvas(size, size);
    Painter p(&image);
    const qreal c = size / 2.0;
    QColor glyph = kInk;
    if (hover) {
        p.fill(kRed);
        p.drawEllipse(QPointF(c, c), c, c);
        glyph = Qt::white;
    }
    p.ink(glyph, 1.6);
    const qreal arm = size * 0.2;
    p.drawLine(QPointF(c - arm, c - arm), QPointF(c + arm, c + arm));
    p.drawLine(QPointF(c + arm, c - arm), QPointF(c - arm, c + arm));
    return image;
}

QImage rotateTool(bool clockwise, bool hover)
{
    QImage image = canvas(32, 32);
    Painter p(&image);
    toolTile(p, image.size(), hover);
    turnGlyph(p, clockwise, hover ? kTeal : kInk);
    return image;
}

QImage mirrorTool(bool vertical, bool hover)
{
    QImage image = canvas(32, 32);
    Painter p(&image);
    toolTile(p, image.size(), hover);
    mirrorGlyph(p, vertical, hover ? kTeal : kInk);
    return image;
}

QImage wifi(int litArcs)
{
    QImage image = canvas(24, 24);
    Painter p(&image);
    wifiFan(p, litArcs, kTeal, kFaint);
    return image;
}

QImage wifiNoAdapter()
{
    QImage image = canvas(24, 24);
    Painter p(&image);
    wifiFan(p, 3, kMuted, kMuted);
    // The slash is cut out of the fan first so that it stays legible at tray size.
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.ink(Qt::black, 4.6);
    p.drawLine(QPointF(4.5, 4.5), QPointF(19.5, 19.5));
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.ink(kRed, 2.0);
    p.drawLine(QPointF(4.5, 4.5), QPointF(19.5, 19.5));
    return image;
}

QImage wifiFailed()
{
    QImage image = canvas(24, 24);
    Painter p(&image);
    wifiFan(p, 3, kMuted, kMuted);
    const QPointF badge(18, 17.5);
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.fill(Qt::black);
    p.drawEllipse(badge, 6.5, 6.5);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.fill(kRed);
    p.drawEllipse(badge, 5.0, 5.0);
    p.ink(Qt::white, 1.8);
    p.drawLine(QPointF(18, 14.6), QPointF(18, 17.6));
    p.fill(Qt::white);
    p.drawEllipse(QPointF(18, 20.2), 1.0, 1.0);
    return image;
}

QImage scannerIcon(const QColor& body, const QColor& lens, qreal rays)
{
    QImage image = canvas(24, 24);
    Painter p(&image);
    scanner(p, body, lens, rays);
    return image;
}

QImage scannerFault()
{
    QImage image = scannerIcon(kMuted, kMuted, 0);
    Painter p(&image);
    const QPointF badge(18.5, 18.5);
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.fill(Qt::black);
    p.drawEllipse(badge, 5.6, 5.6);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.fill(kRed);
    p.drawEllipse(badge, 4.2, 4.2);
    p.ink(Qt::white, 1.5);
    p.drawLine(QPointF(16.9, 16.9), QPointF(20.1, 20.1));
    p.drawLine(QPointF(20.1, 16.9), QPointF(16.9, 20.1));
    return image;
}

// The program icons, 64 x 64.
QImage programIcon(bool camera)
{
    QImage image = canvas(64, 64);
    Painter p(&image);
    QLinearGradient tile(0, 0, 0, 64);
    tile.setColorAt(0, QColor(36, 44, 54));
    tile.setColorAt(1, kWindow);
    p.setPen(QPen(kTileEdge, 1.0));
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(2.5, 2.5, 59, 59), 14, 14);
    p.translate(8, 8);
    if (camera)
        scanner(p, kInk, kTeal, 3, 2.0);
    else
        wifiFan(p, 3, kTeal, kFaint, 2.0);
    return image;
}

// ---- GIF writing --------------------------------------------------------------------------
// Qt reads GIF but does not write it, so the animated icon is encoded here: one global
// palette, index 0 transparent, each frame fully replacing the previous one.

// Median cut down to at most count colours.
std::vector<QRgb> reducePalette(const std::map<QRgb, int>& histogram, int count)
{
    std::vector<std::vector<std::pair<QRgb, int>>> boxes(1);
    for (const auto& entry : histogram)
        boxes[0].push_back(entry);
    while (int(boxes.size()) < count) {
        int widest = -1;
        int widestRange = 0;
        int widestChannel = 0;
        for (int b = 0; b < int(boxes.size()); ++b) {
            if (boxes[b].size() < 2)
                continue;
            for (int channel = 0; channel < 3; ++channel) {
                int lo = 255;
                int hi = 0;
                for (const auto& [rgb, n] : boxes[b]) {
                    const int v = channel == 0   ? qRed(rgb)
                                  : channel == 1 ? qGreen(rgb)
                                                 : qBlue(rgb);
                    lo = std::min(lo, v);
                    hi = std::max(hi, v);
                }
                if (hi - lo > widestRange) {
                    widestRange = hi - lo;
                    widest = b;
                    widestChannel = channel;
                }
            }
        }
        if (widest < 0)
            break;
        auto& box = boxes[widest];
        std::sort(box.begin(), box.end(), [&](const auto& a, const auto& b) {
            auto value = [&](QRgb rgb) {
                return widestChannel == 0   ? qRed(rgb)
                       : widestChannel == 1 ? qGreen(rgb)
                                            : qBlue(rgb);
            };
            return value(a.first) < value(b.first);
        });
        const std::size_t half = box.size() / 2;
        std::vector<std::pair<QRgb, int>> upper(box.begin() + half, box.end());
        box.resize(half);
        boxes.push_back(std::move(upper));
    }
    std::vector<QRgb> palette;
    for (const auto& box : boxes) {
        qint64 r = 0, g = 0, b = 0, n = 0;
        for (const auto& [rgb, weight] : box) {
            r += qint64(qRed(rgb)) * weight;
            g += qint64(qGreen(rgb)) * weight;
            b += qint64(qBlue(rgb)) * weight;
            n += weight;
        }
        palette.push_back(qRgb(int(r / n), int(g / n), int(b / n)));
    }
    return palette;
}

class BitWriter
{
public:
    void write(int code, int bits)
    {
        m_buffer |= quint32(code) << m_count;
        m_count += bits;
        while (m_count >= 8) {
            m_bytes.append(char(m_buffer & 0xff));
            m_buffer >>= 8;
            m_count -= 8;
        }
    }
    QByteArray finish()
    {
        if (m_count > 0)
            m_bytes.append(char(m_buffer & 0xff));
        return m_bytes;
    }

private:
    QByteArray m_bytes;
    quint32 m_buffer = 0;
    int m_count = 0;
};

// Variable-width LZW as GIF wants it, eight-bit indices.
QByteArray lzw(const QByteArray& indices)
{
    constexpr int minCodeSize = 8;
    constexpr int clearCode = 1 << minCodeSize;
    BitWriter out;
    QHash<quint32, int> table;
    int codeSize = minCodeSize + 1;
    int maxCode = clearCode + 1;
    out.write(clearCode, codeSize);
    int current = -1;
    for (char c : indices) {
        const int next = quint8(c);
        if (current < 0) {
            current = next;
            continue;
        }
        const quint32 key = (quint32(current) << 8) | quint32(next);
        const auto found = table.constFind(key);
        if (found != table.constEnd()) {
            current = found.value();
            continue;
        }
        out.write(current, codeSize);
        table.insert(key, ++maxCode);
        if (maxCode >= (1 << codeSize))
            ++codeSize;
        if (maxCode == 4095) {
            out.write(clearCode, codeSize);
            table.clear();
            codeSize = minCodeSize + 1;
            maxCode = clearCode + 1;
        }
        current = next;
    }
    out.write(current, codeSize);
    out.write(clearCode, codeSize);
    out.write(clearCode + 1, minCodeSize + 1);
    return out.finish();
}

void put16(QByteArray& out, int value)
{
    out.append(char(value & 0xff));
    out.append(char((value >> 8) & 0xff));
}

// Pixels fainter than this are left out; GIF has one transparent colour and no alpha.
constexpr int kTransparentBelow = 24;

// Partly transparent pixels are settled onto the window colour, since GIF has no alpha.
QRgb settle(QRgb premultiplied)
{
    const QRgb argb = qUnpremultiply(premultiplied);
    const int a = qAlpha(argb);
    auto mix = [a](int front, int back) { return (front * a + back * (255 - a) + 127) / 255; };
    return qRgb(mix(qRed(argb), kWindow.red()), mix(qGreen(argb), kWindow.green()),
                mix(qBlue(argb), kWindow.blue()));
}

bool writeGif(const QString& path, const std::vector<QImage>& frames, int delayCs)
{
    const int width = frames.front().width();
    const int height = frames.front().height();

    std::map<QRgb, int> histogram;
    for (const QImage& frame : frames)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const QRgb px = frame.pixel(x, y);
                if (qAlpha(px) >= kTransparentBelow)
                    ++histogram[settle(px)];
            }
    std::vector<QRgb> palette = reducePalette(histogram, 255);
    palette.insert(palette.begin(), qRgb(0, 0, 0));
    palette.resize(256, qRgb(0, 0, 0));

    auto nearest = [&](QRgb rgb) {
        int best = 1;
        int bestDistance = INT_MAX;
        for (int i = 1; i < 256; ++i) {
            const int dr = qRed(rgb) - qRed(palette[i]);
            const int dg = qGreen(rgb) - qGreen(palette[i]);
            const int db = qBlue(rgb) - qBlue(palette[i]);
            const int d = dr * dr + dg * dg + db * db;
            if (d < bestDistance) {
                bestDistance = d;
                best = i;
            }
        }
        return best;
    };

    QByteArray out("GIF89a");
    put16(out, width);
    put16(out, height);
    out.append(char(0xF7)); // global table of 256 entries
    out.append(char(0));
    out.append(char(0));
    for (QRgb rgb : palette) {
        out.append(char(qRed(rgb)));
        out.append(char(qGreen(rgb)));
        out.append(char(qBlue(rgb)));
    }
    out.append("\x21\xFF\x0BNETSCAPE2.0\x03\x01", 16);
    put16(out, 0); // loop for ever
    out.append(char(0));

    for (const QImage& frame : frames) {
        out.append("\x21\xF9\x04", 3);
        out.append(char((2 << 2) | 1)); // restore to background, transparent index in use
        put16(out, delayCs);
        out.append(char(0));
        out.append(char(0));

        out.append(char(0x2C));
        put16(out, 0);
        put16(out, 0);
        put16(out, width);
        put16(out, height);
        out.append(char(0));

        QByteArray indices;
        indices.reserve(width * height);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const QRgb px = frame.pixel(x, y);
                indices.append(char(qAlpha(px) < kTransparentBelow ? 0 : nearest(settle(px))));
            }
        out.append(char(8));
        const QByteArray data = lzw(indices);
        for (int i = 0; i < data.size(); i += 255) {
            const QByteArray block = data.mid(i, 255);
            out.append(char(block.size()));
            out.append(block);
        }
        out.append(char(0));
    }
    out.append(char(0x3B));

    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(out) == out.size();
}

// A decoded frame against its drawing: transparent where the drawing is (nearly) clear,
// otherwise within the palette's rounding of the settled colour.
bool sameLook(const QImage& drawn, const QImage& decoded)
{
    for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < drawn.width(); ++x) {
            const QRgb want = drawn.pixel(x, y);
            const QRgb got = decoded.pixel(x, y);
            if (qAlpha(want) < kTransparentBelow) {
                if (qAlpha(got) != 0)
                    return false;
                continue;
            }
            const QRgb settled = settle(want);
            if (qAlpha(got) != 255 || qAbs(qRed(got) - qRed(settled)) > 12 ||
                qAbs(qGreen(got) - qGreen(settled)) > 12 || qAbs(qBlue(got) - qBlue(settled)) > 12)
                return false;
        }
    return true;
}

// ---- the set ------------------------------------------------------------------------------

struct Icon
{
    int number;
    const char* role;
    std::function<QImage()> draw;
};

std::vector<Icon> iconSet()
{
    return {
        {1, "radio indicator, unchecked", [] { return radio(false); }},
        {2, "radio indicator, checked", [] { return radio(true); }},
        {3, "save, under the pointer", [] { return saveButton(true); }},
        {4, "save", [] { return saveButton(false); }},
        {5, "check box, unchecked (spare)", [] { return checkBox(false); }},
        {6, "check box, checked (spare)", [] { return checkBox(true); }},
        {7, "acquisition program icon (spare)", [] { return programIcon(true); }},
        {8, "hotspot program icon (spare)", [] { return programIcon(false); }},
        {9, "no Wi-Fi adapter", [] { return wifiNoAdapter(); }},
        {10, "hosted network failed", [] { return wifiFailed(); }},
        {11, "Wi-Fi, no arc lit (spare)", [] { return wifi(0); }},
        {12, "Wi-Fi, one arc lit", [] { return wifi(1); }},
        {13, "Wi-Fi, two arcs lit", [] { return wifi(2); }},
        {14, "Wi-Fi running", [] { return wifi(3); }},
        {15, "update, under the pointer", [] { return updateButton(true); }},
        {16, "update", [] { return updateButton(false); }},
        {17, "close, under the pointer", [] { return closeButton(20, true); }},
        {18, "close", [] { return closeButton(20, false); }},
        {19, "mirror top to bottom, under the pointer", [] { return mirrorTool(true, true); }},
        {20, "mirror top to bottom", [] { return mirrorTool(true, false); }},
        {21, "scanner lit", [] { return scannerIcon(kTeal, kTeal, 3); }},
        {22, "scanner dimmed", [] { return scannerIcon(kMuted, kMuted, 0); }},
        {23, "scanner fault (spare)", [] { return scannerFault(); }},
        {24, "turn right, under the pointer", [] { return rotateTool(true, true); }},
        {25, "turn right", [] { return rotateTool(true, false); }},
        {26, "turn left, under the pointer", [] { return rotateTool(false, true); }},
        {27, "turn left", [] { return rotateTool(false, false); }},
        {28, "mirror left to right, under the pointer", [] { return mirrorTool(false, true); }},
        {29, "mirror left to right", [] { return mirrorTool(false, false); }},
    };
}

// The scanner at work: the rays grow, hold and fade while the lens stays lit.
std::vector<QImage> scanningFrames()
{
    std::vector<QImage> frames;
    const qreal rays[] = {0, 1, 2, 3, 3, 2};
    for (qreal r : rays)
        frames.push_back(scannerIcon(kTeal, kTeal, r));
    return frames;
}

// All icons on the window colour, each at its own size and enlarged four times pixel
// for pixel, for a quick look at the set.
QImage previewSheet(const QString& folder)
{
    constexpr int width = 150;
    constexpr int height = 170;
    constexpr int columns = 6;
    constexpr int count = 30;
    QImage sheet(columns * width, ((count + columns - 1) / columns) * height, QImage::Format_RGB32);
    sheet.fill(kWindow);
    QPainter p(&sheet);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    p.setFont(font);
    for (int i = 0; i < count; ++i) {
        const QString name =
            i < 29 ? QStringLiteral("1 (%1).png").arg(i + 1) : QStringLiteral("1 (1).gif");
        const QImage icon(QDir(folder).filePath(name));
        const QRect area((i % columns) * width, (i / columns) * height, width, height);
        const int zoom = icon.width() > 40 ? 2 : 4;
        const QSize shown = icon.size() * zoom;
        p.drawImage(QRect(QPoint(area.center().x() - shown.width() / 2,
                                 area.top() + 8 + (128 - shown.height()) / 2),
                          shown),
                    icon);
        p.drawImage(QPoint(area.left() + 4, area.top() + 4), icon);
        p.setPen(kInk);
        p.drawText(QRect(area.left(), area.bottom() - 26, width, 20), Qt::AlignCenter, name);
    }
    return sheet;
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString sheetPath;
    const int sheetAt = args.indexOf(QStringLiteral("--sheet"));
    if (sheetAt >= 0 && sheetAt + 1 < args.size()) {
        sheetPath = args.at(sheetAt + 1);
        args.erase(args.begin() + sheetAt, args.begin() + sheetAt + 2);
    }
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: imagra-artwork OUTPUT_FOLDER [--sheet PREVIEW.png]\n");
        return 2;
    }
    const QDir folder(args.first());
    if (!folder.exists() && !QDir().mkpath(folder.path())) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(folder.path()));
        return 1;
    }

    QTextStream out(stdout);
    for (const Icon& icon : iconSet()) {
        const QString name = QStringLiteral("1 (%1).png").arg(icon.number);
        const QImage image = icon.draw().convertToFormat(QImage::Format_ARGB32);
        if (!image.save(folder.filePath(name), "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(folder.filePath(name)));
            return 1;
        }
        out << name << "  " << image.width() << " x " << image.height() << "  " << icon.role
            << '\n';
    }

    const std::vector<QImage> frames = scanningFrames();
    const QString gifPath = folder.filePath(QStringLiteral("1 (1).gif"));
    if (!writeGif(gifPath, frames, 12)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(gifPath));
        return 1;
    }
    // Read it back the way the programs will, so a broken encoder never ships.
    QImageReader reader(gifPath);
    if (reader.imageCount() != int(frames.size())) {
        std::fprintf(stderr, "%s does not read back as %d frames\n", qPrintable(gifPath),
                     int(frames.size()));
        return 1;
    }
    for (const QImage& frame : frames) {
        const QImage back = reader.read().convertToFormat(QImage::Format_ARGB32);
        if (back.size() != frame.size() || !sameLook(frame, back)) {
            std::fprintf(stderr, "%s: a frame does not read back as drawn\n", qPrintable(gifPath));
            return 1;
        }
    }
    out << "1 (1).gif  24 x 24  scanner at work, " << frames.size() << " frames\n";

    if (!sheetPath.isEmpty() && !previewSheet(folder.path()).save(sheetPath, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(sheetPath));
        return 1;
    }
    return 0;
}

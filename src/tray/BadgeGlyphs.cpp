#include "BadgeGlyphs.h"

#include <QPainterPathStroker>

namespace creditgauge {
namespace {

// Glyphs are drawn as strokes along centre lines on a grid 10 units tall (y = 0 at the top,
// 10 on the baseline), then outlined with round ends: a bold, plain face that stays legible
// down to 8 pixels.
constexpr qreal stroke = 1.8;
constexpr qreal top = 0.9;
constexpr qreal base = 9.1;

struct Glyph
{
    QPainterPath centreLines;
    qreal advance;
};

QPainterPath line(std::initializer_list<QPointF> points)
{
    QPainterPath path;
    bool first = true;
    for (const QPointF &p : points) {
        if (first)
            path.moveTo(p);
        else
            path.lineTo(p);
        first = false;
    }
    return path;
}

QPainterPath ellipse(qreal x, qreal y, qreal w, qreal h)
{
    QPainterPath path;
    path.addEllipse(QRectF(x, y, w, h));
    return path;
}

QPainterPath dot(qreal x, qreal y)
{
    // A zero-length stroke with round ends is a dot; a tiny one keeps the stroker drawing it.
    return line({{x, y}, {x, y + 0.01}});
}

std::optional<Glyph> glyph(QChar c)
{
    QPainterPath p;
    switch (c.unicode()) {
    case u'0':
        return Glyph {ellipse(0.9, top, 4.2, base - top), 6};
    case u'1':
        return Glyph {line({{1.2, 2.6}, {3.1, top}, {3.1, base}}), 6};
    case u'2':
        p.moveTo(1.0, 3.0);
        p.cubicTo(1.0, 0.5, 5.0, 0.5, 5.0, 3.0);
        p.cubicTo(5.0, 4.8, 1.0, 6.8, 1.0, base);
        p.lineTo(5.2, base);
        return Glyph {p, 6};
    case u'3':
        p.moveTo(0.9, 2.3);
        p.cubicTo(1.5, 0.5, 5.0, 0.5, 5.0, 2.7);
        p.cubicTo(5.0, 4.0, 3.9, 4.7, 2.6, 4.7);
        p.cubicTo(4.4, 4.7, 5.2, 5.7, 5.2, 6.9);
        p.cubicTo(5.2, 9.7, 1.4, 9.8, 0.8, 7.8);
        return Glyph {p, 6};
    case u'4':
        return Glyph {line({{4.2, base}, {4.2, top}, {0.8, 6.6}, {5.4, 6.6}}), 6};
    case u'5':
        p.moveTo(5.0, top);
        p.lineTo(1.4, top);
        p.lineTo(1.1, 4.7);
        p.cubicTo(2.0, 3.9, 5.2, 3.6, 5.2, 6.6);
        p.cubicTo(5.2, 9.8, 1.4, 9.8, 0.8, 8.0);
        return Glyph {p, 6};
    case u'6':
        p.moveTo(4.8, 1.3);
        p.cubicTo(2.2, 0.3, 0.9, 2.8, 0.9, 6.6);
        p.addPath(ellipse(0.9, 4.4, 4.3, base - 4.4));
        return Glyph {p, 6};
    case u'7':
        return Glyph {line({{0.9, top}, {5.1, top}, {2.3, base}}), 6};
    case u'8':
        p.addPath(ellipse(1.3, top, 3.4, 3.8));
        p.addPath(ellipse(0.9, 4.7, 4.2, base - 4.7));
        return Glyph {p, 6};
    case u'9':
        p.addPath(ellipse(0.8, top, 4.3, 4.7));
        p.moveTo(5.1, 3.2);
        p.cubicTo(5.1, 7.2, 3.8, 9.7, 1.2, 8.7);
        return Glyph {p, 6};
    case u',':
        return Glyph {line({{1.0, 8.4}, {0.6, 10.6}}), 2};
    case u'.':
        return Glyph {dot(1.0, base), 2};
    case u'-':
    case u'\u2212':
        return Glyph {line({{0.7, 5.6}, {3.5, 5.6}}), 4.2};
    case u'\u2013':
        return Glyph {line({{0.7, 5.6}, {5.3, 5.6}}), 6};
    case u'!':
        p.addPath(line({{1.1, top}, {1.1, 6.3}}));
        p.addPath(dot(1.1, base));
        return Glyph {p, 2.2};
    case u'\u221e':
        p.addPath(ellipse(0.8, 3.2, 3.5, 3.8));
        p.addPath(ellipse(4.3, 3.2, 3.5, 3.8));
        return Glyph {p, 8.6};
    case u'$':
        p.moveTo(4.9, 2.4);
        p.cubicTo(4.2, 1.0, 1.0, 0.9, 1.0, 3.0);
        p.cubicTo(1.0, 5.0, 5.0, 4.8, 5.0, 7.0);
        p.cubicTo(5.0, 9.3, 1.6, 9.3, 0.9, 7.6);
        p.addPath(line({{3.0, -0.3}, {3.0, 10.3}}));
        return Glyph {p, 6};
    case u'k':
        p.addPath(line({{0.9, -0.2}, {0.9, base}}));
        p.addPath(line({{4.6, 3.7}, {0.9, 7.0}}));
        p.addPath(line({{2.4, 5.7}, {4.8, base}}));
        return Glyph {p, 5.6};
    case u'M':
        return Glyph {line({{0.9, base}, {0.9, top}, {3.5, 6.0}, {6.1, top}, {6.1, base}}), 7};
    case u'G':
        p.moveTo(5.2, 2.2);
        p.cubicTo(4.2, 0.5, 0.9, 0.4, 0.9, 5.0);
        p.cubicTo(0.9, 9.6, 5.2, 9.6, 5.2, 6.5);
        p.lineTo(5.2, 5.4);
        p.lineTo(3.4, 5.4);
        return Glyph {p, 6.1};
    case u'T':
        p.addPath(line({{0.6, top}, {5.4, top}}));
        p.addPath(line({{3.0, top}, {3.0, base}}));
        return Glyph {p, 6};
    case u'P':
        p.moveTo(0.9, base);
        p.lineTo(0.9, top);
        p.lineTo(3.2, top);
        p.cubicTo(5.6, top, 5.6, 5.2, 3.2, 5.2);
        p.lineTo(0.9, 5.2);
        return Glyph {p, 5.8};
    case u'E':
        p.addPath(line({{5.0, top}, {0.9, top}, {0.9, base}, {5.0, base}}));
        p.addPath(line({{0.9, 5.0}, {4.2, 5.0}}));
        return Glyph {p, 5.8};
    case u'Z':
        return Glyph {line({{0.9, top}, {5.1, top}, {0.9, base}, {5.1, base}}), 6};
    case u'Y':
        p.addPath(line({{0.7, top}, {3.0, 5.0}, {5.3, top}}));
        p.addPath(line({{3.0, 5.0}, {3.0, base}}));
        return Glyph {p, 6};
    default:
        return std::nullopt;
    }
}

} // namespace

std::optional<QPainterPath> badgeGlyphs(QStringView text)
{
    QPainterPath centreLines;
    qreal x = 0;
    for (const QChar c : text) {
        const std::optional<Glyph> g = glyph(c);
        if (!g)
            return std::nullopt;
        // Baseline at y = 0, as fonts have it.
        centreLines.addPath(g->centreLines.translated(x, -10));
        x += g->advance;
    }
    QPainterPathStroker stroker;
    stroker.setWidth(stroke);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    return stroker.createStroke(centreLines).simplified();
}

} // namespace creditgauge

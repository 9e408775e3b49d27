#include "TitleIcon.h"

#include "BadgeGlyphs.h"

#include <QColor>
#include <QFont>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPixmap>

#include <algorithm>
#include <array>
#include <cmath>

namespace creditgauge {
namespace {

// Dark badge, light rim, white figure: the dark body carries the figure on light panels and
// the rim outlines the badge on dark ones. The alarm fills the badge red and keeps the figure
// white, because red text on a dark badge is too dim to read at 16-24 px. The red is a deep
// one: white on it stays above 7:1 (on a brighter red it falls to 5:1), also where a host dims
// the icon (GNOME's extension draws it at 94 %), and the red area still reads as an alarm
// even when the figure does not.
struct Colors
{
    QColor fill;
    QColor rim;
    QColor figure;
};

Colors colors(bool alarm)
{
    if (alarm)
        return {QColor(0xa8, 0x00, 0x1f), Qt::white, Qt::white};
    return {QColor(0x2b, 0x2b, 0x2b), QColor(255, 255, 255, 170), Qt::white};
}

// Glyph outlines are measured at this size and scaled into the badge.
constexpr int referencePixels = 100;
// The figure may be squeezed sideways to this fraction of its width to stay taller.
constexpr qreal narrowest = 0.75;

QFont figureFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setWeight(QFont::Bold);
    font.setPixelSize(referencePixels);
    return font;
}

// The figure from our own glyphs; from the system's fonts only for a character they lack.
QPainterPath figurePath(const QString &text)
{
    if (std::optional<QPainterPath> glyphs = badgeGlyphs(text))
        return *glyphs;
    QPainterPath path;
    path.addText(0, 0, figureFont(), text);
    return path;
}

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

} // namespace

QString titleFigure(const QString &title)
{
    const QString text = title.trimmed();
    qsizetype start = text.size();
    while (start > 0 && !text.at(start - 1).isSpace())
        --start;
    const QString figure = text.mid(start);

    // A German whole number: a sign, digits grouped by points in threes (or not at all), maybe
    // a decimal comma with more digits after it.
    QStringView rest(figure);
    QString sign;
    if (rest.startsWith(u'-') || rest.startsWith(u'\u2212')) {
        sign = rest.first(1).toString();
        rest = rest.sliced(1);
    }
    if (const qsizetype comma = rest.indexOf(u','); comma >= 0) {
        for (const QChar c : rest.sliced(comma + 1)) {
            if (!isAsciiDigit(c))
                return figure;
        }
        rest = rest.first(comma);
    }
    const QList<QStringView> parts = rest.split(u'.');
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const qsizetype length = parts[i].size();
        const bool fits
            = parts.size() == 1 ? length >= 1 : (i == 0 ? length >= 1 && length <= 3 : length == 3);
        if (!fits || !std::all_of(parts[i].begin(), parts[i].end(), isAsciiDigit))
            return figure;
    }
    QString digits = rest.toString().remove(QLatin1Char('.'));
    while (digits.size() > 1 && digits.front() == QLatin1Char('0'))
        digits.remove(0, 1);
    if (digits.size() <= 3)
        return sign + digits;

    static const QString suffixes = QStringLiteral("kMGTPEZY");
    const qsizetype groups = (digits.size() - 1) / 3;
    if (groups > suffixes.size())
        return sign + QStringLiteral("\u221e");
    const qsizetype lead = digits.size() - 3 * groups;
    QString shortened = digits.left(lead);
    // One digit alone says too little, so a tenth follows unless it is zero.
    if (lead == 1 && digits.at(1) != QLatin1Char('0'))
        shortened += QLatin1Char(',') + digits.at(1);
    return sign + shortened + suffixes.at(groups - 1);
}

QImage renderTitle(const QString &title, bool alarm, int size)
{
    if (size <= 0)
        return {};
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const Colors c = colors(alarm);

    const int rim = std::max(1, size / 24);
    const qreal radius = size * 0.2;
    const QRectF badge(rim / 2.0, rim / 2.0, size - rim, size - rim);
    painter.setPen(QPen(c.rim, rim));
    painter.setBrush(c.fill);
    painter.drawRoundedRect(badge, radius, radius);

    const QString figure = titleFigure(title);
    if (figure.isEmpty())
        return image;

    const QPainterPath glyphs = figurePath(figure);
    const QRectF ink = glyphs.boundingRect();
    if (ink.isEmpty())
        return image;
    // Every figure shares the digits' height, so "–" and "!" are as large as "12", not
    // stretched to fill the badge; commas and letters that reach further widen the band.
    static const QRectF digitsInk = figurePath(QStringLiteral("0123456789")).boundingRect();
    QRectF digitInk = digitsInk;
    if (digitInk.top() >= 0)
        digitInk = ink;
    const qreal top = std::min(digitInk.top(), ink.top());
    const qreal bottom = std::max(digitInk.bottom(), ink.bottom());

    const int margin = rim + std::max(1, size / 16);
    const qreal room = size - 2 * margin;
    const qreal widthScale = room / ink.width();
    qreal scaleY = std::min(room / (bottom - top), widthScale / narrowest);
    // A whole number of pixels for the digits' height keeps their tops and baseline sharp.
    const qreal digitPixels = std::floor(-digitInk.top() * scaleY);
    if (digitPixels >= 1 && digitInk.top() < 0)
        scaleY = digitPixels / -digitInk.top();
    const qreal scaleX = std::min(widthScale, scaleY);

    const qreal x = (size - ink.width() * scaleX) / 2 - ink.left() * scaleX;
    const qreal baseline = std::round((size - (bottom - top) * scaleY) / 2 - top * scaleY);

    QTransform transform;
    transform.translate(x, baseline);
    transform.scale(scaleX, scaleY);
    painter.setPen(Qt::NoPen);
    painter.setBrush(c.figure);
    painter.drawPath(transform.map(glyphs));
    return image;
}

namespace {

// Draws the badge at whatever size the tray asks for, when it asks: a tray shows one size,
// and drawing every size up front would cost each title change the time and memory of all.
class TitleIconEngine : public QIconEngine
{
public:
    TitleIconEngine(const QString &title, bool alarm)
        : m_title(title)
        , m_alarm(alarm)
    { }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode, QIcon::State) override
    {
        const int size = std::min(rect.width(), rect.height());
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        const QImage image = renderTitle(m_title, m_alarm, int(std::ceil(size * ratio)));
        const QRect square(rect.x() + (rect.width() - size) / 2,
                           rect.y() + (rect.height() - size) / 2, size, size);
        painter->drawImage(square, image);
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return pixmap;
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override
    {
        QList<QSize> sizes;
        for (const int size : titleIconSizes)
            sizes << QSize(size, size);
        return sizes;
    }

    QIconEngine *clone() const override { return new TitleIconEngine(m_title, m_alarm); }

private:
    QString m_title;
    bool m_alarm;
};

} // namespace

QIcon titleIcon(const QString &title, bool alarm)
{
    return QIcon(new TitleIconEngine(title, alarm));
}

QByteArray plainPng(const QImage &image)
{
    static const auto crcTable = [] {
        std::array<quint32, 256> table {};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xedb88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        return table;
    }();
    const auto big = [](QByteArray &out, quint32 value) {
        for (int shift = 24; shift >= 0; shift -= 8)
            out.append(char(value >> shift));
    };
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    const auto chunk = [&](const char *type, const QByteArray &data) {
        big(png, quint32(data.size()));
        const QByteArray body = QByteArray(type, 4) + data;
        quint32 crc = 0xffffffffu;
        for (const char byte : body)
            crc = crcTable[(crc ^ quint8(byte)) & 0xff] ^ (crc >> 8);
        png += body;
        big(png, crc ^ 0xffffffffu);
    };
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
    QByteArray header;
    big(header, quint32(rgba.width()));
    big(header, quint32(rgba.height()));
    header.append("\x08\x06\x00\x00\x00", 5); // 8 bits, RGBA, no interlace
    chunk("IHDR", header);
    // Each row after its filter byte (none).
    QByteArray raw;
    for (int y = 0; y < rgba.height(); ++y)
        raw += '\0'
            + QByteArray(reinterpret_cast<const char *>(rgba.constScanLine(y)), rgba.width() * 4);
    // qCompress() is a zlib stream after four bytes of length.
    chunk("IDAT", qCompress(raw).sliced(4));
    chunk("IEND", {});
    return png;
}

} // namespace creditgauge

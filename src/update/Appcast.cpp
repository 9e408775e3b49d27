#include "Appcast.h"

#include <QXmlStreamReader>

#include <algorithm>

namespace creditgauge::Appcast {
namespace {

// The order matters: a number beats a period, and both beat a string.
enum class PartType { String, Period, Number };

struct Part
{
    PartType type;
    QString text; // numbers as ASCII digits
};

// Runs of digits and of other characters become parts, each period is a part of its own, and
// whitespace and punctuation only separate.
QList<Part> split(const QString &version)
{
    QList<Part> parts;
    bool separated = true;
    for (const QChar c : version) {
        if (c == u'.') {
            parts.append({PartType::Period, QString(c)});
            separated = true;
            continue;
        }
        if (c.isSpace() || c.isPunct()) {
            separated = true;
            continue;
        }
        const PartType type = c.isDigit() ? PartType::Number : PartType::String;
        // Digits of any script count by their value.
        const QChar stored = type == PartType::Number ? QChar(u'0' + c.digitValue()) : c;
        if (!separated && parts.last().type == type)
            parts.last().text += stored;
        else
            parts.append({type, QString(stored)});
        separated = false;
    }
    return parts;
}

int sign(int value)
{
    return (value > 0) - (value < 0);
}

QStringView withoutLeadingZeros(const QString &digits)
{
    qsizetype i = 0;
    while (i < digits.size() && digits.at(i) == u'0')
        ++i;
    return QStringView(digits).mid(i);
}

// Any length: the longer number without leading zeros is the larger, equal lengths compare
// digit by digit.
int compareNumbers(const QString &a, const QString &b)
{
    const QStringView x = withoutLeadingZeros(a);
    const QStringView y = withoutLeadingZeros(b);
    if (x.size() != y.size())
        return x.size() < y.size() ? -1 : 1;
    return sign(x.compare(y));
}

bool isZeroLike(const Part &part)
{
    return part.type == PartType::Period
        || (part.type == PartType::Number && withoutLeadingZeros(part.text).isEmpty());
}

} // namespace

int compareVersions(const QString &a, const QString &b)
{
    const QList<Part> partsA = split(a);
    const QList<Part> partsB = split(b);
    const qsizetype common = std::min(partsA.size(), partsB.size());
    for (qsizetype i = 0; i < common; ++i) {
        const Part &x = partsA.at(i);
        const Part &y = partsB.at(i);
        if (x.type != y.type)
            return x.type < y.type ? -1 : 1;
        if (x.type == PartType::Number) {
            if (const int order = compareNumbers(x.text, y.text))
                return order;
        } else if (x.type == PartType::String) {
            if (const int order = sign(x.text.compare(y.text)))
                return order;
        }
    }
    if (partsA.size() == partsB.size())
        return 0;

    // The shorter one reads as if padded with zeros, so 2.1 and 2.1.0 are the same version;
    // after that a string marks a pre-release of the shorter (1.0b < 1.0), anything else a
    // later release (1.0 < 1.0.1).
    const bool aIsLonger = partsA.size() > partsB.size();
    const QList<Part> &longer = aIsLonger ? partsA : partsB;
    const auto rest = std::find_if_not(longer.cbegin() + common, longer.cend(), isZeroLike);
    if (rest == longer.cend())
        return 0;
    const bool longerIsNewer = rest->type != PartType::String;
    return longerIsNewer == aIsLonger ? 1 : -1;
}

namespace {

// Only an absolute https address is offered for opening.
QUrl httpsUrl(const QString &text)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (url.isValid() && url.scheme() == u"https" && !url.host().isEmpty())
        return url;
    return {};
}

QString elementText(QXmlStreamReader &reader)
{
    return reader.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
}

// Reads one <item> up to its end tag. Only its direct children count: the enclosures inside
// <sparkle:deltas> describe patches, not the release.
std::optional<AppcastItem> readItem(QXmlStreamReader &reader)
{
    QString version;
    QString shortVersion;
    QString versionAttribute;
    QString shortVersionAttribute;
    QString title;
    QList<QString> links;
    QString enclosureUrl;
    bool sawEnclosure = false;

    while (reader.readNextStartElement()) {
        const QStringView ns = reader.namespaceUri();
        const QStringView name = reader.name();
        if (ns == sparkleNamespace && name == u"version") {
            version = elementText(reader);
        } else if (ns == sparkleNamespace && name == u"shortVersionString") {
            shortVersion = elementText(reader);
        } else if (ns.isEmpty() && name == u"title") {
            title = elementText(reader);
        } else if (ns.isEmpty() && name == u"link") {
            links.append(elementText(reader));
        } else if (ns.isEmpty() && name == u"enclosure" && !sawEnclosure) {
            sawEnclosure = true;
            const QXmlStreamAttributes attributes = reader.attributes();
            versionAttribute = attributes.value(sparkleNamespace, QLatin1StringView("version"))
                                   .trimmed()
                                   .toString();
            shortVersionAttribute
                = attributes.value(sparkleNamespace, QLatin1StringView("shortVersionString"))
                      .trimmed()
                      .toString();
            enclosureUrl = attributes.value(QLatin1StringView("url")).toString();
            reader.skipCurrentElement();
        } else {
            reader.skipCurrentElement();
        }
    }
    if (reader.hasError())
        return std::nullopt;

    AppcastItem item;
    item.version = !version.isEmpty() ? version : versionAttribute;
    if (item.version.isEmpty())
        return std::nullopt;
    item.displayVersion = !shortVersion.isEmpty() ? shortVersion
        : !shortVersionAttribute.isEmpty()        ? shortVersionAttribute
                                                  : item.version;
    item.title = title;
    // The page is the better thing to open; the file itself is the fallback.
    links.append(enclosureUrl);
    for (const QString &candidate : std::as_const(links)) {
        item.link = httpsUrl(candidate);
        if (!item.link.isEmpty())
            break;
    }
    return item;
}

} // namespace

std::optional<QList<AppcastItem>> parseItems(const QByteArray &xml)
{
    QXmlStreamReader reader(xml);
    QList<AppcastItem> items;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && reader.name() == u"item"
            && reader.namespaceUri().isEmpty()) {
            if (std::optional<AppcastItem> item = readItem(reader))
                items.append(std::move(*item));
        }
    }
    if (reader.hasError())
        return std::nullopt;
    return items;
}

std::optional<AppcastItem> newestItem(const QList<AppcastItem> &items)
{
    const AppcastItem *newest = nullptr;
    for (const AppcastItem &item : items) {
        if (!newest || compareVersions(item.version, newest->version) > 0)
            newest = &item;
    }
    if (!newest)
        return std::nullopt;
    return *newest;
}

std::optional<AppcastItem> newestItem(const QByteArray &xml)
{
    const std::optional<QList<AppcastItem>> items = parseItems(xml);
    if (!items)
        return std::nullopt;
    return newestItem(*items);
}

} // namespace creditgauge::Appcast

#include "Appcast.h"

#include <QXmlStreamReader>

#include <algorithm>
#include <optional>
#include <tuple>

namespace creditgauge::Appcast {
namespace {

// One component of a version: a run of digits, compared by value, or a run of letters,
// compared as text. Everything else only separates.
struct Component
{
    bool number;
    QStringView text; // a number's digits without its leading zeros
};

class Components
{
public:
    explicit Components(QStringView version)
        : m_rest(version)
    { }

    // The next component; nothing once the version is used up.
    std::optional<Component> next()
    {
        qsizetype i = 0;
        while (i < m_rest.size() && !m_rest[i].isDigit() && !m_rest[i].isLetter())
            ++i;
        if (i == m_rest.size()) {
            m_rest = {};
            return std::nullopt;
        }
        const bool number = m_rest[i].isDigit();
        qsizetype end = i;
        while (end < m_rest.size() && (number ? m_rest[end].isDigit() : m_rest[end].isLetter()))
            ++end;
        QStringView text = m_rest.sliced(i, end - i);
        m_rest = m_rest.sliced(end);
        if (number) {
            while (!text.isEmpty() && text.front().digitValue() == 0)
                text = text.sliced(1);
        }
        return Component {number, text};
    }

private:
    QStringView m_rest;
};

int sign(qsizetype value)
{
    return (value > 0) - (value < 0);
}

// Digits of any script count by their value; without leading zeros, the longer is larger.
int compareNumbers(QStringView a, QStringView b)
{
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (const int d = a[i].digitValue() - b[i].digitValue())
            return sign(d);
    }
    return 0;
}

// A missing component counts as the number 0, so 2.1 and 2.1.0 are the same version, and
// letters order below any number, so 1.0b (a pre-release) comes before 1.0 and 1.0.0.
int compareComponents(const std::optional<Component> &a, const std::optional<Component> &b)
{
    const Component zero {true, {}};
    const Component &x = a.value_or(zero);
    const Component &y = b.value_or(zero);
    if (x.number != y.number)
        return x.number ? 1 : -1;
    if (x.number)
        return compareNumbers(x.text, y.text);
    return sign(x.text.compare(y.text));
}

} // namespace

int compareVersions(const QString &a, const QString &b)
{
    // Components compare one by one, as if the shorter version went on with zeros: a
    // lexicographic order, and so a total one.
    Components x(a);
    Components y(b);
    for (;;) {
        const std::optional<Component> cx = x.next();
        const std::optional<Component> cy = y.next();
        if (!cx && !cy)
            return 0;
        if (const int order = compareComponents(cx, cy))
            return order;
    }
}

QString forDisplay(const QString &text)
{
    constexpr qsizetype longest = 40;
    if (text.size() <= longest)
        return text;
    return text.first(longest - 1) + QChar(u'\u2026');
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
    // Items of the same version are told apart by their texts, so that which one is picked
    // never depends on the order of the feed.
    const auto newer = [](const AppcastItem &a, const AppcastItem &b) {
        if (const int order = compareVersions(a.version, b.version))
            return order > 0;
        return std::tuple(a.version, a.displayVersion, a.title, a.link.toString())
            > std::tuple(b.version, b.displayVersion, b.title, b.link.toString());
    };
    const AppcastItem *newest = nullptr;
    for (const AppcastItem &item : items) {
        if (!newest || newer(item, *newest))
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

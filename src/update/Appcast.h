#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

namespace creditgauge {

// One release announced in the update feed.
struct AppcastItem
{
    QString version; // compared with the installed version
    QString displayVersion; // shown to the user; the version when the feed gives none
    QString title;
    QUrl link; // the download page, https only; empty when the feed offers no such address

    bool operator==(const AppcastItem &) const = default;
};

namespace Appcast {

inline constexpr QLatin1StringView sparkleNamespace {
    "http://www.andymatuschak.org/xml-namespaces/sparkle"};

// Orders two version strings: <0 when `a` is older, 0 when they are the same version, >0 when
// `a` is newer. Numbers compare by value, a trailing ".0" changes nothing, and letters mark a
// pre-release (1.0b2 < 1.0 = 1.0.0 < 1.0.1). A total order, linear in the texts' length.
int compareVersions(const QString &a, const QString &b);

// A text from the feed as a dialog shows it: at most 40 characters, cut with "…".
QString forDisplay(const QString &text);

// The items of an RSS update feed that name a version, in feed order; nothing when the XML is
// not well-formed.
std::optional<QList<AppcastItem>> parseItems(const QByteArray &xml);

// The item with the highest version, whatever the feed's order; nothing when there is none.
std::optional<AppcastItem> newestItem(const QList<AppcastItem> &items);
// The same for a feed; nothing for malformed XML or a feed without a usable item.
std::optional<AppcastItem> newestItem(const QByteArray &xml);

} // namespace Appcast
} // namespace creditgauge

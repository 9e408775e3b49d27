#include "Autostart.h"

#include "core/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

namespace creditgauge::Autostart {
namespace {

const QString fileName = QStringLiteral("autostart/creditgauge.desktop");

// The entries the system offers every user (XDG_CONFIG_DIRS), first match wins.
QString systemEntry()
{
    const QString own = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    for (const QString &dir :
         QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation)) {
        if (dir == own)
            continue;
        const QString path = dir + QLatin1Char('/') + fileName;
        if (QFileInfo::exists(path))
            return path;
    }
    return {};
}

// An entry switches the program off when its main group says Hidden=true or, for GNOME,
// X-GNOME-Autostart-enabled=false. Only those two keys matter here, so a line reader does;
// QSettings would take the desktop file's lists and locale keys apart.
bool entryStarts(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bool inMainGroup = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == u"[Desktop Entry]";
            continue;
        }
        if (!inMainGroup)
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            continue;
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (key == u"Hidden" && value == u"true")
            return false;
        if (key == u"X-GNOME-Autostart-enabled" && value == u"false")
            return false;
    }
    return true;
}

// The command as the entry's Exec key wants it: the plain name when the program is the one the
// search path finds (an update that moves nothing keeps working), else the full path, quoted
// and escaped as the desktop entry format asks.
QString execValue()
{
    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    const QString found = QStandardPaths::findExecutable(QStringLiteral("creditgauge"));
    if (!found.isEmpty() && QFileInfo(found).canonicalFilePath() == self)
        return QStringLiteral("creditgauge");
    static const QString plain
        = QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._+-");
    if (std::all_of(self.cbegin(), self.cend(), [](QChar c) { return plain.contains(c); }))
        return self;
    QString quoted;
    for (const QChar c : self) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    // A backslash is itself escaped once more by the string value rules, and a percent sign
    // would start a field code.
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    quoted.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

bool write(const QString &path, const QByteArray &contents)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(contents);
    return file.commit();
}

} // namespace

bool isSupported()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN) && !defined(Q_OS_ANDROID)
    return true;
#else
    return false;
#endif
}

QString entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QLatin1Char('/') + fileName;
}

bool isEnabled()
{
    const QString own = entryPath();
    if (QFileInfo::exists(own))
        return entryStarts(own);
    const QString system = systemEntry();
    return !system.isEmpty() && entryStarts(system);
}

bool setEnabled(bool enabled)
{
    const QString path = entryPath();
    const QString system = systemEntry();
    bool ok = true;
    if (enabled) {
        ok = write(path,
                   "[Desktop Entry]\n"
                   "Type=Application\n"
                   "Name=CreditGauge\n"
                   "Comment=Zeigt das verbleibende API-Guthaben im Statusbereich\n"
                   "Exec="
                       + execValue().toUtf8()
                       + "\n"
                         "Icon=creditgauge\n"
                         "Terminal=false\n"
                         "X-GNOME-Autostart-enabled=true\n"
                         // A tray item needs the panel; Plasma starts it after the panel.
                         "X-KDE-autostart-after=panel\n");
    } else if (!system.isEmpty() && entryStarts(system)) {
        ok = write(path, "[Desktop Entry]\nType=Application\nName=CreditGauge\nHidden=true\n");
    } else if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
        ok = QFile::remove(path);
    }
    qCDebug(log::tray).noquote() << "autostart" << (enabled ? "on:" : "off:") << path
                                 << (ok ? "done" : "failed");
    return ok;
}

} // namespace creditgauge::Autostart

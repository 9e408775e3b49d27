#pragma once

#include <QDBusVariant>
#include <QObject>
#include <QPalette>

namespace creditgauge {

// The panel, the dialogs and our own menus follow the desktop's light or dark preference: the
// XDG desktop portal's appearance setting where a portal answers, and as it changes; the
// platform theme's palette otherwise, and whenever that already matches the preference.
class ColorScheme : public QObject
{
    Q_OBJECT
public:
    // The portal's values of org.freedesktop.appearance color-scheme.
    enum class Preference : uint { None = 0, Dark = 1, Light = 2 };

    // Asks the portal without waiting; the palette changes once it answers.
    explicit ColorScheme(QObject *parent = nullptr);
    ~ColorScheme() override;

    // The palette for `preference` on top of `platform`, the theme's own: itself when it
    // already matches (or nothing is preferred), a dark or light one in its place otherwise.
    static QPalette paletteFor(Preference preference, const QPalette &platform);

Q_SIGNALS:
    // The portal's preference has been read or has changed, and the palette follows it.
    void applied();

private Q_SLOTS:
    void settingChanged(const QString &group, const QString &key, const QDBusVariant &value);

private:
    void apply(const QVariant &value);

    bool m_overridden = false;
};

} // namespace creditgauge

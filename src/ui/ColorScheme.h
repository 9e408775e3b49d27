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
    // Asks the portal without waiting; the palette changes once it answers.
    explicit ColorScheme(QObject *parent = nullptr);
    ~ColorScheme() override;

    // Whether text on this palette's windows is light on dark: what the panel's own colours
    // and the preference are matched against.
    static bool isDark(const QPalette &palette);

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

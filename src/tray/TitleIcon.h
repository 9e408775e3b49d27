#pragma once

#include <QIcon>
#include <QImage>
#include <QString>

#include <array>

// The tray title drawn as a square icon: tray slots are square, so the figure goes without its
// currency symbol onto a small badge.
namespace creditgauge {

// The sizes, in pixels, the icon is offered in: hosts pick the nearest and scale, panels from
// 16 px up, high-DPI ones double (44 for the common 22). titleIcon() draws any other size it is
// asked for as well (Qt's XEmbed icon is as tall as the tray).
inline constexpr std::array<int, 6> titleIconSizes {16, 22, 24, 32, 44, 48};

// What the icon shows for a title such as "$ 12", "€ 1.234" or "$ –": the part after the
// currency symbol, with four or more digits shortened ("1.234" -> "1,2k", "12.345" -> "12k",
// "1.234.567" -> "1,2M"). Shortening truncates, so the icon never shows more than there is.
// Anything that is not a German whole number ("–", "!", "∞") comes back unchanged.
QString titleFigure(const QString &title);

// titleFigure(title) on a rounded badge, `size` pixels square; red when `alarm` is set.
QImage renderTitle(const QString &title, bool alarm, int size);

// renderTitle() as an icon, drawn at each size when it is asked for.
QIcon titleIcon(const QString &title, bool alarm);

// `image` as a PNG file, written without the image plugins QImageWriter would load into a
// process that then idles for months.
QByteArray plainPng(const QImage &image);

} // namespace creditgauge

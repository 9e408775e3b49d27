#pragma once

#include <QPainterPath>
#include <QStringView>

#include <optional>

namespace creditgauge {

// The badge's figure as outlines of our own, for every character a title's figure holds
// (digits, the decimal comma, minus signs and dashes, "!", "∞", "$" and the suffixes k, M, G,
// T, P, E, Z, Y): drawn without the system's fonts, so the item needs no font to show and
// loads none. Digits stand on the baseline (y = 0) and are 10 units tall. Nothing when a
// character has no glyph here.
std::optional<QPainterPath> badgeGlyphs(QStringView text);

} // namespace creditgauge

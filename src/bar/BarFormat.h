#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace creditgauge {

// How the text-bar mode writes its lines; known to the command line before any library of the
// mode is loaded.
enum class BarFormat {
    Plain, // the title, "$ 1.235"
    Waybar, // JSON: text, tooltip, class, alt
    I3blocks, // JSON for a persistent block: full_text, short_text, color
    Polybar, // the title, in the alarm colour through polybar's format tags
};

// The names on the command line, in the order of the enum.
inline constexpr std::array<const char *, 4> barFormatNames {"plain", "waybar", "i3blocks",
                                                             "polybar"};

inline std::optional<BarFormat> barFormatFromName(const QString &name)
{
    for (std::size_t i = 0; i < barFormatNames.size(); ++i) {
        if (name == QLatin1String(barFormatNames[i]))
            return BarFormat(i);
    }
    return std::nullopt;
}

} // namespace creditgauge

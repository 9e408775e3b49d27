#pragma once

namespace creditgauge {

// Who the program is to the desktop: its bus name, the name its launcher is installed under
// (io.github.creditgauge.CreditGauge.desktop), the name notifications and windows give to find
// that launcher. The executable, its settings and its keys keep the short name.
inline constexpr auto applicationId = "io.github.creditgauge.CreditGauge";

} // namespace creditgauge

#include "StatusBarMode.h"

#include <QtGlobal>

// What the program entry resolves for --bar when the modes are built as modules; it has
// checked the format and the provider already (-1: the stored choice, -2: all of them).
extern "C" Q_DECL_EXPORT int creditgauge_run_bar(int argc, char *argv[], int format, int provider)
{
    using namespace creditgauge;
    const auto chosen
        = provider >= 0 ? std::optional(Provider(Provider::Case(provider))) : std::nullopt;
    return runStatusBar(argc, argv, BarFormat(format), chosen, provider == -2);
}

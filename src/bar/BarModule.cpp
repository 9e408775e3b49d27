#include "StatusBarMode.h"

#include <QtGlobal>

// What the program entry resolves for --bar when the modes are built as modules; it has
// checked the format already. `account`: an account's id or name in UTF-8, or null for the
// stored choice.
extern "C" Q_DECL_EXPORT int creditgauge_run_bar(int argc, char *argv[], int format, int all,
                                                 const char *account)
{
    using namespace creditgauge;
    const auto chosen = account ? std::optional(QString::fromUtf8(account)) : std::nullopt;
    return runStatusBar(argc, argv, BarFormat(format), chosen, all != 0);
}

#include "StatusBarMode.h"

#include <QString>
#include <QtGlobal>

// What the program entry resolves for --bar when the modes are built as modules; it has
// checked the format and the provider's name already.
extern "C" Q_DECL_EXPORT int creditgauge_run_bar(int argc, char *argv[], int format,
                                                 const char *provider)
{
    using namespace creditgauge;
    return runStatusBar(argc, argv, BarFormat(format),
                        provider ? Provider::fromRawValue(QString::fromUtf8(provider))
                                 : std::nullopt);
}

#include "Windows.h"

#include "core/Log.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <utility>

namespace creditgauge {

bool installQtTranslations(QCoreApplication &app)
{
    auto *translator = new QTranslator(&app);
    if (!translator->load(QLocale(QLocale::German, QLocale::Germany), QStringLiteral("qtbase"),
                          QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        qCDebug(log::tray) << "Qt's German translations are not installed";
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

void prepareWindows()
{
    static bool prepared = false;
    if (std::exchange(prepared, true))
        return;
    installQtTranslations(*QCoreApplication::instance());
    // The theme has it once the package is installed.
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("creditgauge")));
}

} // namespace creditgauge

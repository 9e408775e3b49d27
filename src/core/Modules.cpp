#include "Modules.h"

#include <QFileInfo>
#include <QLibrary>
#include <QString>

#include <cstdio>

namespace creditgauge::Modules {

QFunctionPointer resolve(const char *fileName, const char *entry, const char *what)
{
#ifdef CREDITGAUGE_MODULE_DIR
    const QString exeDir = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
    const QString name = QString::fromUtf8(fileName);
    QString error;
    // Beside the binary in the build tree; in the library folder once installed.
    for (const QString &dir : {exeDir, exeDir + QStringLiteral("/" CREDITGAUGE_MODULE_DIR)}) {
        QLibrary module(dir + QLatin1Char('/') + name);
        if (const QFunctionPointer function = module.resolve(entry))
            return function;
        if (error.isEmpty() || QFileInfo::exists(dir + QLatin1Char('/') + name))
            error = module.errorString();
    }
    std::fprintf(stderr, "creditgauge: %s lässt sich nicht laden: %s\n", what,
                 error.toLocal8Bit().constData());
#else
    Q_UNUSED(fileName);
    Q_UNUSED(entry);
    std::fprintf(stderr, "creditgauge: %s ist nicht Teil dieses Programms.\n", what);
#endif
    return nullptr;
}

} // namespace creditgauge::Modules

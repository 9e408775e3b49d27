// Three versions from one input (split at NUL bytes): the comparison must be reflexive,
// antisymmetric and transitive, or which update counts as newest would depend on the feed's
// order.
#include "update/Appcast.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

using namespace creditgauge;

namespace {

int order(const QString &a, const QString &b)
{
    return std::clamp(Appcast::compareVersions(a, b), -1, 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QList<QByteArray> parts
        = QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)).split('\0');
    QString v[3];
    for (qsizetype i = 0; i < 3 && i < parts.size(); ++i)
        v[i] = QString::fromUtf8(parts[i]);

    for (const QString &a : v) {
        if (order(a, a) != 0)
            std::abort();
        for (const QString &b : v) {
            if (order(a, b) != -order(b, a))
                std::abort();
            for (const QString &c : v) {
                if (order(a, b) <= 0 && order(b, c) <= 0 && order(a, c) > 0)
                    std::abort();
            }
        }
    }
    return 0;
}

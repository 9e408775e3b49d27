// Any update feed: reading it and picking the newest item neither crash nor take long, and
// only https addresses are ever offered for opening.
#include "update/Appcast.h"

#include <cstdint>
#include <cstdlib>

using namespace creditgauge;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray xml(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<QList<AppcastItem>> items = Appcast::parseItems(xml);
    if (!items)
        return 0;
    for (const AppcastItem &item : *items) {
        if (!item.link.isEmpty() && item.link.scheme() != u"https")
            std::abort();
        if (Appcast::forDisplay(item.displayVersion).size() > 40)
            std::abort();
    }
    (void)Appcast::newestItem(*items);
    return 0;
}

#include "Notices.h"

#include "core/Log.h"

namespace creditgauge {

bool Notices::set(const QString &topic, const QString &text)
{
    if (m_texts.value(topic) == text)
        return false;
    if (text.isEmpty()) {
        m_texts.remove(topic);
        qCInfo(log::refresh).noquote() << topic << "is fine again";
    } else {
        m_texts.insert(topic, text);
        qCWarning(log::refresh).noquote() << text;
    }
    return true;
}

QString Notices::unsaved(const QString &choice)
{
    return choice
        + QStringLiteral(" lässt sich nicht speichern; sie gilt, bis CreditGauge beendet wird.");
}

} // namespace creditgauge

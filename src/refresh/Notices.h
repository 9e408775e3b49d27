#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

namespace creditgauge {

// What the user should know beyond the balance, one text per topic ("history", "settings"):
// that the history or a choice could not be saved. Said once in the log when it begins, and
// once when it is over.
class Notices
{
public:
    // Empty text: nothing more to say on the topic. True when that changed anything.
    bool set(const QString &topic, const QString &text);
    QStringList all() const { return m_texts.values(); }

    // The text for a choice that could not be stored and holds for the session.
    static QString unsaved(const QString &choice);

private:
    QMap<QString, QString> m_texts;
};

} // namespace creditgauge

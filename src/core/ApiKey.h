#pragma once

#include <QChar>
#include <QStringView>

namespace creditgauge::ApiKey {

// False for a key holding a control character or a line or paragraph separator. No provider
// issues such a key; sent, it would end the Authorization header line or inject another one.
inline bool isAcceptable(QStringView key)
{
    for (const QChar c : key) {
        switch (c.category()) {
        case QChar::Other_Control:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            return false;
        default:
            break;
        }
    }
    return true;
}

} // namespace creditgauge::ApiKey

#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// One request to the platform's secret store through the keychain library, answered later on
// the calling thread; what an answer means is KeyStore's business. Two implementations:
// Keychain.cpp asks in this process; KeychainProcess.cpp (Linux, with the modules) has the
// helper program creditgauge-keychain, which is Keychain.cpp's, ask in a process of its own.
namespace creditgauge::Keychain {

struct Answer
{
    // Also the helper's exit status.
    enum class Status { Done = 0, NotFound = 1, Denied = 2, Failed = 3 };
    Status status = Status::Failed;
    QByteArray data; // what a read found, as stored
    QString error; // what the store said, for the log; never a secret
};
using Completion = std::function<void(const Answer &)>;

void read(const QString &account, Completion completion);
// Stores `text` as text, replacing an existing entry.
void write(const QString &account, const QString &text, Completion completion);
// Deletes the entry. One that is not there is Done: nothing is left to remove.
void remove(const QString &account, Completion completion);

} // namespace creditgauge::Keychain

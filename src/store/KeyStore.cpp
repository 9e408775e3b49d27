#include "KeyStore.h"

#include "core/MainThread.h"

#include <QCoreApplication>
#include <QHash>
#include <QList>
#include <QStringDecoder>

#include <qt6keychain/keychain.h>

namespace creditgauge::KeyStore {
namespace {

// Reads still waiting for the store, by account, with everyone who asked meanwhile.
QHash<QString, QList<ReadCompletion>> &pendingReads()
{
    static QHash<QString, QList<ReadCompletion>> pending;
    return pending;
}

std::optional<QString> strictUtf8(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return std::nullopt;
    // Keep a leading U+FEFF as part of the key rather than dropping it as a byte-order mark.
    QStringDecoder decoder(QStringConverter::Utf8,
                           QStringConverter::Flag::ConvertInitialBom
                               | QStringConverter::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError() || text.isEmpty())
        return std::nullopt;
    return text;
}

template<typename Job> Job *makeJob(const QString &account)
{
    auto *job = new Job(QString::fromLatin1(service), QCoreApplication::instance());
    job->setAutoDelete(false);
    // Never fall back to a plain file when no secret store is there.
    job->setInsecureFallback(false);
    job->setKey(account);
    return job;
}

} // namespace

void read(const QString &account, ReadCompletion completion)
{
    auto &pending = pendingReads();
    if (auto it = pending.find(account); it != pending.end()) {
        it->append(std::move(completion));
        return;
    }
    pending.insert(account, {std::move(completion)});

    auto *job = makeJob<QKeychain::ReadPasswordJob>(account);
    QObject::connect(job, &QKeychain::Job::finished, job, [job, account] {
        const std::optional<QString> key
            = job->error() == QKeychain::NoError ? strictUtf8(job->binaryData()) : std::nullopt;
        job->deleteLater();
        const QList<ReadCompletion> waiting = pendingReads().take(account);
        postToMainThread([waiting, key] {
            for (const ReadCompletion &c : waiting)
                c(key);
        });
    });
    job->start();
}

void save(const QString &key, const QString &account, SaveCompletion completion)
{
    auto *job = makeJob<QKeychain::WritePasswordJob>(account);
    // Stored as text, so that an entry made with secret-tool and one made here look alike.
    job->setTextData(key);
    QObject::connect(job, &QKeychain::Job::finished, job,
                     [job, completion = std::move(completion)] {
                         const bool ok = job->error() == QKeychain::NoError;
                         job->deleteLater();
                         postToMainThread([completion, ok] { completion(ok); });
                     });
    job->start();
}

} // namespace creditgauge::KeyStore

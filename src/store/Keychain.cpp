#include "Keychain.h"

#include "KeyStore.h"

#include <QCoreApplication>

#include <qt6keychain/keychain.h>

namespace creditgauge::Keychain {
namespace {

template<typename Job> Job *makeJob(const QString &account)
{
    auto *job = new Job(QString::fromLatin1(KeyStore::service), QCoreApplication::instance());
    job->setAutoDelete(false);
    // Never fall back to a plain file when no secret store is there.
    job->setInsecureFallback(false);
    job->setKey(account);
    return job;
}

Answer answerOf(QKeychain::Job *job)
{
    switch (job->error()) {
    case QKeychain::NoError:
        return {Answer::Status::Done, {}, {}};
    case QKeychain::EntryNotFound:
        return {Answer::Status::NotFound, {}, job->errorString()};
    case QKeychain::AccessDenied:
        return {Answer::Status::Denied, {}, job->errorString()};
    default:
        return {Answer::Status::Failed, {}, job->errorString()};
    }
}

} // namespace

void read(const QString &account, Completion completion)
{
    auto *job = makeJob<QKeychain::ReadPasswordJob>(account);
    QObject::connect(job, &QKeychain::Job::finished, job,
                     [job, completion = std::move(completion)] {
                         job->deleteLater();
                         Answer answer = answerOf(job);
                         if (answer.status == Answer::Status::Done)
                             answer.data = job->binaryData();
                         completion(answer);
                     });
    job->start();
}

void write(const QString &account, const QString &text, Completion completion)
{
    auto *job = makeJob<QKeychain::WritePasswordJob>(account);
    // Stored as text, so that an entry made with secret-tool and one made here look alike.
    job->setTextData(text);
    QObject::connect(job, &QKeychain::Job::finished, job,
                     [job, completion = std::move(completion)] {
                         job->deleteLater();
                         completion(answerOf(job));
                     });
    job->start();
}

void remove(const QString &account, Completion completion)
{
    auto *job = makeJob<QKeychain::DeletePasswordJob>(account);
    QObject::connect(job, &QKeychain::Job::finished, job,
                     [job, completion = std::move(completion)] {
                         job->deleteLater();
                         const Answer answer = answerOf(job);
                         completion(answer.status == Answer::Status::NotFound
                                        ? Answer {Answer::Status::Done, {}, {}}
                                        : answer);
                     });
    job->start();
}

} // namespace creditgauge::Keychain

// Keychain's requests, each run by the helper program creditgauge-keychain in a process of its
// own (keychain_helper.cpp), so that this process never loads libsecret and what it brings.
#include "Keychain.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include <dlfcn.h>

namespace creditgauge::Keychain {
namespace {

using namespace std::chrono_literals;
// Just over D-Bus's own time-out for a call (25 s).
constexpr auto helperTimeout = 30s;

// The helper beside this library, in the build tree as once installed.
QString helperPath()
{
    static const QString path = [] {
        Dl_info info {};
        if (!::dladdr(reinterpret_cast<void *>(&helperPath), &info) || !info.dli_fname)
            return QString();
        return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absolutePath()
            + QStringLiteral("/" CREDITGAUGE_KEYCHAIN_HELPER);
    }();
    return path;
}

// `input` goes to the helper's standard input; its exit status is the answer. Its standard
// error is dropped: nothing there is meant for the user.
void ask(const QString &command, const QString &account, const QByteArray &input,
         Completion completion)
{
    auto *helper = new QProcess(QCoreApplication::instance());
    helper->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(helper, &QProcess::errorOccurred, helper,
                     [helper, completion](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart)
                             return; // finished() follows
                         helper->deleteLater();
                         completion(
                             {Answer::Status::Failed,
                              {},
                              helper->program() + QStringLiteral(": ") + helper->errorString()});
                     });
    // A helper still running when the program ends is ended first, unheard: nobody waits for
    // its answer then, and acting on it would open the bus again while the process is ending.
    // Left to the application object's teardown, its QProcess would say on stderr that it went
    // with the process still running.
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, helper,
                     [helper] {
                         helper->disconnect();
                         helper->kill();
                         helper->waitForFinished();
                     });
    QObject::connect(helper, &QProcess::finished, helper,
                     [helper, completion](int code, QProcess::ExitStatus exit) {
                         // The same where the program ends without aboutToQuit (its event
                         // loop never ran): the helper is killed as the application object goes.
                         if (QCoreApplication::closingDown())
                             return;
                         helper->deleteLater();
                         Answer answer;
                         if (exit == QProcess::NormalExit && code >= int(Answer::Status::Done)
                             && code <= int(Answer::Status::Failed))
                             answer.status = Answer::Status(code);
                         else
                             answer.error = QStringLiteral("the helper ended with %1").arg(code);
                         if (answer.status == Answer::Status::Done)
                             answer.data = helper->readAllStandardOutput();
                         completion(answer);
                     });
    // A stalled keyring holds each of the helper's calls until the bus gives up, and a fresh
    // process makes several: answer as a single call on a held connection would, not later.
    QTimer::singleShot(helperTimeout, helper, [helper] { helper->kill(); });
    helper->start(helperPath(), {command, account});
    helper->write(input);
    helper->closeWriteChannel();
}

} // namespace

void read(const QString &account, Completion completion)
{
    ask(QStringLiteral("read"), account, {}, std::move(completion));
}

void write(const QString &account, const QString &text, Completion completion)
{
    ask(QStringLiteral("write"), account, text.toUtf8(), std::move(completion));
}

void remove(const QString &account, Completion completion)
{
    ask(QStringLiteral("remove"), account, {}, std::move(completion));
}

} // namespace creditgauge::Keychain

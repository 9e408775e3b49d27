#include "CreditGaugeApp.h"

#include "app/CommandLine.h"

#include "core/Modules.h"
#include "core/Provider.h"

#include <QCoreApplication>
#include <QStringList>

#ifndef CREDITGAUGE_TRAY_MODULE
#include "TrayApplication.h"
#include "providers/SelfTest.h"
#ifdef Q_OS_UNIX
#include "bar/StatusBarMode.h"
#endif
#endif

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif
#ifdef Q_OS_UNIX
#include <csignal>
#include <pthread.h>
#endif

#include <cstdio>
#include <cstring>
#include <memory>

namespace creditgauge::CreditGaugeApp {
namespace {

// The one result line is the only output; Qt's own warnings (such as the one it prints after a
// transfer time-out) must not reach the terminal. Our diagnostics reach this handler only when
// the user has enabled their category, and then they are wanted.
void selftestMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && std::strncmp(context.category, "creditgauge.", 12) == 0)
        std::fprintf(stderr, "%s\n",
                     qFormatLogMessage(type, context, message).toLocal8Bit().constData());
}

// Keys pass through this process's memory, so none of it may end up in a core dump, and no
// other process of the same user may attach to it or read it (as password managers do).
void keepMemoryPrivate()
{
#ifdef Q_OS_LINUX
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
}

// The tray and the text-bar mode handle these (SIGUSR1 refreshes, the others end them cleanly),
// but only once UnixSignals has set its handlers, after the modules, the application object and
// more are loaded. Until then they are held back: by default each would end the process. Every
// thread Qt starts meanwhile inherits the mask and keeps them blocked; UnixSignals unblocks them
// in the main thread, before any child process is started. The other modes keep the defaults.
class HeldSignals
{
public:
    HeldSignals()
    {
#ifdef Q_OS_UNIX
        sigset_t held;
        sigemptyset(&held);
        for (const int number : {SIGUSR1, SIGTERM, SIGINT, SIGHUP})
            sigaddset(&held, number);
        pthread_sigmask(SIG_BLOCK, &held, &m_before);
#endif
    }
    // For the modes that handle none of them.
    void release()
    {
#ifdef Q_OS_UNIX
        pthread_sigmask(SIG_SETMASK, &m_before, nullptr);
#endif
    }

private:
#ifdef Q_OS_UNIX
    sigset_t m_before;
#endif
};

// The tray application and the text-bar mode live in modules of their own on Linux, so that
// the self-test never loads the widget, GUI, D-Bus and keychain libraries: it starts faster and
// stays far smaller without them. The self-test's query is in the network library, which the
// entry loads only for it: the tray shows its item before it needs the network.
#ifdef CREDITGAUGE_TRAY_MODULE
int runTray(int argc, char *argv[])
{
    using Entry = int (*)(int, char **);
    const auto entry = reinterpret_cast<Entry>(
        Modules::resolve(CREDITGAUGE_TRAY_MODULE, "creditgauge_run_tray", "Die Tray-Oberfläche"));
    return entry ? entry(argc, argv) : 1;
}

int runBar(int argc, char *argv[], BarFormat format, const std::optional<QString> &account,
           bool all)
{
    using Entry = int (*)(int, char **, int, int, const char *);
    const auto entry = reinterpret_cast<Entry>(Modules::resolve(
        CREDITGAUGE_BAR_MODULE, "creditgauge_run_bar", "Die Ausgabe für Textleisten"));
    const QByteArray chosen = account.value_or(QString()).toUtf8();
    return entry ? entry(argc, argv, int(format), all, account ? chosen.constData() : nullptr) : 1;
}
#else
int runTray(int argc, char *argv[])
{
    return runTrayApplication(argc, argv);
}

#ifdef Q_OS_UNIX
int runBar(int argc, char *argv[], BarFormat format, const std::optional<QString> &account,
           bool all)
{
    return runStatusBar(argc, argv, format, account, all);
}
#endif
#endif

} // namespace

void selftestRun()
{
#ifdef CREDITGAUGE_TRAY_MODULE
    using Entry = void (*)();
    const auto entry = reinterpret_cast<Entry>(Modules::resolve(
        CREDITGAUGE_NETWORK_LIBRARY, "creditgauge_run_selftest", "Der Selbsttest"));
    if (entry)
        entry();
    else
        std::fputs("FEHLER Selbsttest nicht geladen\n", stdout);
#else
    QTextStream out(stdout);
    SelfTest::run(QProcessEnvironment::systemEnvironment(), out);
#endif
}

int main(int argc, char *argv[])
{
    HeldSignals heldSignals;
    keepMemoryPrivate();

    bool selftest = false;
    for (int i = 1; i < argc; ++i)
        selftest = selftest || std::strcmp(argv[i], "--selftest") == 0;

    if (selftest) {
        heldSignals.release();
        qInstallMessageHandler(selftestMessage);
        QCoreApplication app(argc, argv);
        selftestRun();
        return 0;
    }

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const CommandLine::Outcome outcome
        = CommandLine::parse(arguments, QProcessEnvironment::systemEnvironment());
    std::fputs(outcome.out.toLocal8Bit().constData(), stdout);
    std::fputs(outcome.err.toLocal8Bit().constData(), stderr);
    if (outcome.exitCode) {
        heldSignals.release();
        return *outcome.exitCode;
    }
#ifdef Q_OS_UNIX
    if (outcome.bar)
        return runBar(argc, argv, *outcome.bar, outcome.account, outcome.allProviders);
#endif
    return runTray(argc, argv);
}

} // namespace creditgauge::CreditGaugeApp

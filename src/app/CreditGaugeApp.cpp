#include "CreditGaugeApp.h"

#include "app/CommandLine.h"

#include "core/Format.h"
#include "core/Provider.h"
#include "providers/ProviderClient.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QLibrary>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#ifndef CREDITGAUGE_TRAY_MODULE
#include "TrayApplication.h"
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

// Sent when CREDITGAUGE_KEY is not set at all, so that the provider's answer to an unknown
// key can be seen.
const QString placeholderKey = QStringLiteral("sk-placeholder");

QString resultLine(Provider provider, const BalanceResult &result)
{
    if (!result)
        return QStringLiteral("FEHLER ") + provider.rawValue() + QLatin1Char(' ')
            + result.error().m;

    const Balance &b = *result;
    QStringList details;
    for (const BalanceDetail &d : b.details)
        details.append(d.name + QLatin1Char('=') + Format::amount(d.amount, b.currency, true));
    // The blank after the total stands even when no details follow.
    return QStringLiteral("OK ") + provider.rawValue() + QLatin1Char(' ') + b.currency
        + QStringLiteral(" total=") + Format::amount(b.total, b.currency, true) + QLatin1Char(' ')
        + details.join(QLatin1Char(' '));
}

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
// stays far smaller without them.
#ifdef CREDITGAUGE_TRAY_MODULE
QFunctionPointer resolveModule(const char *fileName, const char *entry, const char *what)
{
    const QString exeDir = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
    const QString name = QString::fromUtf8(fileName);
    QString error;
    // Beside the binary in the build tree; in the library folder once installed.
    for (const QString &dir : {exeDir, exeDir + QStringLiteral("/" CREDITGAUGE_MODULE_DIR)}) {
        QLibrary module(dir + QLatin1Char('/') + name);
        if (const QFunctionPointer function = module.resolve(entry))
            return function;
        if (error.isEmpty() || QFileInfo::exists(dir + QLatin1Char('/') + name))
            error = module.errorString();
    }
    std::fprintf(stderr, "creditgauge: %s lässt sich nicht laden: %s\n", what,
                 error.toLocal8Bit().constData());
    return nullptr;
}

int runTray(int argc, char *argv[])
{
    using Entry = int (*)(int, char **);
    const auto entry = reinterpret_cast<Entry>(
        resolveModule(CREDITGAUGE_TRAY_MODULE, "creditgauge_run_tray", "Die Tray-Oberfläche"));
    return entry ? entry(argc, argv) : 1;
}

int runBar(int argc, char *argv[], BarFormat format, std::optional<Provider> provider)
{
    using Entry = int (*)(int, char **, int, int);
    const auto entry = reinterpret_cast<Entry>(resolveModule(
        CREDITGAUGE_BAR_MODULE, "creditgauge_run_bar", "Die Ausgabe für Textleisten"));
    return entry ? entry(argc, argv, int(format), provider ? int(provider->value()) : -1) : 1;
}
#else
int runTray(int argc, char *argv[])
{
    return runTrayApplication(argc, argv);
}

#ifdef Q_OS_UNIX
int runBar(int argc, char *argv[], BarFormat format, std::optional<Provider> provider)
{
    return runStatusBar(argc, argv, format, provider);
}
#endif
#endif

} // namespace

void selftestRun(const QProcessEnvironment &env, QTextStream &out,
                 std::chrono::milliseconds deadline)
{
    const Provider provider
        = Provider::fromRawValue(env.value(QStringLiteral("CREDITGAUGE_PROVIDER")))
              .value_or(Provider::deepseek);
    const QString key = env.contains(QStringLiteral("CREDITGAUGE_KEY"))
        ? env.value(QStringLiteral("CREDITGAUGE_KEY"))
        : placeholderKey;

    // Shared with the completion, which may still run after this function has returned
    // (a late answer during shutdown) and must then do nothing.
    struct State
    {
        std::optional<QString> line;
        bool over = false;
        QPointer<QEventLoop> loop;
    };
    auto state = std::make_shared<State>();

    ProviderClient::fetch(provider, key, [state, provider](BalanceResult result) {
        if (state->over || state->line)
            return;
        state->line = resultLine(provider, result);
        if (state->loop)
            state->loop->quit();
    });

    if (!state->line) {
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(deadline);
        state->loop = &loop;
        loop.exec();
    }
    state->over = true;
    out << state->line.value_or(QStringLiteral("FEHLER Timeout")) << '\n';
    out.flush();
}

void selftestRun()
{
    QTextStream out(stdout);
    selftestRun(QProcessEnvironment::systemEnvironment(), out, selftestDeadline);
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
        return runBar(argc, argv, *outcome.bar, outcome.provider);
#endif
    return runTray(argc, argv);
}

} // namespace creditgauge::CreditGaugeApp

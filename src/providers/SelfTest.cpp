#include "SelfTest.h"

#include "core/Format.h"
#include "core/Provider.h"
#include "providers/BalanceAssembly.h"
#include "providers/ProviderClient.h"

#include <QEventLoop>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <optional>

namespace creditgauge::SelfTest {
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

// The hint for a refused Moonshot key sends the user to the tray's menu for the other region;
// here the region comes from the environment, so the hint names the variable and its value.
BalanceResult regionHintForTheEnvironment(BalanceResult result, MoonshotRegion region)
{
    if (result || !result.error().m.endsWith(BalanceAssembly::moonshotRegionChoice))
        return result;
    const MoonshotRegion other
        = region == MoonshotRegion::china ? MoonshotRegion::international : MoonshotRegion::china;
    QString &text = result.error().m;
    text.chop(BalanceAssembly::moonshotRegionChoice.size());
    text += QStringLiteral("CREDITGAUGE_MOONSHOT_REGION=") + rawValue(other)
        + QStringLiteral(" setzen");
    return result;
}

} // namespace

void run(const QProcessEnvironment &env, QTextStream &out, std::chrono::milliseconds deadline)
{
    const Provider provider
        = Provider::fromRawValue(env.value(QStringLiteral("CREDITGAUGE_PROVIDER")))
              .value_or(Provider::deepseek);
    const QString key = env.contains(QStringLiteral("CREDITGAUGE_KEY"))
        ? env.value(QStringLiteral("CREDITGAUGE_KEY"))
        : placeholderKey;
    // A misspelt region is said, not taken for the default: a China key sent to the
    // International host would read as an invalid key.
    const QString regionName = env.value(QStringLiteral("CREDITGAUGE_MOONSHOT_REGION"));
    const std::optional<MoonshotRegion> region = regionName.isEmpty()
        ? MoonshotRegion::international
        : moonshotRegionFromRawValue(regionName);
    if (!region) {
        out << resultLine(provider,
                          std::unexpected(Err {QStringLiteral(
                              "CREDITGAUGE_MOONSHOT_REGION ist weder international noch china")}))
            << '\n';
        out.flush();
        return;
    }

    // Shared with the completion, which may still run after this function has returned
    // (a late answer during shutdown) and must then do nothing.
    struct State
    {
        std::optional<QString> line;
        bool over = false;
        QPointer<QEventLoop> loop;
    };
    auto state = std::make_shared<State>();

    // A relay's address that is refused sends nothing and says why.
    ProviderClient::fetch(
        provider, key,
        [state, provider, region = *region](BalanceResult result) {
            if (state->over || state->line)
                return;
            state->line
                = resultLine(provider, regionHintForTheEnvironment(std::move(result), region));
            if (state->loop)
                state->loop->quit();
        },
        {*region, env.value(QStringLiteral("CREDITGAUGE_RELAY_URL"))});

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

} // namespace creditgauge::SelfTest

#ifdef CREDITGAUGE_SELFTEST_ENTRY
// What the program entry resolves for --selftest when the network library is loaded on demand.
extern "C" Q_DECL_EXPORT void creditgauge_run_selftest()
{
    QTextStream out(stdout);
    creditgauge::SelfTest::run(QProcessEnvironment::systemEnvironment(), out);
}
#endif

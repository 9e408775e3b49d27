#include "RefreshState.h"

#include "StateText.h"
#include "core/Format.h"

namespace creditgauge {

QString RefreshState::title() const
{
    switch (kind) {
    case Kind::Starting:
    case Kind::NoKey:
    case Kind::Waiting:
        return Format::missingAmount(currency());
    case Kind::StoreUnavailable:
    case Kind::Failed:
        return Format::symbol(currency()) + QStringLiteral(" !");
    case Kind::Balance:
        return Format::title(balance->total, balance->currency);
    }
    Q_UNREACHABLE();
    return {};
}

QString RefreshState::forecastLine() const
{
    return forecast ? Forecast::line(*forecast) : QString();
}

bool RefreshState::alarm() const
{
    switch (kind) {
    case Kind::Starting:
    case Kind::Waiting:
        return false;
    case Kind::Balance:
        return low();
    case Kind::NoKey:
    case Kind::StoreUnavailable:
    case Kind::Failed:
        return true;
    }
    Q_UNREACHABLE();
    return true;
}

} // namespace creditgauge

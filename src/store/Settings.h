#pragma once

#include "core/Provider.h"

// The choices kept outside the secret store: which provider is watched (and for Moonshot, on
// which platform), and whether running low is notified. They live in the platform's native
// settings store (on Linux $XDG_CONFIG_HOME/creditgauge/creditgauge.conf).
namespace creditgauge::Settings {

// The stored provider; deepseek when nothing, or anything but an exact raw value, is stored,
// or the store cannot be read. Reading never writes.
Provider provider();

// Stores the choice and flushes it to disk at once, so that it survives the process being
// killed right after. False when it could not be written.
bool setProvider(Provider provider);

// The platform the Moonshot key belongs to; international unless exactly "china" is stored.
MoonshotRegion moonshotRegion();
// Stores it as setProvider does; false when it could not be written.
bool setMoonshotRegion(MoonshotRegion region);

// Whether low balances and a running-out forecast are notified: on unless "false" is stored.
bool notificationsEnabled();
// Stores it as setProvider does; false when it could not be written.
bool setNotificationsEnabled(bool enabled);

// Whether the providers besides the selected one are asked too (those with a key): on unless
// "false" is stored.
bool allProvidersEnabled();
// Stores it as setProvider does; false when it could not be written.
bool setAllProvidersEnabled(bool enabled);

// The address of the OpenAI-compatible relay, as the user entered it; empty when none is.
QString relayAddress();
// Stores it as setProvider does; false when it could not be written.
bool setRelayAddress(const QString &address);

// The provider's low mark, in its own currency: a positive amount, 2.00 unless another is
// stored.
double lowMark(Provider provider);
// Stores it as setProvider does; false when it could not be written.
bool setLowMark(Provider provider, double mark);

} // namespace creditgauge::Settings

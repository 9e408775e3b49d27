#pragma once

#include "core/Provider.h"

// The one choice kept outside the secret store: which provider is watched. Lives in the
// platform's native settings store (on Linux $XDG_CONFIG_HOME/creditgauge/creditgauge.conf).
namespace creditgauge::Settings {

// The stored provider; deepseek when nothing, or anything but an exact raw value, is stored,
// or the store cannot be read. Reading never writes.
Provider provider();

// Stores the choice and flushes it to disk at once, so that it survives the process being
// killed right after. False when it could not be written.
bool setProvider(Provider provider);

} // namespace creditgauge::Settings

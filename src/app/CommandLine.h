#pragma once

#include "bar/BarFormat.h"
#include "core/Provider.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>

// What the command line asks for, decided before any GUI library is loaded: --help and
// --version must work without a display or a D-Bus session, and a mistyped option must not
// start the tray.
namespace creditgauge::CommandLine {

struct Outcome
{
    // Set: print `out` and `err` and leave with this status. Unset: start the tray, or with
    // `bar` the text-bar mode.
    std::optional<int> exitCode;
    QString out;
    QString err;
    std::optional<BarFormat> bar {};
    // The account for the text-bar mode's run instead of the stored choice: --provider's
    // first account by its id, or what --account named (an id or a name, looked up by the
    // mode, which reads the accounts).
    std::optional<QString> account {};
    // --provider all: every account with a key in the text-bar mode's line.
    bool allProviders = false;
};

// `arguments` as main() got them, the program name first; "--selftest" is handled before.
Outcome parse(const QStringList &arguments, const QProcessEnvironment &env);

QString helpText();

} // namespace creditgauge::CommandLine

#include "CommandLine.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace creditgauge::CommandLine {
namespace {

constexpr int usageError = 2;
constexpr int noDisplay = 1;

// The options Qt itself reads from the command line; session managers restart a program with
// "-session", and users pass "-platform" or "-style". They are accepted here and left to Qt.
const char *const qtValueOptions[] = {
    "platform",
    "platformpluginpath",
    "platformtheme",
    "plugin",
    "qwindowgeometry",
    "geometry",
    "qwindowicon",
    "icon",
    "qwindowtitle",
    "title",
    "session",
    "display",
    "name",
    "visual",
    "style",
    "stylesheet",
    "qmljsdebugger",
};
const char *const qtFlagOptions[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

const QString barOption = QStringLiteral("bar");
const QString providerOption = QStringLiteral("provider");
const QString accountOption = QStringLiteral("account");

bool takesValue(const QString &name)
{
    return name == barOption || name == providerOption || name == accountOption
        || std::ranges::any_of(qtValueOptions,
                               [&name](const char *o) { return name == QLatin1String(o); });
}

// "a, b oder c"
QString alternatives(const QStringList &names)
{
    return names.size() < 2 ? names.join(QString())
                            : names.mid(0, names.size() - 1).join(QStringLiteral(", "))
            + QStringLiteral(" oder ") + names.constLast();
}

QStringList formatNames()
{
    QStringList names;
    for (const char *name : barFormatNames)
        names << QString::fromLatin1(name);
    return names;
}

QStringList providerNames()
{
    QStringList names;
    for (const Provider provider : Provider::allCases())
        names << provider.rawValue();
    names << QStringLiteral("all");
    return names;
}

// "--bar" may stand alone (plain text) or take its format as the next argument, which the
// parser cannot express: a bare "--bar" not followed by a format becomes "--bar=plain".
QStringList withBarFormat(QStringList arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if ((argument == QStringLiteral("--bar") || argument == QStringLiteral("-bar"))
            && !barFormatFromName(arguments.value(i + 1)))
            arguments[i] = QStringLiteral("--bar=plain");
    }
    return arguments;
}

QString quoted(const QString &text)
{
    return QStringLiteral("\u201E") + text + QStringLiteral("\u201C");
}

Outcome usage(const QString &problem)
{
    return {usageError,
            {},
            QStringLiteral("creditgauge: ") + problem + QStringLiteral("\n\n") + helpText()};
}

// The parser's own messages are English; the user reads German. Its findings are retold with
// the argument as it was typed.
QString problemWith(const QCommandLineParser &parser, const QStringList &arguments)
{
    const auto nameOf = [](const QString &argument) {
        QString name = argument;
        while (name.startsWith(QLatin1Char('-')))
            name.remove(0, 1);
        return name.section(QLatin1Char('='), 0, 0);
    };
    const QStringList options = arguments.mid(1).filter(QRegularExpression(QStringLiteral("^-.")));
    if (!parser.unknownOptionNames().isEmpty()) {
        const QString name = parser.unknownOptionNames().constFirst();
        for (const QString &argument : options) {
            if (nameOf(argument) == name)
                return QStringLiteral("Unbekannte Option ")
                    + quoted(argument.section(QLatin1Char('='), 0, 0)) + QLatin1Char('.');
        }
        return QStringLiteral("Unbekannte Option ") + quoted(name) + QLatin1Char('.');
    }
    for (const QString &argument : options) {
        if (argument.contains(QLatin1Char('=')) && !takesValue(nameOf(argument)))
            return QStringLiteral("Die Option ") + quoted(argument.section(QLatin1Char('='), 0, 0))
                + QStringLiteral(" nimmt keinen Wert.");
    }
    if (!options.isEmpty() && options.constLast() == arguments.constLast())
        return QStringLiteral("Der Option ") + quoted(arguments.constLast())
            + QStringLiteral(" fehlt ihr Wert.");
    return QStringLiteral("Ungültiger Aufruf (") + parser.errorText() + QLatin1Char(')');
}

// Without a display the platform plugin would abort the process with a core dump; say what
// is missing instead. Another platform (offscreen, vnc, a -platform option) needs neither.
bool displayReachable(const QCommandLineParser &parser, const QProcessEnvironment &env)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    if (parser.isSet(QStringLiteral("platform")))
        return true;
    const QString platform = env.value(QStringLiteral("QT_QPA_PLATFORM"));
    const bool wantsX = platform.isEmpty() || platform.contains(QStringLiteral("xcb"));
    const bool wantsWayland = platform.isEmpty() || platform.contains(QStringLiteral("wayland"));
    if (!wantsX && !wantsWayland)
        return true;
    if (wantsX
        && (parser.isSet(QStringLiteral("display"))
            || !env.value(QStringLiteral("DISPLAY")).isEmpty()))
        return true;
    if (wantsWayland) {
        if (!env.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty())
            return true;
        // Qt's Wayland plugin falls back to the compositor's default socket.
        const QString runtime = env.value(QStringLiteral("XDG_RUNTIME_DIR"));
        if (!platform.isEmpty() && !runtime.isEmpty()
            && QFileInfo::exists(runtime + QStringLiteral("/wayland-0")))
            return true;
    }
    return false;
#else
    Q_UNUSED(parser);
    Q_UNUSED(env);
    return true;
#endif
}

} // namespace

// One option's lines: its name, then the description in a column, broken between the
// pieces (each may hold blanks of its own).
QString option(const QString &name, const QStringList &pieces)
{
    constexpr qsizetype indent = 20, width = 88;
    QString text, line;
    for (const QString &piece : pieces) {
        if (!line.isEmpty() && indent + line.size() + 1 + piece.size() > width) {
            text
                += (text.isEmpty() ? (u"  "_s + name).leftJustified(indent) : QString(indent, u' '))
                + line + u'\n';
            line.clear();
        }
        line += (line.isEmpty() ? QString() : u" "_s) + piece;
    }
    return text + (text.isEmpty() ? (u"  "_s + name).leftJustified(indent) : QString(indent, u' '))
        + line + u'\n';
}

QStringList words(const QString &text)
{
    return text.split(u' ');
}

QString helpText()
{
    QStringList names, initials;
    for (const Provider p : Provider::allCases()) {
        names << p.rawValue() + u',';
        initials << p.initials() + u" = "_s + p.displayName() + u',';
    }
    names.last().back() = u';';
    initials.first().prepend(u'(');
    initials.last().back() = u')';
    QString text = QStringLiteral(
        "Aufruf: creditgauge [Optionen]\n"
        "Zeigt das verbleibende API-Guthaben bei KI-Anbietern im Statusbereich der\n"
        "Arbeitsumgebung. Läuft CreditGauge schon, zeigt ein zweiter Start dessen Guthaben.\n"
        "\n"
        "Optionen:\n"
        "  -h, --help        Zeigt diese Hilfe.\n"
        "  -v, --version     Zeigt die Versionsnummer.\n");
    text += option(u"--selftest"_s,
                   words(u"Fragt das Guthaben einmal ohne Oberfläche ab und gibt eine Zeile aus "
                         u"(Anbieter aus CREDITGAUGE_PROVIDER:"_s)
                       + names
                       + words(u"Key aus CREDITGAUGE_KEY; bei Moonshot die Region aus "
                               u"CREDITGAUGE_MOONSHOT_REGION: international (Vorgabe) oder "
                               u"china; beim Relay die Adresse aus CREDITGAUGE_RELAY_URL)."_s));
#ifdef Q_OS_UNIX
    text += QStringLiteral(
        "  --bar[=FORMAT]    Gibt das Guthaben ohne Oberfläche für Textleisten aus: eine Zeile,\n"
        "                    sobald sich die Anzeige ändert (abgefragt wird beim Start, alle\n"
        "                    30 Minuten, nach dem Aufwachen und bei SIGUSR1). FORMAT: plain\n"
        "                    (Vorgabe), waybar, i3blocks, polybar.\n");
    text += option(u"--provider NAME"_s,
                   words(u"Mit --bar: dieser Anbieter statt des gewählten; die Wahl bleibt "
                         u"unverändert; sein erstes Konto. all: jedes Konto mit Key hinter den "
                         u"Initialen seines Anbieters"_s)
                       + initials
                       + words(u"und seinem Namen, z. B. \u201EDS \u00a5 12 \u00b7 DS Arbeit "
                               u"$ 40 \u00b7 OR $ 3\u201C."_s));
    text += option(u"--account NAME"_s,
                   words(u"Mit --bar: das Konto mit diesem Namen (wie im Menü "
                         u"\u201EAnbieter\u201C vergeben) statt des gewählten."_s));
#endif
    return text
        + QStringLiteral("\n"
                         "Diagnose: QT_LOGGING_RULES='creditgauge.*.debug=true' creditgauge\n"
                         "Mehr dazu in man creditgauge.\n");
}

Outcome parse(const QStringList &arguments, const QProcessEnvironment &env)
{
    QCommandLineParser parser;
    // Qt's own options are single-dash words ("-session id"); "-h" stays a short option name
    // because every option here is registered under its full name.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(
        QStringList {QStringLiteral("h"), QStringLiteral("help"), QStringLiteral("?")});
    const QCommandLineOption version(QStringList {QStringLiteral("v"), QStringLiteral("version")});
    parser.addOption(help);
    parser.addOption(version);
    for (const char *name : qtValueOptions) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setValueName(QStringLiteral("wert"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char *name : qtFlagOptions) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

#ifdef Q_OS_UNIX
    QCommandLineOption bar(barOption);
    bar.setValueName(QStringLiteral("format"));
    parser.addOption(bar);
    QCommandLineOption provider(providerOption);
    provider.setValueName(QStringLiteral("name"));
    parser.addOption(provider);
    QCommandLineOption account(accountOption);
    account.setValueName(QStringLiteral("name"));
    parser.addOption(account);
    const QStringList given = withBarFormat(arguments);
#else
    const QStringList &given = arguments;
#endif

    if (!parser.parse(given))
        return usage(problemWith(parser, given));
    if (parser.isSet(help))
        return {0, helpText(), {}};
    if (parser.isSet(version))
        return {0, QStringLiteral("creditgauge " CREDITGAUGE_VERSION "\n"), {}};
    if (!parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("Unerwartetes Argument ")
                     + quoted(parser.positionalArguments().constFirst()) + QLatin1Char('.'));
#ifdef Q_OS_UNIX
    for (const QString &name : {providerOption, accountOption}) {
        if (parser.isSet(name) && !parser.isSet(bar))
            return usage(
                QStringLiteral("Die Option \u201E--%1\u201C gilt nur mit \u201E--bar\u201C.")
                    .arg(name));
    }
    if (parser.isSet(provider) && parser.isSet(account))
        return usage(QStringLiteral("Entweder \u201E--provider\u201C oder \u201E--account\u201C."));
    if (parser.isSet(bar)) {
        Outcome run;
        run.bar = barFormatFromName(parser.value(bar));
        if (!run.bar)
            return usage(QStringLiteral("Unbekanntes Format ") + quoted(parser.value(bar))
                         + QStringLiteral(" für --bar (") + alternatives(formatNames())
                         + QStringLiteral(")."));
        if (parser.isSet(provider)) {
            run.allProviders = parser.value(provider) == u"all";
            const std::optional<Provider> chosen = Provider::fromRawValue(parser.value(provider));
            if (chosen)
                run.account = chosen->rawValue();
            if (!chosen && !run.allProviders)
                return usage(QStringLiteral("Unbekannter Anbieter ")
                             + quoted(parser.value(provider)) + QStringLiteral(" (")
                             + alternatives(providerNames()) + QStringLiteral(")."));
        }
        if (parser.isSet(account))
            run.account = parser.value(account);
        // Text bars run in any session, with or without a display.
        return run;
    }
#endif
    if (!displayReachable(parser, env))
        return {noDisplay,
                {},
                QStringLiteral("creditgauge: Keine grafische Sitzung gefunden (weder DISPLAY noch "
                               "WAYLAND_DISPLAY ist gesetzt).\nCreditGauge zeigt das Guthaben im "
                               "Statusbereich der Arbeitsumgebung; ohne Oberfläche fragt "
                               "\u201Ecreditgauge --selftest\u201C es einmal ab.\n")};
    return {};
}

} // namespace creditgauge::CommandLine

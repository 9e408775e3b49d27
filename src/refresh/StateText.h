#pragma once

#include "RefreshState.h"

#include <QString>
#include <QStringList>

// The German texts that describe a balance, written once for every front end: the panel, the
// tray's tooltip and menu summary, and the text status bars.
namespace creditgauge::StateText {

// What a front end shows for a state, top to bottom; empty where there is nothing to say.
struct Texts
{
    QString title {}; // whose balance: "DeepSeek-Guthaben"
    // "$ 1.234,50"; Format::missingAmount() without a balance, "–" before anything was asked.
    QString amount {};
    QString details {}; // the components: "Aufgeladen $ 25,00 · Verbraucht $ 5,00"
    // "Alles in Ordnung.", below the low mark "Guthaben knapp — bitte aufladen.", or why there
    // is no balance.
    QString status {};
    // "Zuletzt abgefragt: 14:05 Uhr", after a failure with " (fehlgeschlagen)"; without an
    // answer "Zuletzt abgefragt: –".
    QString time {};
    QString forecast {}; // RefreshState::forecastLine()
    QStringList notices {};
};

Texts texts(const RefreshState &state);

// texts() as lines, top to bottom, blank ones left out.
QStringList lines(const RefreshState &state);

// A provider watched beside the selected one, in a line of its own.
struct Overview
{
    QString name {}; // "Moonshot"
    QString amount {}; // "$ 3,20"; Format::missingAmount() after a failure
    // "reicht noch ≈ 16 Tage · 14:05 Uhr" (the days where known), or the failure and its time.
    QString note {};
    bool alarm = false; // below the low mark, or failed
};

Overview overview(const RefreshState &state);
// "Moonshot: $ 3,20 · reicht noch ≈ 16 Tage · 14:05 Uhr", for tooltips.
QString overviewLine(const RefreshState &state);

} // namespace creditgauge::StateText

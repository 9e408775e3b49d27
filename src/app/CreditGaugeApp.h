#pragma once

#include <QProcessEnvironment>
#include <QTextStream>

#include <chrono>

// The program entry: the tray application, or with "--selftest" one headless balance query.
namespace creditgauge::CreditGaugeApp {

int main(int argc, char *argv[]);

// One query for the provider and key named in the environment (CREDITGAUGE_PROVIDER,
// CREDITGAUGE_KEY); prints exactly one line to standard output. Needs a QCoreApplication.
void selftestRun();

// The same with the environment, the output and the deadline given, so that tests can run it
// in-process.
void selftestRun(const QProcessEnvironment &env, QTextStream &out,
                 std::chrono::milliseconds deadline);

inline constexpr std::chrono::milliseconds selftestDeadline {25000};

} // namespace creditgauge::CreditGaugeApp

#pragma once

#include <QProcessEnvironment>
#include <QTextStream>

#include <chrono>

// The headless query behind "--selftest", beside the transport it exercises, so that the
// program entry itself needs no network library.
namespace creditgauge::SelfTest {

inline constexpr std::chrono::milliseconds deadline {25000};

// One query for the provider, key and Moonshot region named in the environment
// (CREDITGAUGE_PROVIDER, CREDITGAUGE_KEY, CREDITGAUGE_MOONSHOT_REGION); prints exactly one line
// to `out`. Needs a QCoreApplication.
void run(const QProcessEnvironment &env, QTextStream &out,
         std::chrono::milliseconds deadline = SelfTest::deadline);

} // namespace creditgauge::SelfTest

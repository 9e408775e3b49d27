#pragma once

// The program entry: the tray application, or with "--selftest" one headless balance query.
namespace creditgauge::CreditGaugeApp {

int main(int argc, char *argv[]);

// One query for the provider and key named in the environment (CREDITGAUGE_PROVIDER,
// CREDITGAUGE_KEY); prints exactly one line to standard output. Needs a QCoreApplication.
void selftestRun();

} // namespace creditgauge::CreditGaugeApp

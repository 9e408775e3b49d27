#include "app/CreditGaugeApp.h"

int main(int argc, char *argv[])
{
    return creditgauge::CreditGaugeApp::main(argc, argv);
}

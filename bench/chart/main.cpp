// Draws the panel's chart of 30 days of samples, one every 30 minutes with two top-ups, into an
// image of the panel's size, and prints the median and 95th percentile time per draw.
#include "ui/BalanceChart.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace creditgauge;

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    constexpr int count = 30 * 48;
    constexpr int draws = 2000;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QList<BalanceSample> samples;
    double total = 14.0;
    for (int i = count; i > 0; --i) {
        // More spending by day than by night, a little every half hour.
        total -= (i % 48 < 20 ? 0.004 : 0.03);
        if (i == 1000 || i == 380)
            total += 25;
        samples << BalanceSample {now.addSecs(-qint64(i) * 1800),
                                  Balance {QStringLiteral("USD"), total, {}}};
    }

    BalanceChart chart;
    chart.resize(chart.sizeHint());
    chart.setSamples(samples, now);
    if (!chart.hasData())
        return 1;

    for (const int dpr : {1, 2}) {
        QImage image(chart.size() * dpr, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(dpr);
        std::vector<qint64> nanoseconds;
        nanoseconds.reserve(draws);
        for (int i = 0; i < 50; ++i) // warm up caches and the paint engine
            chart.render(&image);
        QElapsedTimer timer;
        for (int i = 0; i < draws; ++i) {
            image.fill(Qt::transparent);
            timer.start();
            chart.render(&image);
            nanoseconds.push_back(timer.nsecsElapsed());
        }
        std::sort(nanoseconds.begin(), nanoseconds.end());
        std::printf("chart %dx%d at %dx, %d samples: median %.1f us, p95 %.1f us per draw (%d "
                    "draws)\n",
                    chart.width(), chart.height(), dpr, count, nanoseconds[draws / 2] / 1000.0,
                    nanoseconds[draws * 95 / 100] / 1000.0, draws);
    }
    return 0;
}

#include <QTest>
class TestProviderClient : public QObject
{
    Q_OBJECT
};
QTEST_GUILESS_MAIN(TestProviderClient)
#include "TestProviderClient.moc"

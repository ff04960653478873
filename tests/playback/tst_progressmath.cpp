#include "logic/ProgressMath.h"

#include <QtTest>

class ProgressMathTest : public QObject
{
    Q_OBJECT
private slots:
    void barValues_data();
    void barValues();
    void seekTargets_data();
    void seekTargets();
    void unusableLengths();
    void oneBarStep();
};

void ProgressMathTest::barValues_data()
{
    QTest::addColumn<qint64>("position");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<qint64>("value");
    QTest::newRow("12.5 to even") << qint64(100000) << qint64(800000) << qint64(12);
    QTest::newRow("37.5 to even") << qint64(300000) << qint64(800000) << qint64(38);
    QTest::newRow("87.5 to even") << qint64(700000) << qint64(800000) << qint64(88);
    QTest::newRow("end") << qint64(800000) << qint64(800000) << qint64(100);
    QTest::newRow("past end") << qint64(1600000) << qint64(800000) << qint64(200);
    QTest::newRow("start") << qint64(0) << qint64(800000) << qint64(0);
    QTest::newRow("error position") << qint64(-1) << qint64(800000) << qint64(0);
    QTest::newRow("huge exact") << (qint64(1) << 62) << (qint64(1) << 62) << qint64(100);
}

void ProgressMathTest::barValues()
{
    QFETCH(qint64, position);
    QFETCH(qint64, length);
    QFETCH(qint64, value);
    QCOMPARE(barValueForPosition(position, length, 100), std::optional<int64_t>(value));
}

void ProgressMathTest::seekTargets_data()
{
    QTest::addColumn<int>("bar");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<qint64>("target");
    QTest::newRow("5000000.5 to even") << 50 << qint64(10000001) << qint64(5000000);
    QTest::newRow("5000001.5 to even") << 50 << qint64(10000003) << qint64(5000002);
    QTest::newRow("half of a million") << 50 << qint64(1000000) << qint64(500000);
    QTest::newRow("end") << 100 << qint64(529200) << qint64(529200);
    QTest::newRow("start") << 0 << qint64(529200) << qint64(0);
}

void ProgressMathTest::seekTargets()
{
    QFETCH(int, bar);
    QFETCH(qint64, length);
    QFETCH(qint64, target);
    QCOMPARE(targetForBarValue(bar, 100, length), std::optional<int64_t>(target));
}

void ProgressMathTest::unusableLengths()
{
    // A length of 0 or an engine error gives no bar value and no target.
    QVERIFY(!barValueForPosition(0, 0, 100));
    QVERIFY(!barValueForPosition(5, -1, 100));
    QVERIFY(!targetForBarValue(50, 100, 0));
    QVERIFY(!targetForBarValue(50, 100, -1));
    QVERIFY(!roundedRatio(1, 0, 100));
    // Results beyond 64 bits are refused, not wrapped.
    QVERIFY(!roundedRatio(std::numeric_limits<int64_t>::max(), 1, 100));
}

void ProgressMathTest::oneBarStep()
{
    // Length 1000000: one step is 10000 bytes, and exactly one step is not enough.
    QVERIFY(!fartherThanOneBarStep(490000, 500000, 1000000, 100));
    QVERIFY(!fartherThanOneBarStep(510000, 500000, 1000000, 100));
    QVERIFY(fartherThanOneBarStep(489999, 500000, 1000000, 100));
    QVERIFY(fartherThanOneBarStep(510001, 500000, 1000000, 100));
    QVERIFY(fartherThanOneBarStep(std::numeric_limits<int64_t>::min(),
                                  std::numeric_limits<int64_t>::max(), 1000000, 100));
}

QTEST_GUILESS_MAIN(ProgressMathTest)
#include "tst_progressmath.moc"

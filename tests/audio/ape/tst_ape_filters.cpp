// The vector kernels of the adaptive filters give exactly what the portable
// loop gives, on random input at every filter order.
#include "audio/ape/NNFilter.h"

#include <QRandomGenerator>
#include <QtTest>

#include <vector>

class TestApeFilters : public QObject
{
    Q_OBJECT

private slots:
    void kernelsAgree_data();
    void kernelsAgree();
    void filtersAgree_data();
    void filtersAgree();
};

namespace {

void addKernels()
{
    QTest::addColumn<QString>("kernel");
    QTest::addColumn<int>("order");
    for (int order : {16, 32, 64, 256, 1280}) {
        QTest::newRow(qPrintable(QString("sse2 %1").arg(order))) << "sse2" << order;
        QTest::newRow(qPrintable(QString("avx2 %1").arg(order))) << "avx2" << order;
    }
}

ape::DotAdaptFn kernelNamed(const QString &name)
{
    return name == "sse2" ? ape::kernels::sse2() : ape::kernels::avx2();
}

std::vector<int16_t> randomShorts(QRandomGenerator &rng, int n, bool extremes)
{
    std::vector<int16_t> v(static_cast<size_t>(n));
    for (auto &x : v) {
        x = int16_t(rng.bounded(65536) - 32768);
        if (extremes && rng.bounded(4) == 0)
            x = rng.bounded(2) ? int16_t(32767) : int16_t(-32768);
    }
    return v;
}

} // namespace

void TestApeFilters::kernelsAgree_data()
{
    addKernels();
}

void TestApeFilters::kernelsAgree()
{
    QFETCH(QString, kernel);
    QFETCH(int, order);
    const ape::DotAdaptFn fast = kernelNamed(kernel);
    if (!fast)
        QSKIP("this processor lacks the instructions");
    QRandomGenerator rng{static_cast<quint32>(order)};
    for (int round = 0; round < 200; ++round) {
        const bool extremes = round % 2 == 1;
        auto coeffs = randomShorts(rng, order, extremes);
        auto copy = coeffs;
        const auto delay = randomShorts(rng, order, extremes);
        const auto adapt = randomShorts(rng, order, extremes);
        const int direction = int(rng.bounded(3)) - 1;
        const int32_t a =
            ape::kernels::portable(coeffs.data(), delay.data(), adapt.data(), order, direction);
        const int32_t b = fast(copy.data(), delay.data(), adapt.data(), order, direction);
        QCOMPARE(b, a);
        QVERIFY(coeffs == copy);
    }
}

void TestApeFilters::filtersAgree_data()
{
    addKernels();
}

// Whole filters over long random signals, where the windows slide and wrap.
void TestApeFilters::filtersAgree()
{
    QFETCH(QString, kernel);
    QFETCH(int, order);
    const ape::DotAdaptFn fast = kernelNamed(kernel);
    if (!fast)
        QSKIP("this processor lacks the instructions");
    QRandomGenerator rng(uint32_t(order) * 7 + 1);
    std::vector<int32_t> signal(20000);
    for (auto &s : signal)
        s = int32_t(rng.bounded(1 << 20)) - (1 << 19);
    auto other = signal;
    ape::NNFilter portable(order, 13, &ape::kernels::portable);
    ape::NNFilter vector(order, 13, fast);
    portable.apply(signal.data(), int(signal.size()));
    vector.apply(other.data(), int(other.size()));
    QVERIFY(signal == other);
}

QTEST_GUILESS_MAIN(TestApeFilters)
#include "tst_ape_filters.moc"

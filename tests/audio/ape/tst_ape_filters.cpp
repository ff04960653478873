// The vector kernels of the adaptive filters give exactly what the portable
// loop gives, on random input at every filter order, and whole frames decode
// the same through every kernel's path.
#include "ApeTestSupport.h"
#include "Manifest.h"
#include "audio/ape/ApeFormat.h"
#include "audio/ape/FrameDecoder.h"
#include "audio/ape/NNFilter.h"

#include <QFile>
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
    void framesAgree_data();
    void framesAgree();
};

namespace {

void addKernels()
{
    QTest::addColumn<QString>("kernel");
    QTest::addColumn<int>("order");
    for (int order : {16, 32, 48, 64, 256, 1280}) {
        QTest::newRow(qPrintable(QString("sse2 %1").arg(order))) << "sse2" << order;
        QTest::newRow(qPrintable(QString("avx2 %1").arg(order))) << "avx2" << order;
        QTest::newRow(qPrintable(QString("avx512 %1").arg(order))) << "avx512" << order;
    }
}

ape::DotAdaptFn kernelNamed(const QString &name)
{
    if (name == "sse2")
        return ape::kernels::sse2();
    return name == "avx2" ? ape::kernels::avx2() : ape::kernels::avx512();
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

void TestApeFilters::framesAgree_data()
{
    QTest::addColumn<QString>("file");
    for (const char *f :
         {"s16-stereo-44k-c1000.ape", "s16-stereo-44k-c2000.ape", "s16-stereo-44k-c3000.ape",
          "s16-stereo-44k-c4000.ape", "s16-stereo-44k-c5000.ape", "s24-stereo-96k-c5000.ape",
          "s16-mono-22k-c4000.ape", "u8-mono-8k-odd-c2000.ape", "w32-stereo-48k-c3000.ape",
          "w32-stereo-48k-c5000.ape", "f32-stereo-44k-c4000.ape", "m6-s16-48k-c5000.ape"})
        QTest::newRow(f) << QString(f);
}

// Each kernel brings its own whole-frame pass for stereo and its own wide
// filter; every one of them and the portable path give the same PCM, which
// the frame CRC accepts.
void TestApeFilters::framesAgree()
{
    QFETCH(QString, file);
    QFile f(fixturePath(file));
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    const ape::HeaderReader header = headerOf(bytes);
    QCOMPARE(header.status(), ape::OpenStatus::Ok);
    const ape::StreamInfo &info = header.info();
    std::vector<ape::DotAdaptFn> kernels = {&ape::kernels::portable};
    for (ape::DotAdaptFn k : {ape::kernels::sse2(), ape::kernels::avx2(), ape::kernels::avx512()})
        if (k)
            kernels.push_back(k);
    const size_t bpf = size_t(info.channels * info.bits / 8);
    for (uint32_t i = 0; i < info.frameCount; ++i) {
        const ape::FrameSpan &span = header.frames()[i];
        const uint32_t blocks = info.blocksInFrame(i);
        const auto *data = reinterpret_cast<const uint8_t *>(bytes.constData()) + span.wordStart;
        const size_t size = size_t(std::min<int64_t>(span.end, bytes.size()) - span.wordStart);
        std::vector<uint8_t> reference;
        for (ape::DotAdaptFn k : kernels) {
            ape::FrameDecoder decoder(info, k);
            std::vector<uint8_t> pcm(blocks * bpf);
            std::vector<uint8_t> frame(data, data + size);
            QVERIFY(decoder.decode(frame, span.skip, blocks, pcm.data()));
            if (reference.empty())
                reference = pcm;
            QVERIFY2(pcm == reference, qPrintable(QString("frame %1").arg(i)));
        }
    }
}

QTEST_GUILESS_MAIN(TestApeFilters)
#include "tst_ape_filters.moc"

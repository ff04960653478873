// Damaged frames through the engine: a decode-only stream delivers every
// sample before the damaged frame and then reports an error; a playback
// stream plays silence for that frame and goes on to its length.
#include "ApeTestSupport.h"
#include "Manifest.h"
#include "TestToolkit.h"
#include "audio/Engine.h"
#include "audio/ape/ApeFormat.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <mutex>
#include <thread>

using namespace audio;
using namespace std::chrono_literals;

namespace {

struct Damaged
{
    QString path;
    uint32_t badFrame = 0;
    ape::StreamInfo info;
};

// A copy of a fixture with frame `bad` cut in its middle or with one bit
// flipped there.
Damaged makeDamaged(const QTemporaryDir &dir, const QString &fixture, uint32_t bad, bool cut)
{
    QByteArray bytes = readFile(fixturePath(fixture));
    const ape::HeaderReader header = headerOf(bytes);
    Damaged d;
    d.info = header.info();
    d.badFrame = bad;
    const ape::FrameSpan &span = header.frames().at(bad);
    const int middle = int((span.wordStart + span.end) / 2);
    if (cut)
        bytes.truncate(middle);
    else
        bytes[middle] = char(bytes[middle] ^ 0x04);
    d.path = dir.filePath(QString("%1-%2").arg(cut ? "cut" : "flip", fixture));
    QFile f(d.path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        d.path.clear();
    return d;
}

// The longest run of output frames that are exactly silent.
int64_t longestSilence(const std::vector<float> &samples, int channels)
{
    int64_t best = 0, run = 0;
    for (size_t i = 0; i + size_t(channels) <= samples.size(); i += size_t(channels)) {
        bool silent = true;
        for (int c = 0; c < channels; ++c)
            silent = silent && samples[i + size_t(c)] == 0.0f;
        run = silent ? run + 1 : 0;
        best = std::max(best, run);
    }
    return best;
}

} // namespace

class ApeDamage : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::mutex capturedMutex;
    std::vector<float> captured;
    // Last, so that it stops the device before the tap's buffer goes.
    EngineSession engine;

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(engine.initialised());
        engine->setMixTap([this](const float *samples, int frames) {
            std::lock_guard lock(capturedMutex);
            captured.insert(captured.end(), samples,
                            samples + size_t(frames) * size_t(engine->outputChannels()));
        });
    }

    void decodeOnlyStopsAtTheDamagedFrame_data()
    {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<bool>("cut");
        QTest::newRow("bit flip") << "s16-stereo-44k-long-c2000.ape" << false;
        QTest::newRow("cut mid-frame") << "s16-stereo-44k-long-c2000.ape" << true;
        QTest::newRow("bit flip, extra high") << "s16-stereo-44k-long-c4000.ape" << false;
        QTest::newRow("bit flip, 24-bit") << "s24-stereo-96k-c2000.ape" << false;
        QTest::newRow("cut mid-frame, 24-bit") << "s24-stereo-96k-c2000.ape" << true;
    }

    void decodeOnlyStopsAtTheDamagedFrame()
    {
        QFETCH(QString, fixture);
        QFETCH(bool, cut);
        const StreamHandle good = openStream(*engine, fixturePath(fixture), kFlagDecodeOnly);
        QVERIFY(good != 0);
        QByteArray reference;
        QByteArray block(10000, 0);
        while (engine->ChannelIsActive(good) != kActiveStopped) {
            const uint32_t n = engine->ChannelGetData(good, block.data(), 10000);
            QVERIFY(n != kDataError);
            reference.append(block.constData(), int(n));
        }
        QCOMPARE(qint64(reference.size()), engine->ChannelGetLength(good, kPosByte));
        QVERIFY(engine->StreamFree(good));

        const Damaged d = makeDamaged(dir, fixture, 1, cut);
        QVERIFY(!d.path.isEmpty());
        const StreamHandle h = openStream(*engine, d.path, kFlagDecodeOnly);
        QVERIFY(h != 0);
        QByteArray got;
        uint32_t n = 0;
        for (int guard = 0; guard < 100000; ++guard) {
            n = engine->ChannelGetData(h, block.data(), 10000);
            if (n == kDataError || n == 0)
                break;
            got.append(block.constData(), int(n));
        }
        QCOMPARE(n, kDataError);
        QCOMPARE(engine->ChannelIsActive(h), kActiveStopped);
        QCOMPARE(engine->ChannelGetData(h, block.data(), 10000), kDataError);
        const int bpf = d.info.channels * d.info.bits / 8;
        QCOMPARE(qint64(got.size()), qint64(d.badFrame) * d.info.blocksPerFrame * bpf);
        QVERIFY(got == reference.left(got.size()));
        QCOMPARE(engine->ChannelGetPosition(h, kPosByte), qint64(got.size()));
        QVERIFY(engine->StreamFree(h));
    }

    void playbackPlaysSilenceForTheDamagedFrame_data()
    {
        QTest::addColumn<bool>("cut");
        QTest::newRow("bit flip") << false;
        QTest::newRow("cut mid-frame") << true;
    }

    // Three frames of 24-bit audio at 96 kHz, two seconds; the middle one is
    // damaged. With a cut, the last frame is gone as well.
    void playbackPlaysSilenceForTheDamagedFrame()
    {
        QFETCH(bool, cut);
        const Damaged d = makeDamaged(dir, "s24-stereo-96k-c2000.ape", 1, cut);
        QVERIFY(!d.path.isEmpty());
        QCOMPARE(d.info.frameCount, 3u);
        const StreamHandle h = openStream(*engine, d.path, 0);
        QVERIFY(h != 0);
        const int64_t length = engine->ChannelGetLength(h, kPosByte);
        const int bpf = d.info.channels * d.info.bits / 8;
        const int64_t damagedEnd = 2 * int64_t(d.info.blocksPerFrame) * bpf;
        {
            std::lock_guard lock(capturedMutex);
            captured.clear();
        }
        QVERIFY(engine->ChannelPlay(h, true));
        int64_t furthest = 0;
        QElapsedTimer clock;
        clock.start();
        while (engine->ChannelIsActive(h) != kActiveStopped) {
            QVERIFY2(clock.elapsed() < 15000, "playback does not end");
            furthest = std::max(furthest, engine->ChannelGetPosition(h, kPosByte));
            std::this_thread::sleep_for(10ms);
        }
        // The position went on through the damaged frame while playing,
        // rather than jumping to the end at the damage.
        QVERIFY2(furthest > damagedEnd, qPrintable(QString::number(furthest)));
        QCOMPARE(engine->ChannelGetPosition(h, kPosByte), length);
        QVERIFY(engine->StreamFree(h));

        std::vector<float> heard;
        {
            std::lock_guard lock(capturedMutex);
            heard = captured;
        }
        const int channels = engine->outputChannels();
        // Trim the device's silence before the stream started and after it ended.
        size_t first = 0, last = heard.size();
        while (first < heard.size() && heard[first] == 0.0f)
            ++first;
        while (last > first && heard[last - 1] == 0.0f)
            --last;
        first -= first % size_t(channels);
        const std::vector<float> stream(heard.begin() + ptrdiff_t(first),
                                        heard.begin() + ptrdiff_t(last));
        const double ratio = double(engine->outputRate()) / d.info.sampleRate;
        const int64_t frameOut = int64_t(d.info.blocksPerFrame * ratio);
        QVERIFY2(int64_t(stream.size()) / channels > frameOut, "nothing was heard");
        if (cut) {
            // Nothing after the damage was heard but silence.
            QVERIFY(int64_t(stream.size()) / channels < frameOut + frameOut / 2);
        } else {
            // The damaged frame, whole, as silence (less the resampler's
            // tails), with sound on both sides of it.
            QVERIFY2(longestSilence(stream, channels) >= frameOut - 256,
                     qPrintable(QString::number(longestSilence(stream, channels))));
            QVERIFY(int64_t(stream.size()) / channels > 2 * frameOut);
        }
    }
};

QTEST_GUILESS_MAIN(ApeDamage)
#include "tst_ape_damage.moc"

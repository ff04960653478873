// Real-time playback through SDL: the position follows the clock, seeks land
// on the sample asked for, the end reports the length exactly, and restart and
// stop do what the window relies on. Runs on whatever SDL_AUDIODRIVER names.
#include "TestToolkit.h"
#include "audio/Engine.h"

#include <QElapsedTimer>
#include <QTest>

#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <thread>

using namespace audio;
using namespace std::chrono_literals;

namespace {

// Polls until the stream stops; the position never passes the length meanwhile.
bool playsToEnd(Engine &e, StreamHandle h, int timeoutMs)
{
    const int64_t length = e.ChannelGetLength(h, kPosByte);
    QElapsedTimer clock;
    clock.start();
    while (e.ChannelIsActive(h) != kActiveStopped) {
        if (clock.elapsed() > timeoutMs || e.ChannelGetPosition(h, kPosByte) > length)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Sound servers take a moment before the first buffer is played; the
// position stays put until then, since nothing has been heard.
bool startsPlaying(Engine &e, StreamHandle h, int64_t from)
{
    QElapsedTimer clock;
    clock.start();
    while (e.ChannelGetPosition(h, kPosByte) <= from) {
        if (clock.elapsed() > 5000)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

} // namespace

class PlaybackTest : public QObject
{
    Q_OBJECT

    std::mutex capturedMutex;
    std::vector<float> captured;
    bool capturing = false;
    // Last, so that it stops the device before the tap's buffer goes.
    EngineSession engine;

    QByteArray decodeWhole(const QString &file)
    {
        const StreamHandle d = openStream(*engine, fixturePath(file), kFlagDecodeOnly);
        QByteArray pcm, block(10000, 0);
        while (d != 0 && engine->ChannelIsActive(d) != kActiveStopped) {
            const uint32_t n = engine->ChannelGetData(d, block.data(), 10000);
            if (n == kDataError)
                break;
            pcm.append(block.constData(), n);
        }
        engine->StreamFree(d);
        return pcm;
    }
    void startCapture()
    {
        std::lock_guard lock(capturedMutex);
        captured.clear();
        capturing = true;
    }
    std::vector<float> stopCapture()
    {
        std::lock_guard lock(capturedMutex);
        capturing = false;
        return std::exchange(captured, {});
    }
    bool waitForFollower(StreamHandle h, StreamHandle follower)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000) {
            if (const StreamHandle f = engine->ChannelTakeFollower(h))
                return f == follower;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

private slots:
    void initTestCase()
    {
        qInfo("SDL_AUDIODRIVER=%s", qgetenv("SDL_AUDIODRIVER").constData());
        QVERIFY(engine.initialised());
        QCOMPARE(engine->outputRate(), 44100);
        // Make sure the run went through the server it was meant for, not a
        // fallback driver.
        const QByteArray driver = qgetenv("SDL_AUDIODRIVER");
        if (!driver.isEmpty())
            QCOMPARE(QByteArray(SDL_GetCurrentAudioDriver()), driver);
        engine->setMixTap([this](const float *samples, int frames) {
            std::lock_guard lock(capturedMutex);
            if (capturing)
                captured.insert(captured.end(), samples,
                                samples + static_cast<size_t>(frames) * engine->outputChannels());
        });
    }

    void positionFollowsTheClock()
    {
        const StreamHandle h = openStream(*engine, fixturePath("s16-stereo-44k-long-c2000.ape"));
        QVERIFY(h != 0);
        QCOMPARE(engine->ChannelGetPosition(h, kPosByte), int64_t(0));
        QVERIFY(engine->ChannelPlay(h, true));
        QCOMPARE(engine->ChannelIsActive(h), kActivePlaying);
        QVERIFY(startsPlaying(*engine, h, 0));
        QElapsedTimer clock;
        clock.start();
        const double start = engine->ChannelGetPosition(h, kPosByte) / 176400.0;
        std::this_thread::sleep_for(1200ms);
        const double moved = engine->ChannelGetPosition(h, kPosByte) / 176400.0 - start;
        const double elapsed = clock.elapsed() / 1000.0;
        qInfo("in %.3f s the position moved %.3f s", elapsed, moved);
        QVERIFY2(moved > elapsed - 0.3 && moved < elapsed + 0.3,
                 qPrintable(QString::number(moved)));
        const double heard = start + moved;
        std::this_thread::sleep_for(300ms);
        QVERIFY(engine->ChannelGetPosition(h, kPosByte) / 176400.0 > heard + 0.15);

        // Stop holds the position; playing on without restart resumes there.
        QVERIFY(engine->ChannelStop(h));
        QCOMPARE(engine->ChannelIsActive(h), kActiveStopped);
        const int64_t stopped = engine->ChannelGetPosition(h, kPosByte);
        std::this_thread::sleep_for(200ms);
        QCOMPARE(engine->ChannelGetPosition(h, kPosByte), stopped);
        QVERIFY(engine->ChannelPlay(h, false));
        QVERIFY(engine->ChannelGetPosition(h, kPosByte) >= stopped);

        // Restart while playing goes back to the beginning.
        QVERIFY(engine->ChannelPlay(h, true));
        QVERIFY(engine->ChannelGetPosition(h, kPosByte) < 176400 / 5);
        std::this_thread::sleep_for(300ms);
        QVERIFY(engine->ChannelGetPosition(h, kPosByte) > 0);
        QVERIFY(engine->StreamFree(h));
    }

    // Pause holds the stream where it is heard and sends nothing more to the
    // device; resume plays on from there, or from where a seek put it.
    void pauseHoldsWhereHeard()
    {
        const StreamHandle h = openStream(*engine, fixturePath("s16-stereo-44k-long-c2000.ape"));
        QVERIFY(h != 0);
        QVERIFY(!engine->ChannelPause(h));
        QVERIFY(!engine->ChannelResume(h));
        QVERIFY(engine->ChannelPlay(h, true));
        QVERIFY(startsPlaying(*engine, h, 176400 / 4));
        QVERIFY(engine->ChannelPause(h));
        QCOMPARE(engine->ChannelIsActive(h), kActivePaused);
        const int64_t held = engine->ChannelGetPosition(h, kPosByte);
        QVERIFY(held >= 176400 / 4);
        {
            std::lock_guard lock(capturedMutex);
            captured.clear();
            capturing = true;
        }
        std::this_thread::sleep_for(300ms);
        QCOMPARE(engine->ChannelGetPosition(h, kPosByte), held);
        {
            std::lock_guard lock(capturedMutex);
            capturing = false;
            QVERIFY(!captured.empty());
            QVERIFY(std::all_of(captured.begin(), captured.end(), [](float v) { return v == 0; }));
        }
        QVERIFY(engine->ChannelResume(h));
        QCOMPARE(engine->ChannelIsActive(h), kActivePlaying);
        QVERIFY(engine->ChannelGetPosition(h, kPosByte) >= held);
        QVERIFY(startsPlaying(*engine, h, held));
        QVERIFY(engine->ChannelGetPosition(h, kPosByte) < held + 176400);

        QVERIFY(engine->ChannelPause(h));
        QVERIFY(engine->ChannelSetPosition(h, 176400 * 20, kPosByte));
        QCOMPARE(engine->ChannelGetPosition(h, kPosByte), 176400 * 20);
        QCOMPARE(engine->ChannelIsActive(h), kActivePaused);
        QVERIFY(engine->ChannelResume(h));
        QVERIFY(startsPlaying(*engine, h, 176400 * 20));
        QVERIFY(engine->ChannelGetPosition(h, kPosByte) < 176400 * 21);

        // Stop ends the pause; there is nothing to resume then.
        QVERIFY(engine->ChannelPause(h));
        QVERIFY(engine->ChannelStop(h));
        QCOMPARE(engine->ChannelIsActive(h), kActiveStopped);
        QVERIFY(!engine->ChannelResume(h));
        QVERIFY(engine->StreamFree(h));
    }

    // What is heard right after a seek is the sample at the target (rounded
    // down to a whole frame), then the audio that follows it.
    void seekLandsOnTheSample()
    {
        const QString file = "s16-stereo-44k-long-c4000.ape";
        const StreamHandle d = openStream(*engine, fixturePath(file), kFlagDecodeOnly);
        QVERIFY(d != 0);
        QByteArray pcm, block(10000, 0);
        while (engine->ChannelIsActive(d) != kActiveStopped) {
            const uint32_t n = engine->ChannelGetData(d, block.data(), 10000);
            QVERIFY(n != kDataError);
            pcm.append(block.constData(), n);
        }
        QVERIFY(engine->StreamFree(d));
        // Same rate and layout as the device: the output is the source
        // sample divided by 32768, exactly.
        QCOMPARE(engine->outputChannels(), 2);
        auto reference = [&](int64_t frame, int channel) {
            const auto *s = reinterpret_cast<const int16_t *>(pcm.constData());
            return s[frame * 2 + channel] / 32768.0f;
        };

        const StreamHandle h = openStream(*engine, fixturePath(file));
        QVERIFY(engine->ChannelPlay(h, true));
        QVERIFY(startsPlaying(*engine, h, 0));
        for (const int64_t target : {int64_t(1000003), int64_t(200001), int64_t(700000)}) {
            {
                std::lock_guard lock(capturedMutex);
                captured.clear();
                capturing = true;
            }
            QVERIFY(engine->ChannelSetPosition(h, target * 4 + 3, kPosByte));
            QCOMPARE(engine->ChannelGetPosition(h, kPosByte), target * 4);
            QVERIFY(startsPlaying(*engine, h, target * 4));
            std::this_thread::sleep_for(300ms);
            std::vector<float> got;
            {
                std::lock_guard lock(capturedMutex);
                capturing = false;
                got.swap(captured);
            }
            const int64_t frames = static_cast<int64_t>(got.size() / 2);
            auto matchesAt = [&](int64_t at, int64_t source, int64_t count) {
                for (int64_t i = 0; i < count; ++i)
                    if (got[(at + i) * 2] != reference(source + i, 0) ||
                        got[(at + i) * 2 + 1] != reference(source + i, 1))
                        return false;
                return true;
            };
            int64_t at = -1;
            for (int64_t i = 0; i + 2048 <= frames && at < 0; ++i)
                if (matchesAt(i, target, 2048))
                    at = i;
            QVERIFY2(at >= 0, "the target sample is never heard");
            QVERIFY2(at == 0 || !matchesAt(at - 1, target - 1, 1),
                     "the frame before the target was heard right before it");
            // What follows it comes without a gap.
            QVERIFY(matchesAt(at, target, std::min<int64_t>(frames - at, 8192)));
            const int64_t pos = engine->ChannelGetPosition(h, kPosByte) / 4;
            QVERIFY(pos >= target && pos <= target + 44100);
        }
        QVERIFY(engine->StreamFree(h));
    }

    void endReportsTheLength_data()
    {
        QTest::addColumn<QString>("file");
        // The loudest sample the device may get: full scale, unless the
        // resampler rings on full-scale squares or the source is beyond it.
        QTest::addColumn<float>("peakBound");
        QTest::newRow("16-bit stereo") << "s16-stereo-44k-fullscale-c2000.ape" << 1.0f;
        QTest::newRow("one sample frame") << "s16-stereo-44k-one-c2000.ape" << 1.0f;
        QTest::newRow("8-bit mono 8 kHz") << "u8-mono-8k-odd-c2000.ape" << 1.0f;
        QTest::newRow("16-bit mono 22 kHz") << "s16-mono-22k-c4000.ape" << 1.0f;
        QTest::newRow("24-bit 96 kHz") << "s24-stereo-96k-c5000.ape" << 1.0f;
        // Mixed down without clipping.
        QTest::newRow("5.1 16-bit 48 kHz") << "m6-s16-48k-c2000.ape" << 1.0f;
        QTest::newRow("32 channels 8 kHz") << "m32-s16-8k-c2000.ape" << 1.0f;
        QTest::newRow("32-bit extremes 48 kHz") << "w32-extremes-c2000.ape" << 1.5f;
        QTest::newRow("float stereo") << "f32-stereo-44k-c2000.ape" << 1.0f;
        // Infinities and the largest floats stay finite in every sum.
        QTest::newRow("float NaN and infinities") << "f32-specials-c2000.ape" << 65536.0f;
    }

    void endReportsTheLength()
    {
        QFETCH(QString, file);
        QFETCH(float, peakBound);
        const StreamHandle h = openStream(*engine, fixturePath(file));
        QVERIFY(h != 0);
        const int64_t length = engine->ChannelGetLength(h, kPosByte);
        {
            std::lock_guard lock(capturedMutex);
            captured.clear();
            capturing = true;
        }
        QVERIFY(engine->ChannelPlay(h, true));
        QVERIFY(playsToEnd(*engine, h, 5000));
        {
            std::lock_guard lock(capturedMutex);
            capturing = false;
        }
        QCOMPARE(engine->ChannelGetPosition(h, kPosByte), length);
        QCOMPARE(engine->ChannelIsActive(h), kActiveStopped);

        // Every source, mono and multichannel included, reaches both output
        // channels, and what the device gets is a number within its bound.
        if (length > 4) {
            std::lock_guard lock(capturedMutex);
            float left = 0, right = 0;
            for (size_t i = 0; i + 1 < captured.size(); i += 2) {
                QVERIFY2(std::isfinite(captured[i]) && std::isfinite(captured[i + 1]),
                         "a sample that is not a number reached the device");
                left = std::max(left, std::abs(captured[i]));
                right = std::max(right, std::abs(captured[i + 1]));
            }
            qInfo("peaks %.4f %.4f", double(left), double(right));
            QVERIFY(left > 0.01f && right > 0.01f);
            QVERIFY(left <= peakBound && right <= peakBound);
        }

        // After the end, restart plays from the beginning again.
        QVERIFY(engine->ChannelPlay(h, true));
        QVERIFY(engine->ChannelGetPosition(h, kPosByte) < length || length <= 4);
        QVERIFY(playsToEnd(*engine, h, 5000));
        QCOMPARE(engine->ChannelGetPosition(h, kPosByte), length);
        QVERIFY(engine->StreamFree(h));
    }

    // The loop advance relies on this: a seek close to the end, then the end.
    void seekNearTheEndThenEnd()
    {
        const StreamHandle h = openStream(*engine, fixturePath("s16-stereo-44k-long-c2000.ape"));
        const int64_t length = engine->ChannelGetLength(h, kPosByte);
        QVERIFY(engine->ChannelPlay(h, true));
        std::this_thread::sleep_for(100ms);
        QVERIFY(engine->ChannelSetPosition(h, length - 176400 / 2 + 1, kPosByte));
        QVERIFY(playsToEnd(*engine, h, 5000));
        QCOMPARE(engine->ChannelGetPosition(h, kPosByte), length);
        // Another stream plays alongside and is unaffected by this one's end.
        QVERIFY(engine->StreamFree(h));
    }

    // A track of an album image is heard from its first sample, and after its
    // last one nothing more: not one sample of the next track.
    void rangeStreamPlaysItsTrackOnly()
    {
        // Track 3 of the image, between two boundaries inside APE frames.
        const QString file = QStringLiteral(SORVANO_TEST_DATA "/cue/a1-utf8.ape");
        const std::u16string wide = file.toStdU16String();
        const int64_t first = 480984, end = 626220, frames = end - first;
        const StreamHandle d = engine->ApeStreamCreateRange(
            wide.c_str(), kFlagUnicodePath | kFlagDecodeOnly, first, end);
        QVERIFY(d != 0);
        QByteArray pcm((frames + 1) * 4, 0);
        QCOMPARE(engine->ChannelGetData(d, pcm.data(), uint32_t(pcm.size())), uint32_t(frames * 4));
        QVERIFY(engine->StreamFree(d));
        const auto *source = reinterpret_cast<const int16_t *>(pcm.constData());

        const StreamHandle h =
            engine->ApeStreamCreateRange(wide.c_str(), kFlagUnicodePath, first, end);
        QVERIFY(h != 0);
        QCOMPARE(engine->ChannelGetLength(h, kPosByte), frames * 4);
        auto capture = [&](bool on) {
            std::lock_guard lock(capturedMutex);
            if (on)
                captured.clear();
            capturing = on;
        };
        // The silence before the first sample heard, and where the source
        // frames [from, from + count) lie in what was heard after it.
        auto heardAt = [&](int64_t from, int64_t count) -> int64_t {
            std::lock_guard lock(capturedMutex);
            size_t at = 0;
            while (at < captured.size() && captured[at] == 0.0f)
                ++at;
            at -= at % 2;
            if (captured.size() < at + size_t(count) * 2)
                return -1;
            for (int64_t i = 0; i < count * 2; ++i)
                if (captured[at + size_t(i)] != source[from * 2 + i] / 32768.0f)
                    return -1;
            return int64_t(at / 2);
        };

        capture(true);
        QVERIFY(engine->ChannelPlay(h, true));
        QVERIFY(startsPlaying(*engine, h, 0));
        std::this_thread::sleep_for(200ms);
        capture(false);
        QVERIFY2(heardAt(0, 4410) >= 0, "the track does not begin with its first sample");

        const int64_t tail = 17640;
        QVERIFY(engine->ChannelStop(h));
        QVERIFY(engine->ChannelSetPosition(h, (frames - tail) * 4, kPosByte));
        capture(true);
        QVERIFY(engine->ChannelPlay(h, false));
        QVERIFY(playsToEnd(*engine, h, 5000));
        std::this_thread::sleep_for(100ms);
        capture(false);
        QCOMPARE(engine->ChannelGetPosition(h, kPosByte), frames * 4);
        const int64_t at = heardAt(frames - tail, tail);
        QVERIFY2(at >= 0, "the end of the track is not heard as it is");
        {
            std::lock_guard lock(capturedMutex);
            QVERIFY(std::all_of(captured.begin() + (at + tail) * 2, captured.end(),
                                [](float v) { return v == 0.0f; }));
        }
        QVERIFY(engine->StreamFree(h));
    }

    // Playback of a file cut short still reaches its stated length and
    // reports the end, so a playlist advances past it.
    void damagedFileEnds()
    {
        const StreamHandle h = openStream(*engine, fixturePath("corrupt/cut-50pct.ape"));
        QVERIFY(h != 0);
        const int64_t length = engine->ChannelGetLength(h, kPosByte);
        QVERIFY(engine->ChannelPlay(h, true));
        QVERIFY(engine->ChannelSetPosition(h, length / 2 - 176400 / 4, kPosByte));
        QVERIFY(playsToEnd(*engine, h, 5000));
        QCOMPARE(engine->ChannelGetPosition(h, kPosByte), length);
        QVERIFY(engine->StreamFree(h));
    }

    // The gapless advance: a queued stream takes over on the frame after the
    // last of the one before, bit for bit when both have the device's format;
    // from another format nothing but the filter's own delay comes between.
    // The stream that ends reports its follower once and its length.
    void queuedStreamFollowsOnTheNextFrame()
    {
        QCOMPARE(engine->outputChannels(), 2);
        const QString first = "s16-stereo-44k-c2000.ape", second = "s16-stereo-44k-long-c2000.ape";
        const QByteArray a = decodeWhole(first), b = decodeWhole(second);
        const int64_t aFrames = a.size() / 4;
        const StreamHandle h = openStream(*engine, fixturePath(first));
        const StreamHandle n = openStream(*engine, fixturePath(second));
        const StreamHandle m = openStream(*engine, fixturePath("s16-mono-22k-c2000.ape"));
        QVERIFY(!engine->ChannelQueueNext(h, n)); // h does not play
        QVERIFY(engine->ChannelPlay(h, true));
        QVERIFY(
            !engine->ChannelQueueNext(h, openStream(*engine, fixturePath(first), kFlagDecodeOnly)));
        QVERIFY(engine->ChannelQueueNext(h, m));
        QVERIFY(!engine->ChannelQueueNext(n, m)); // n does not play either
        QVERIFY(engine->ChannelQueueNext(h, n));  // replaces m
        QCOMPARE(engine->ChannelGetNext(h), n);
        QCOMPARE(engine->ChannelIsActive(n), kActiveStopped);
        startCapture();
        QVERIFY(engine->ChannelSetPosition(h, (aFrames - 11025) * 4, kPosByte));
        QVERIFY(waitForFollower(h, n));
        QCOMPARE(engine->ChannelTakeFollower(h), 0u);
        QCOMPARE(engine->ChannelGetNext(h), 0u);
        QCOMPARE(engine->ChannelIsActive(h), kActiveStopped);
        QCOMPARE(engine->ChannelGetPosition(h, kPosByte), aFrames * 4);
        QCOMPARE(engine->ChannelIsActive(n), kActivePlaying);
        QVERIFY(engine->ChannelGetPosition(n, kPosByte) < 176400);

        // Back to the same format as the device, then on into another rate
        // and channel count.
        std::this_thread::sleep_for(300ms);
        QVERIFY(engine->ChannelQueueNext(n, m));
        QVERIFY(engine->ChannelSetPosition(n, b.size() - 11025 * 4, kPosByte));
        QVERIFY(waitForFollower(n, m));
        std::this_thread::sleep_for(300ms);
        const std::vector<float> got = stopCapture();
        const auto frameIs = [&](int64_t at, const QByteArray &pcm, int64_t frame) {
            const auto *s = reinterpret_cast<const int16_t *>(pcm.constData());
            return got[at * 2] == s[frame * 2] / 32768.0f &&
                   got[at * 2 + 1] == s[frame * 2 + 1] / 32768.0f;
        };
        const auto find = [&](const QByteArray &pcm, int64_t from, int64_t count) -> int64_t {
            for (int64_t at = 0; at + count <= int64_t(got.size() / 2); ++at) {
                int64_t i = 0;
                while (i < count && frameIs(at + i, pcm, from + i))
                    ++i;
                if (i == count)
                    return at;
            }
            return -1;
        };
        const int64_t aTail = find(a, aFrames - 4096, 4096);
        QVERIFY2(aTail >= 0, "the first stream's last frames are not heard as they are");
        for (int64_t i = 0; i < 8192; ++i)
            QVERIFY2(frameIs(aTail + 4096 + i, b, i), qPrintable(QString::number(i)));
        const int64_t bFrames = b.size() / 4;
        const int64_t bTail = find(b, bFrames - 4096, 4096);
        QVERIFY(bTail > aTail);
        int64_t silent = 0;
        const int64_t joined = bTail + 4096;
        while (joined + silent < int64_t(got.size() / 2) && got[(joined + silent) * 2] == 0 &&
               got[(joined + silent) * 2 + 1] == 0)
            ++silent;
        qInfo("from 22050 Hz mono: %lld silent frames at the join", static_cast<long long>(silent));
        QVERIFY(silent < 64);
        QCOMPARE(engine->ChannelIsActive(n), kActiveStopped);
        QCOMPARE(engine->ChannelIsActive(m), kActivePlaying);

        // A stream follows itself; freeing either end drops what is queued.
        QVERIFY(engine->ChannelQueueNext(m, m));
        QVERIFY(engine->ChannelCancelNext(m));
        QVERIFY(!engine->ChannelCancelNext(m));
        QVERIFY(engine->ChannelQueueNext(m, h));
        QVERIFY(engine->StreamFree(h));
        QCOMPARE(engine->ChannelGetNext(m), 0u);
        QVERIFY(engine->ChannelQueueNext(m, m));
        QVERIFY(
            engine->ChannelSetPosition(m, engine->ChannelGetLength(m, kPosByte) - 2000, kPosByte));
        QVERIFY(waitForFollower(m, m));
        QCOMPARE(engine->ChannelIsActive(m), kActivePlaying);
        QVERIFY(engine->ChannelGetPosition(m, kPosByte) < 44100);
        QVERIFY(engine->StreamFree(n));
        QVERIFY(engine->StreamFree(m));
    }

    void severalStreamsAtOnce()
    {
        const StreamHandle a = openStream(*engine, fixturePath("s16-stereo-44k-long-c2000.ape"));
        const StreamHandle b = openStream(*engine, fixturePath("s16-stereo-48k-c3000.ape"));
        QVERIFY(engine->ChannelPlay(a, true));
        QVERIFY(engine->ChannelPlay(b, true));
        std::this_thread::sleep_for(500ms);
        QVERIFY(engine->ChannelStop(a));
        const int64_t pb = engine->ChannelGetPosition(b, kPosByte);
        QVERIFY(pb > 0);
        std::this_thread::sleep_for(200ms);
        QVERIFY(engine->ChannelGetPosition(b, kPosByte) > pb);
        QCOMPARE(engine->ChannelIsActive(a), kActiveStopped);
        QVERIFY(engine->StreamFree(a));
        // Freeing a playing stream stops it.
        QVERIFY(engine->StreamFree(b));
        QCOMPARE(engine->ChannelIsActive(b), kActiveStopped);
    }
};

QTEST_GUILESS_MAIN(PlaybackTest)
#include "tst_audio_playback.moc"

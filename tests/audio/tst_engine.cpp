// The engine's contract outside real-time playback: initialisation, handles,
// which files open, sample-accurate seeking of decode streams, and the cost
// of idle streams.
#include "TestToolkit.h"
#include "audio/Engine.h"
#include "audio/FfmpegDecoder.h"
#include "audio/RangeDecoder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <malloc.h>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace audio;

namespace {

QByteArray decodeAll(Engine &e, StreamHandle h)
{
    QByteArray all, block(10000, 0);
    while (e.ChannelIsActive(h) != kActiveStopped) {
        const uint32_t n = e.ChannelGetData(h, block.data(), 10000);
        if (n == kDataError)
            return {};
        all.append(block.constData(), n);
    }
    return all;
}

QString cueFixture(const QString &name)
{
    return QStringLiteral(SORVANO_TEST_DATA "/cue/") + name;
}

StreamHandle openRange(IAudioEngine &engine, const QString &path, uint32_t flags, int64_t first,
                       int64_t end)
{
    const std::u16string wide = path.toStdU16String();
    return engine.ApeStreamCreateRange(wide.c_str(), flags | kFlagUnicodePath, first, end);
}

int openFileDescriptors()
{
    return static_cast<int>(
        QDir("/proc/self/fd")
            .entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files | QDir::Dirs)
            .size());
}

} // namespace

class EngineTest : public QObject
{
    Q_OBJECT

private slots:
    void versionAndInit()
    {
        Engine e;
        QCOMPARE(e.GetVersion() >> 16, 0x0204u);
        QCOMPARE(openStream(e, fixturePath("s16-stereo-44k-one-c2000.ape"), 0), 0u);
        QVERIFY(!e.Free());

        // No usable output device: Init fails cleanly and can be retried.
        qputenv("SDL_AUDIODRIVER", "no-such-driver");
        QVERIFY(!e.Init(-1, 44100, 0, nullptr));
        QCOMPARE(openStream(e, fixturePath("s16-stereo-44k-one-c2000.ape"), 0), 0u);
        qputenv("SDL_AUDIODRIVER", "dummy");

        QVERIFY(e.Init(-1, 44100, 0, nullptr));
        QVERIFY(!e.Init(-1, 44100, 0, nullptr));
        QCOMPARE(e.outputRate(), 44100);
        const StreamHandle h = openStream(e, fixturePath("s16-stereo-44k-one-c2000.ape"), 0);
        QVERIFY(h != 0);
        QVERIFY(e.Free());
        // Free releases the streams too.
        QCOMPARE(e.ChannelGetLength(h, kPosByte), int64_t(-1));
        QCOMPARE(openStream(e, fixturePath("s16-stereo-44k-one-c2000.ape"), 0), 0u);
    }

    void handlesAreNeverReused()
    {
        std::set<StreamHandle> seen;
        for (int round = 0; round < 2; ++round) {
            EngineSession e;
            QVERIFY(e.initialised());
            for (int i = 0; i < 50; ++i) {
                const StreamHandle h = openStream(*e, fixturePath("s16-stereo-44k-tiny-c2000.ape"),
                                                  i % 2 ? kFlagDecodeOnly : 0);
                QVERIFY(h != 0);
                QVERIFY2(seen.insert(h).second, "handle reused");
                if (i % 3 == 0)
                    QVERIFY(e->StreamFree(h));
            }
        }
        EngineSession e;
        QVERIFY(e.initialised());
        const StreamHandle h = openStream(*e, fixturePath("s16-stereo-44k-tiny-c2000.ape"), 0);
        QVERIFY(e->StreamFree(h));
        QVERIFY(!e->StreamFree(h));
        QVERIFY(!e->ChannelPlay(h, true));
        QCOMPARE(e->ChannelGetLength(h, kPosByte), int64_t(-1));
        QCOMPARE(e->ChannelGetPosition(h, kPosByte), int64_t(-1));
        QCOMPARE(e->ChannelIsActive(h), kActiveStopped);
        char buf[16];
        QCOMPARE(e->ChannelGetData(h, buf, sizeof buf), kDataError);
        ChannelInfo info;
        QVERIFY(!e->ChannelGetInfo(h, &info));
        QVERIFY(!e->ChannelGetInfo(0, &info));
    }

    // Names are plain local files, whatever they look like and whatever
    // characters they hold.
    void namesAreLocalFiles()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString source = fixturePath("s16-stereo-44k-tiny-c2000.ape");
        const QStringList names = {QString::fromUtf8("音楽 Ünïcödé — 🎵.ape"),
                                   "http:host.ape",
                                   "concat:a.ape|b.ape",
                                   "pipe:0",
                                   "file:x.ape",
                                   "a%20b.ape"};
        EngineSession e;
        QVERIFY(e.initialised());
        const StreamHandle ref = openStream(*e, source, kFlagDecodeOnly);
        const QByteArray expected = decodeAll(*e, ref);
        QCOMPARE(expected.size(), 368);
        for (const QString &name : names) {
            const QString path = dir.filePath(name);
            QVERIFY(QFile::copy(source, path));
            const StreamHandle h = openStream(*e, path, kFlagDecodeOnly);
            QVERIFY2(h != 0, qPrintable(name));
            QCOMPARE(decodeAll(*e, h), expected);
            QVERIFY(openStream(*e, path, 0) != 0);
        }
        // The same without the UTF-16 flag: the path is UTF-8.
        const QByteArray utf8 = dir.filePath(names[0]).toUtf8();
        QVERIFY(e->ApeStreamCreateFile(false, utf8.constData(), 0, 0, 0) != 0);

        // Relative protocol-like names that are not files here are refused,
        // and so are folders and pipes (without waiting on the pipe).
        QVERIFY(QDir::setCurrent(dir.path()));
        QCOMPARE(openStream(*e, "pipe:1", 0), 0u);
        QCOMPARE(openStream(*e, "http://localhost/a.ape", 0), 0u);
        QVERIFY(QDir(dir.path()).mkdir("folder.ape"));
        QCOMPARE(openStream(*e, dir.filePath("folder.ape"), 0), 0u);
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("fifo.ape")).constData(), 0600), 0);
        QCOMPARE(openStream(*e, dir.filePath("fifo.ape"), 0), 0u);
        QCOMPARE(openStream(*e, dir.filePath("missing.ape"), 0), 0u);
        // From memory and parts of files are not supported.
        const std::u16string wide = source.toStdU16String();
        QCOMPARE(e->ApeStreamCreateFile(true, wide.c_str(), 0, 0, kFlagUnicodePath), 0u);
        QCOMPARE(e->ApeStreamCreateFile(false, wide.c_str(), 10, 0, kFlagUnicodePath), 0u);
        // A lone surrogate names no file.
        const char16_t broken[] = {u'/', 0xD800, u'x', 0};
        QCOMPARE(e->ApeStreamCreateFile(false, broken, 0, 0, kFlagUnicodePath), 0u);
    }

    // A row's file may go away while the row stays: playing it then fails,
    // and the stream still answers.
    void playFailsWhenTheFileIsGone()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("gone.ape");
        QVERIFY(QFile::copy(fixturePath("s16-stereo-44k-tiny-c2000.ape"), path));
        EngineSession e;
        QVERIFY(e.initialised());
        const StreamHandle h = openStream(*e, path, 0);
        QVERIFY(h != 0);
        QVERIFY(QFile::remove(path));
        QVERIFY(!e->ChannelPlay(h, true));
        QCOMPARE(e->ChannelIsActive(h), kActiveStopped);
        QCOMPARE(e->ChannelGetLength(h, kPosByte), int64_t(368));
        // Another file under the name is not taken for it.
        QVERIFY(QFile::copy(fixturePath("s16-mono-22k-c2000.ape"), path));
        QVERIFY(!e->ChannelPlay(h, true));
        QVERIFY(QFile::remove(path));
        QVERIFY(QFile::copy(fixturePath("s16-stereo-44k-tiny-c2000.ape"), path));
        QVERIFY(e->ChannelPlay(h, true));
        QVERIFY(e->StreamFree(h));
    }

    void decodeSeekIsSampleAccurate_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("16-bit stereo, many frames") << "s16-stereo-44k-long-c4000.ape";
        QTest::newRow("24-bit stereo") << "s24-stereo-96k-c5000.ape";
        QTest::newRow("8-bit mono") << "u8-mono-8k-odd-c2000.ape";
        QTest::newRow("16-bit mono") << "s16-mono-22k-c2000.ape";
    }

    void decodeSeekIsSampleAccurate()
    {
        QFETCH(QString, file);
        EngineSession e;
        QVERIFY(e.initialised());
        const StreamHandle h = openStream(*e, fixturePath(file), kFlagDecodeOnly);
        QVERIFY(h != 0);
        const QByteArray all = decodeAll(*e, h);
        const int64_t length = e->ChannelGetLength(h, kPosByte);
        QCOMPARE(int64_t(all.size()), length);
        ChannelInfo info;
        QVERIFY(e->ChannelGetInfo(h, &info));
        const int64_t bpf = info.chans * info.bytesPerSample;

        // Backwards and forwards, inside and across frames, off sample
        // boundaries (rounded down), up to the very end.
        const std::vector<int64_t> targets = {length / 2 + 1,  0,
                                              bpf * 7 + 1,     length - 1,
                                              length / 3,      length / 3 + 3 * bpf,
                                              length * 9 / 10, std::min(bpf * 4609, length),
                                              length};
        QByteArray block(10000, 0);
        for (const int64_t target : targets) {
            QVERIFY(e->ChannelSetPosition(h, target, kPosByte));
            const int64_t frameStart = target / bpf * bpf;
            QCOMPARE(e->ChannelGetPosition(h, kPosByte), frameStart);
            QByteArray got;
            for (int i = 0; i < 3 && e->ChannelIsActive(h) != kActiveStopped; ++i) {
                const uint32_t n = e->ChannelGetData(h, block.data(), 10000);
                QVERIFY(n != kDataError);
                got.append(block.constData(), n);
            }
            QCOMPARE(got, all.mid(frameStart, got.size()));
            QCOMPARE(got.size(), std::min<qsizetype>(30000, length - frameStart));
        }
        QCOMPARE(e->ChannelIsActive(h), kActiveStopped);
        QVERIFY(!e->ChannelSetPosition(h, length + 1, kPosByte));
        QVERIFY(!e->ChannelSetPosition(h, -1, kPosByte));
        QVERIFY(!e->ChannelPlay(h, true));
    }

    // Every track of the album images decodes to exactly its samples, though
    // each boundary lies inside an APE frame; through FFmpeg too, which reads
    // the files the native decoder leaves to it.
    void rangeStreamsDecodeTheirTracks()
    {
        const Manifest m = Manifest::load(cueFixture("manifest.tsv"));
        QVERIFY(!m.rows.isEmpty());
        EngineSession e;
        QVERIFY(e.initialised());
        for (const auto &row : m.rows) {
            const QString file = cueFixture(row["file"]);
            const int64_t first = row["start_sample"].toLongLong();
            const int64_t end = row["end_sample"].toLongLong();
            const QByteArray md5 = row["pcm_md5"].toLatin1();
            const QByteArray name = (row["file"] + " #" + row["track"]).toUtf8();
            const StreamHandle h = openRange(*e, file, kFlagDecodeOnly, first, end);
            QVERIFY2(h != 0, name);
            ChannelInfo info;
            QVERIFY(e->ChannelGetInfo(h, &info));
            const int64_t bpf = info.chans * info.bytesPerSample;
            QCOMPARE(e->ChannelGetLength(h, kPosByte), (end - first) * bpf);
            const QByteArray all = decodeAll(*e, h);
            QVERIFY2(QCryptographicHash::hash(all, QCryptographicHash::Md5).toHex() == md5, name);
            QCOMPARE(e->ChannelGetPosition(h, kPosByte), (end - first) * bpf);

            // Positions count from the track's first sample and stay inside it.
            QVERIFY(e->ChannelSetPosition(h, 0, kPosByte));
            QByteArray block(4096, 0);
            QCOMPARE(e->ChannelGetData(h, block.data(), 4096), 4096u);
            QVERIFY2(block == all.left(4096), name);
            QVERIFY(!e->ChannelSetPosition(h, all.size() + 1, kPosByte));
            QVERIFY(e->StreamFree(h));

            std::string error;
            std::unique_ptr<Decoder> ffmpeg =
                RangeDecoder::wrap(FfmpegDecoder::open(file.toStdString(), &error), first, end);
            QVERIFY2(ffmpeg, error.c_str());
            QByteArray viaFfmpeg(static_cast<qsizetype>((end - first) * bpf), 0);
            int64_t got = 0, n = 0;
            while ((n = ffmpeg->read(reinterpret_cast<uint8_t *>(viaFfmpeg.data()) + got * bpf,
                                     end - first - got)) > 0)
                got += n;
            QCOMPARE(got, end - first);
            QVERIFY2(QCryptographicHash::hash(viaFfmpeg, QCryptographicHash::Md5).toHex() == md5,
                     name);
        }
    }

    void rangesOutsideTheFileAreRefused()
    {
        EngineSession e;
        QVERIFY(e.initialised());
        const QString file = cueFixture("a1-utf8.ape");
        const int64_t frames = 1151341;
        QCOMPARE(openRange(*e, file, 0, 10, 10), 0u);
        QCOMPARE(openRange(*e, file, 0, 20, 10), 0u);
        QCOMPARE(openRange(*e, file, 0, -1, 10), 0u);
        QCOMPARE(openRange(*e, file, 0, frames - 10, frames + 1), 0u);
        QCOMPARE(openRange(*e, file, kFlagDecodeOnly, frames, frames + 5), 0u);
        QCOMPARE(openRange(*e, cueFixture("missing.ape"), 0, 0, 10), 0u);
        const StreamHandle last = openRange(*e, file, 0, frames - 1, frames);
        QVERIFY(last != 0);
        QCOMPARE(e->ChannelGetLength(last, kPosByte), int64_t(4));
    }

    // A playlist keeps a stream per row: ten thousand rows must fit in any
    // descriptor limit and cost little memory each.
    void tenThousandIdleStreams()
    {
        EngineSession e;
        QVERIFY(e.initialised());
        const QString file = fixturePath("s16-stereo-44k-long-c2000.ape");
        rlimit saved;
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        const int fdsBefore = openFileDescriptors();
        rlimit tight = saved;
        tight.rlim_cur = static_cast<rlim_t>(fdsBefore + 32);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &tight), 0);

        malloc_trim(0);
        const size_t heapBefore = mallinfo2().uordblks;
        std::vector<StreamHandle> handles;
        for (int i = 0; i < 10000; ++i) {
            const StreamHandle h = openStream(*e, file, 0);
            if (h == 0)
                break;
            handles.push_back(h);
        }
        const size_t heapAfter = mallinfo2().uordblks;
        const int fdsAfter = openFileDescriptors();
        QCOMPARE(handles.size(), size_t(10000));
        QCOMPARE(fdsAfter, fdsBefore);
        const double perStream = (double(heapAfter) - double(heapBefore)) / handles.size();
        qInfo("heap per idle stream: %.0f bytes", perStream);
        QVERIFY2(perStream <= 16384, qPrintable(QString::number(perStream)));

        // Any of them still plays, within the same limit.
        QVERIFY(e->ChannelPlay(handles[4321], true));
        QCOMPARE(e->ChannelIsActive(handles[4321]), kActivePlaying);
        QVERIFY(e->ChannelStop(handles[4321]));
        for (StreamHandle h : handles)
            QVERIFY(e->StreamFree(h));
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    }
};

QTEST_GUILESS_MAIN(EngineTest)
#include "tst_engine.moc"

#include "ApeTestSupport.h"
#include "Manifest.h"
#include "TestToolkit.h"
#include "audio/Decoder.h"
#include "audio/ape/ApeDecoder.h"
#include "audio/ape/ApeFormat.h"

#include <QCryptographicHash>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

struct Decoded
{
    QByteArray pcm;
    bool failed = false;
};

Decoded decodeAll(audio::Decoder &d, int64_t chunk = 10000)
{
    Decoded r;
    const int bpf = d.format().bytesPerFrame();
    std::vector<uint8_t> buf(size_t(chunk * bpf));
    for (;;) {
        const int64_t n = d.read(buf.data(), chunk);
        if (n < 0) {
            r.failed = true;
            break;
        }
        if (n == 0)
            break;
        r.pcm.append(reinterpret_cast<const char *>(buf.data()), int(n * bpf));
    }
    return r;
}

std::filesystem::path fsPath(const QString &s)
{
    return std::filesystem::path(s.toStdString());
}

} // namespace

class TestApeDecoder : public QObject
{
    Q_OBJECT

private slots:
    void conformance_data();
    void conformance();
    void threadsChangeNothing_data();
    void threadsChangeNothing();
    void corruptSet();
    void damagedFrameStopsAfterGoodFrames_data();
    void damagedFrameStopsAfterGoodFrames();
    void unsupportedAndForeignFiles();
    void sevenChannelFramesAreDamage();
    void wideFrameWithAWrongCrcIsDamage();
    void seekTableWrapsBeyond4GiB();
    void seekIsSampleAccurate_data();
    void seekIsSampleAccurate();
    void seekInsideTheDecodedFrameCostsNothing();
    void engineUsesTheNativeDecoder();

private:
    Manifest manifest_ = Manifest::load(fixturePath("manifest.tsv"));
};

void TestApeDecoder::conformance_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("threads");
    QVERIFY(!manifest_.rows.isEmpty());
    for (int i = 0; i < manifest_.rows.size(); ++i)
        for (int threads : {0, 3})
            QTest::addRow("%s, %d threads", qPrintable(manifest_.rows[i]["file"]), threads)
                << i << threads;
}

void TestApeDecoder::conformance()
{
    QFETCH(int, row);
    QFETCH(int, threads);
    const auto &m = manifest_.rows[row];
    std::string error;
    auto d =
        ape::openNativeDecoder(fsPath(fixturePath(m["file"])), &error, {.workerThreads = threads});
    QVERIFY2(d, error.c_str());
    QCOMPARE(d->format().channels, m["channels"].toInt());
    QCOMPARE(d->format().bitsPerSample, m["bits"].toInt());
    QCOMPARE(d->format().sampleRate, m["rate"].toInt());
    QCOMPARE(d->totalFrames(), m["frames"].toLongLong());
    const Decoded r = decodeAll(*d);
    QVERIFY(!r.failed);
    QCOMPARE(qint64(r.pcm.size()), m["pcm_bytes"].toLongLong());
    QCOMPARE(QCryptographicHash::hash(r.pcm, QCryptographicHash::Md5).toHex(),
             m["pcm_md5"].toLatin1());
}

void TestApeDecoder::threadsChangeNothing_data()
{
    QTest::addColumn<QString>("file");
    for (const auto &m : manifest_.rows)
        QTest::newRow(qPrintable(m["file"])) << m["file"];
}

// Decoding ahead on workers gives what decoding on the reader gives, also
// across seeks back, within the frames decoded ahead and far ahead, with
// reads that end inside frames.
void TestApeDecoder::threadsChangeNothing()
{
    QFETCH(QString, file);
    const auto path = fsPath(fixturePath(file));
    auto single = ape::openNativeDecoder(path, nullptr);
    QVERIFY(single);
    const QByteArray whole = decodeAll(*single).pcm;
    const int bpf = single->format().bytesPerFrame();
    const int64_t total = single->totalFrames();
    QCOMPARE(qint64(whole.size()), total * bpf);

    for (int threads : {1, 2, 5}) {
        auto d = ape::openNativeDecoder(path, nullptr, {.workerThreads = threads});
        QVERIFY(d);
        QVERIFY(decodeAll(*d, 7777).pcm == whole);
        QRandomGenerator rng(uint32_t(qHash(file)) + uint32_t(threads));
        const int64_t perFrame = 73728;
        QList<int64_t> targets = {0,
                                  total / 2,
                                  total / 3,
                                  std::min(total, perFrame + 5),
                                  std::min(total, 3 * perFrame),
                                  total - 1,
                                  0};
        for (int i = 0; i < 6; ++i)
            targets << int64_t(rng.bounded(quint64(total)));
        std::vector<uint8_t> buf(size_t(100000) * size_t(bpf));
        for (int64_t t : targets) {
            QVERIFY(d->seek(t));
            const int64_t want = std::min<int64_t>(100000, total - t);
            int64_t got = 0;
            while (got < want) {
                const int64_t n = d->read(buf.data() + got * bpf, want - got);
                QVERIFY(n > 0);
                got += n;
            }
            QVERIFY2(std::memcmp(buf.data(), whole.constData() + t * bpf, size_t(got * bpf)) == 0,
                     qPrintable(QString("%1 threads, at %2").arg(threads).arg(t)));
        }
    }
}

void TestApeDecoder::corruptSet()
{
    const Manifest corrupt = Manifest::load(apeCorruptDir() + "/manifest.tsv");
    QVERIFY(!corrupt.rows.isEmpty());
    for (const auto &m : corrupt.rows) {
        std::string error;
        auto d = ape::openNativeDecoder(fsPath(apeCorruptDir() + "/" + m["file"]), &error);
        if (m["expect"] == "fail") {
            QVERIFY2(!d, qPrintable(m["file"]));
            QVERIFY2(!error.empty(), qPrintable(m["file"]));
            continue;
        }
        if (!d)
            continue;
        const Decoded r = decodeAll(*d);
        QVERIFY2(r.pcm.size() <= d->totalFrames() * d->format().bytesPerFrame(),
                 qPrintable(m["file"]));
    }
}

void TestApeDecoder::damagedFrameStopsAfterGoodFrames_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("cut");
    QTest::addColumn<int>("threads");
    for (int threads : {0, 2}) {
        QTest::addRow("bit flip, normal, %d threads", threads)
            << "s16-stereo-44k-long-c2000.ape" << false << threads;
        QTest::addRow("bit flip, extra high, %d threads", threads)
            << "s16-stereo-44k-long-c4000.ape" << false << threads;
        QTest::addRow("bit flip, 24-bit, %d threads", threads)
            << "s24-stereo-96k-c5000.ape" << false << threads;
        QTest::addRow("cut mid-frame, %d threads", threads)
            << "s16-stereo-44k-long-c2000.ape" << true << threads;
        QTest::addRow("cut mid-frame, 24-bit, %d threads", threads)
            << "s24-stereo-96k-c2000.ape" << true << threads;
        QTest::addRow("bit flip, 6 channels, %d threads", threads)
            << "m6-s16-48k-c2000.ape" << false << threads;
        QTest::addRow("bit flip, float, %d threads", threads)
            << "f32-stereo-44k-c2000.ape" << false << threads;
    }
}

// A damaged frame is reported after every sample of the frames before it, and
// the frames after it still decode exactly once the reader skips it.
void TestApeDecoder::damagedFrameStopsAfterGoodFrames()
{
    QFETCH(QString, file);
    QFETCH(bool, cut);
    QFETCH(int, threads);
    const QString source = fixturePath(file);
    QByteArray bytes = readFile(source);
    auto whole = ape::openNativeDecoder(fsPath(source), nullptr);
    QVERIFY(whole);
    const Decoded reference = decodeAll(*whole);
    QVERIFY(!reference.failed);

    const ape::HeaderReader header = headerOf(bytes);
    QCOMPARE(header.status(), ape::OpenStatus::Ok);
    const uint32_t frames = header.info().frameCount;
    const uint32_t bad = frames / 2;
    const ape::FrameSpan &span = header.frames()[bad];
    const int64_t middle = (span.wordStart + span.end) / 2;
    if (cut)
        bytes.truncate(int(middle));
    else
        bytes[int(middle)] = char(bytes[int(middle)] ^ 0x10);

    QTemporaryDir dir;
    const QString damaged = dir.filePath("damaged.ape");
    QVERIFY(writeFile(damaged, bytes));
    auto d = ape::openNativeDecoder(fsPath(damaged), nullptr, {.workerThreads = threads});
    QVERIFY(d);
    const int bpf = d->format().bytesPerFrame();
    const Decoded before = decodeAll(*d);
    QVERIFY(before.failed);
    const int64_t goodFrames = int64_t(bad) * header.info().blocksPerFrame;
    QCOMPARE(qint64(before.pcm.size()), goodFrames * bpf);
    QVERIFY(before.pcm == reference.pcm.left(before.pcm.size()));
    QCOMPARE(d->damagedFrames(), int64_t(header.info().blocksInFrame(bad)));

    // Reading again reports the same damage rather than skipping it.
    uint8_t probe[16];
    QCOMPARE(d->read(probe, 1), int64_t(-1));

    QVERIFY(d->seek(goodFrames + d->damagedFrames()));
    const Decoded after = decodeAll(*d);
    if (cut) {
        QVERIFY(after.pcm.isEmpty() || after.failed);
    } else {
        QVERIFY(!after.failed);
        const int64_t resume = goodFrames + header.info().blocksInFrame(bad);
        QVERIFY(after.pcm == reference.pcm.mid(int(resume * bpf)));
    }
}

void TestApeDecoder::unsupportedAndForeignFiles()
{
    QTemporaryDir dir;
    QByteArray bytes = readFile(fixturePath("s16-stereo-44k-c2000.ape"));
    QVERIFY(!bytes.isEmpty());

    // An older version is a valid file another decoder reads: reported as such.
    QByteArray old = bytes;
    old[4] = char(3950 & 0xff);
    old[5] = char(3950 >> 8);
    QVERIFY(writeFile(dir.filePath("old.ape"), old));
    std::string error;
    bool unsupported = false;
    QVERIFY(!ape::openNativeDecoder(fsPath(dir.filePath("old.ape")), &error, {}, &unsupported));
    QVERIFY(unsupported);
    QVERIFY(!error.empty());

    // What no encoder writes is damage, not a kind another decoder may read:
    // no channels, more than 32, a width other than 8 to 32 bits, float
    // samples that are not 32 bits wide.
    const struct
    {
        int offset;
        int value;
    } impossible[] = {{18, 0}, {18, 33}, {16, 20}, {16, 64}, {2, 0x10}};
    for (const auto &[offset, value] : impossible) {
        QByteArray bad = bytes;
        bad[52 + offset] = char(value);
        if (offset == 2)
            bad[52 + 3] = char(0x1000 >> 8);
        QVERIFY(writeFile(dir.filePath("bad.ape"), bad));
        unsupported = true;
        error.clear();
        QVERIFY2(!ape::openNativeDecoder(fsPath(dir.filePath("bad.ape")), &error, {}, &unsupported),
                 qPrintable(QString("offset %1, value %2").arg(offset).arg(value)));
        QVERIFY(!unsupported);
        QVERIFY(!error.empty());
    }

    // A missing file and a folder are errors, not unsupported files.
    QVERIFY(!ape::openNativeDecoder(fsPath(dir.filePath("missing.ape")), &error, {}, &unsupported));
    QVERIFY(!unsupported);
    QVERIFY(!ape::openNativeDecoder(fsPath(dir.path()), &error, {}, &unsupported));
    QVERIFY(!unsupported);
    // A FIFO under an .ape name must not block the open.
    const QString fifo = dir.filePath("fifo.ape");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY(!ape::openNativeDecoder(fsPath(fifo), &error, {}, &unsupported));
    QVERIFY(!unsupported);
}

// Encoders write 16- and 24-bit files of seven channels wrongly: every frame
// fails its CRC and is reported as damage, on the reader and on workers.
// Frames coded for eight channels and read as seven stand in for them.
void TestApeDecoder::sevenChannelFramesAreDamage()
{
    QByteArray bytes = readFile(fixturePath("m8-s24-96k-c4000.ape"));
    QVERIFY(!bytes.isEmpty());
    bytes[52 + 18] = 7;
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("seven.ape"), bytes));
    for (int threads : {0, 2}) {
        auto d = ape::openNativeDecoder(fsPath(dir.filePath("seven.ape")), nullptr,
                                        {.workerThreads = threads});
        QVERIFY(d);
        QCOMPARE(d->format().channels, 7);
        std::vector<uint8_t> buf(size_t(d->format().bytesPerFrame()) * 1000);
        QCOMPARE(d->read(buf.data(), 1000), int64_t(-1));
        QVERIFY(d->damagedFrames() > 0);
    }
}

// The data of these frames decodes as well as ever; only the stored CRC no
// longer matches, and that alone must make the frame damage.
void TestApeDecoder::wideFrameWithAWrongCrcIsDamage()
{
    QTemporaryDir dir;
    for (const char *file : {"w32-stereo-48k-c2000.ape", "f32-mono-96k-c3000.ape",
                             "m6-s24-48k-c3000.ape", "m4-u8-8k-c2000.ape"}) {
        QByteArray bytes = readFile(fixturePath(file));
        const ape::HeaderReader header = headerOf(bytes);
        QCOMPARE(header.status(), ape::OpenStatus::Ok);
        // The first frame's CRC is the low end of its first little-endian word.
        const int64_t at = header.frames()[0].wordStart;
        QCOMPARE(header.frames()[0].skip, 0);
        bytes[int(at)] = char(bytes[int(at)] ^ 1);
        QVERIFY(writeFile(dir.filePath("crc.ape"), bytes));
        auto d = ape::openNativeDecoder(fsPath(dir.filePath("crc.ape")), nullptr);
        QVERIFY(d);
        std::vector<uint8_t> buf(size_t(d->format().bytesPerFrame()) * 100);
        QVERIFY2(d->read(buf.data(), 100) == -1, file);
    }
}

// Seek-table entries are 32-bit and wrap past 4 GiB, which long 32-bit and
// multichannel files reach. Here frames 1 and on are moved (behind a sparse
// hole) so that frame 1 ends past 4 GiB, and the table is rewritten as an
// encoder would write it.
void TestApeDecoder::seekTableWrapsBeyond4GiB()
{
    const QString source = fixturePath("s16-stereo-44k-long-c2000.ape");
    const QByteArray bytes = readFile(source);
    const ape::HeaderReader header = headerOf(bytes);
    QCOMPARE(header.status(), ape::OpenStatus::Ok);
    QVERIFY(header.info().frameCount > 3);
    QVERIFY(bytes.size() > 16);
    // Byte by byte: GCC's bounds check, under ASan, cannot tell that the
    // array is not the shared empty one.
    auto le32 = [&bytes](int at) {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = v << 8 | uint8_t(bytes.at(at + i));
        return v;
    };
    const int seekTable = int(le32(8) + le32(12));
    const int64_t first = header.frames()[1].wordStart + header.frames()[1].skip;
    const int64_t second = header.frames()[2].wordStart + header.frames()[2].skip;
    // Frame 1 starts half its length before 4 GiB, keeping its word alignment.
    const int64_t moved = ((int64_t(1) << 32) - (second - first) / 2) / 4 * 4 + first % 4;
    const int64_t delta = moved - first;

    // Frames share the word where one ends and the next begins: it is kept
    // at both places.
    const int64_t word = header.frames()[1].wordStart;
    QByteArray head = bytes.left(int(word + 4));
    for (uint32_t i = 1; i < header.info().frameCount; ++i) {
        const uint32_t entry = uint32_t(le32(seekTable + int(i) * 4) + uint64_t(delta));
        std::memcpy(head.data() + seekTable + i * 4, &entry, 4);
    }
    QTemporaryDir dir;
    QFile out(dir.filePath("huge.ape"));
    QVERIFY(out.open(QIODevice::WriteOnly));
    QCOMPARE(out.write(head), head.size());
    QVERIFY(out.seek(moved - (first - word)));
    const QByteArray rest = bytes.mid(int(word));
    QCOMPARE(out.write(rest), rest.size());
    out.close();

    auto d = ape::openNativeDecoder(fsPath(out.fileName()), nullptr);
    QVERIFY(d);
    const Decoded r = decodeAll(*d);
    QVERIFY(!r.failed);
    QCOMPARE(QCryptographicHash::hash(r.pcm, QCryptographicHash::Md5).toHex(),
             QByteArray("6bc6fb1487a686c6204bd381ef1cf8a4"));
}

void TestApeDecoder::seekIsSampleAccurate_data()
{
    QTest::addColumn<QString>("file");
    for (const char *f :
         {"s16-stereo-44k-long-c2000.ape", "s16-stereo-44k-long-c4000.ape",
          "s16-stereo-44k-c1000.ape", "s16-stereo-44k-c3000.ape", "s16-stereo-44k-c5000.ape",
          "s24-stereo-96k-c2000.ape", "s16-mono-22k-c4000.ape", "u8-mono-8k-odd-c2000.ape",
          "m6-s16-48k-c2000.ape", "f32-stereo-44k-c2000.ape"})
        QTest::newRow(f) << QString(f);
}

// Every position lands on exactly the sample a full decode has there.
void TestApeDecoder::seekIsSampleAccurate()
{
    QFETCH(QString, file);
    const QString path = fixturePath(file);
    auto d = ape::openNativeDecoder(fsPath(path), nullptr);
    QVERIFY(d);
    const Decoded whole = decodeAll(*d);
    QVERIFY(!whole.failed);
    const int bpf = d->format().bytesPerFrame();
    const int64_t total = d->totalFrames();

    const ape::HeaderReader header = headerOf(readFile(path));
    const int64_t perFrame = header.info().blocksPerFrame;
    QList<int64_t> targets = {0, total - 1, total};
    for (int64_t start = 0; start < total; start += perFrame) {
        targets << start << std::min(start + perFrame, total) - 1;
        if (start > 0)
            targets << start - 1;
    }
    QRandomGenerator rng(uint32_t(qHash(file)));
    for (int i = 0; i < 12; ++i)
        targets << int64_t(rng.bounded(quint64(total)));

    const int64_t span = 3000;
    std::vector<uint8_t> buf(size_t(span * bpf));
    for (int64_t t : targets) {
        QVERIFY(d->seek(t));
        int64_t got = 0;
        while (got < span) {
            const int64_t n = d->read(buf.data() + got * bpf, span - got);
            QVERIFY(n >= 0);
            if (n == 0)
                break;
            got += n;
        }
        QCOMPARE(got, std::min(span, total - t));
        QVERIFY2(std::memcmp(buf.data(), whole.pcm.constData() + t * bpf, size_t(got * bpf)) == 0,
                 qPrintable(QString("at %1").arg(t)));
    }
    QVERIFY(!d->seek(total + 1));
    QVERIFY(!d->seek(-1));
}

void TestApeDecoder::seekInsideTheDecodedFrameCostsNothing()
{
    auto d = ape::openNativeDecoder(fsPath(fixturePath("s16-stereo-44k-long-c2000.ape")), nullptr);
    QVERIFY(d);
    uint8_t buf[400];
    QCOMPARE(d->read(buf, 100), int64_t(100));
    QCOMPARE(d->framesDecoded(), int64_t(1));
    for (int64_t t : {int64_t(5000), int64_t(0), int64_t(73727), int64_t(17)}) {
        QVERIFY(d->seek(t));
        QCOMPARE(d->read(buf, 1), int64_t(1));
    }
    QCOMPARE(d->framesDecoded(), int64_t(1));
    // Another frame is decoded from its own start, nothing before it.
    QVERIFY(d->seek(73728 * 3 + 10));
    QCOMPARE(d->read(buf, 1), int64_t(1));
    QCOMPARE(d->framesDecoded(), int64_t(2));
}

// The engine's decoder factory picks this decoder for every fixture; FFmpeg
// keeps the older versions.
void TestApeDecoder::engineUsesTheNativeDecoder()
{
    for (const auto &m : manifest_.rows) {
        std::string error;
        auto d = audio::openDecoder(fsPath(fixturePath(m["file"])), &error);
        QVERIFY2(dynamic_cast<ape::ApeDecoder *>(d.get()), qPrintable(m["file"]));
    }
    std::string error;
    auto foreign = audio::openDecoder(fsPath(apeCorruptDir() + "/wave-file.ape"), &error);
    QVERIFY(!foreign);
}

QTEST_GUILESS_MAIN(TestApeDecoder)
#include "tst_ape_decoder.moc"

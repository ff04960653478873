// WAV files as other programs see them: FFmpeg's prober must read back the
// header we wrote and its demuxer the very bytes of the data chunk; SoX must
// read the file too, and integer samples unchanged.
#include "Manifest.h"
#include "ScriptedEngine.h"
#include "TestToolkit.h"
#include "logic/WavWriter.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace audio;

namespace {

struct Probe
{
    QString codec;
    int channels = 0;
    int sampleRate = 0;
    int bits = 0;
    qint64 frames = -1;
};

QString codecFor(int bits, bool isFloat)
{
    if (isFloat)
        return QStringLiteral("pcm_f32le");
    switch (bits) {
    case 8:
        return QStringLiteral("pcm_u8");
    case 24:
        return QStringLiteral("pcm_s24le");
    case 32:
        return QStringLiteral("pcm_s32le");
    default:
        return QStringLiteral("pcm_s16le");
    }
}

bool run(const QString &program, const QStringList &args, QByteArray *out, QString *error)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *error = program + ": " + QString::fromLocal8Bit(p.readAllStandardError());
        return false;
    }
    *out = p.readAllStandardOutput();
    return true;
}

bool probe(const QString &path, Probe *result, QString *error)
{
    QByteArray out;
    if (!run("ffprobe", {"-v", "error", "-show_streams", "-of", "json", path}, &out, error))
        return false;
    const QJsonArray streams = QJsonDocument::fromJson(out).object()["streams"].toArray();
    if (streams.size() != 1) {
        *error = "ffprobe found " + QString::number(streams.size()) + " streams";
        return false;
    }
    const QJsonObject s = streams[0].toObject();
    result->codec = s["codec_name"].toString();
    result->channels = s["channels"].toInt();
    result->sampleRate = s["sample_rate"].toString().toInt();
    result->bits = s["bits_per_sample"].toInt();
    result->frames = s["duration_ts"].toInteger(-1);
    return true;
}

// MD5 of the audio FFmpeg's demuxer reads from the file, without conversion.
bool demuxedMd5(const QString &path, QByteArray *md5, QString *error)
{
    QByteArray out;
    if (!run("ffmpeg", {"-v", "error", "-i", path, "-map", "0:a", "-c:a", "copy", "-f", "md5", "-"},
             &out, error))
        return false;
    *md5 = out.trimmed().mid(int(qstrlen("MD5=")));
    return true;
}

// What SoX reports of the file, and the MD5 of the samples it reads from it
// written back out raw in their own encoding. SoX holds samples as 32-bit
// integers, so only integer sources come back unchanged.
bool soxReads(const QString &path, Probe *result, QString *encoding, QByteArray *md5,
              QString *error)
{
    QByteArray out;
    if (!run("sox", {"--i", path}, &out, error))
        return false;
    for (const QByteArray &line : out.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        const QByteArray key = line.left(colon).trimmed();
        const QString value = QString::fromLatin1(line.mid(colon + 1).trimmed());
        if (key == "Channels")
            result->channels = value.toInt();
        else if (key == "Sample Rate")
            result->sampleRate = value.toInt();
        else if (key == "Sample Encoding")
            *encoding = value;
        else if (key == "Duration")
            result->frames = value.section('=', 1).section(' ', 1, 1).toLongLong();
    }
    if (!run("sox", {"-V1", path, "-t", "raw", "-"}, &out, error))
        return false;
    *md5 = QCryptographicHash::hash(out, QCryptographicHash::Md5).toHex();
    return true;
}

QString soxEncodingFor(int bits, bool isFloat)
{
    if (isFloat)
        return QStringLiteral("32-bit Floating Point PCM");
    if (bits == 8)
        return QStringLiteral("8-bit Unsigned Integer PCM");
    return QStringLiteral("%1-bit Signed Integer PCM").arg(bits);
}

bool haveTools()
{
    return !QStandardPaths::findExecutable("ffprobe").isEmpty() &&
           !QStandardPaths::findExecutable("ffmpeg").isEmpty() &&
           !QStandardPaths::findExecutable("sox").isEmpty();
}

QByteArray md5Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex();
}

// FFmpeg and SoX read dest as the given format with exactly the data whose
// MD5 is dataMd5. A failure shows in the running test function.
void checkReadBack(const QString &dest, int channels, int bits, bool isFloat, int rate,
                   qint64 frames, const QByteArray &dataMd5)
{
    Probe p;
    QString error;
    QVERIFY2(probe(dest, &p, &error), qPrintable(error));
    QCOMPARE(p.codec, codecFor(bits, isFloat));
    QCOMPARE(p.channels, channels);
    QCOMPARE(p.sampleRate, rate);
    QCOMPARE(p.bits, bits);
    QCOMPARE(p.frames, frames);
    QByteArray md5;
    QVERIFY2(demuxedMd5(dest, &md5, &error), qPrintable(error));
    QCOMPARE(md5, dataMd5);

    Probe sox;
    QString encoding;
    QVERIFY2(soxReads(dest, &sox, &encoding, &md5, &error), qPrintable(error));
    QCOMPARE(encoding, soxEncodingFor(bits, isFloat));
    QCOMPARE(sox.channels, channels);
    QCOMPARE(sox.sampleRate, rate);
    QCOMPARE(sox.frames, frames);
    if (!isFloat)
        QCOMPARE(md5, dataMd5);
}

} // namespace

class WavFixturesTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void scriptedStreamsReadBack_data();
    void scriptedStreamsReadBack();
    // Declared unconditionally: moc cannot evaluate __has_include.
    void fixturesThroughEngine_data();
    void fixturesThroughEngine();
    void damagedFixturesThroughEngine_data();
    void damagedFixturesThroughEngine();

private:
    QTemporaryDir dir_;
};

void WavFixturesTest::initTestCase()
{
    QVERIFY(dir_.isValid());
    if (!haveTools())
        QSKIP("ffprobe, ffmpeg or sox is missing: run scripts/install-deps.sh test");
}

void WavFixturesTest::scriptedStreamsReadBack_data()
{
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("bits");
    QTest::addColumn<bool>("isFloat");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("frames");
    QTest::newRow("u8 mono 8000, odd") << 1 << 8 << false << 8000 << 2059;
    QTest::newRow("s16 stereo 44100") << 2 << 16 << false << 44100 << 30000;
    QTest::newRow("s16 mono 22050") << 1 << 16 << false << 22050 << 12345;
    QTest::newRow("s24 stereo 96000") << 2 << 24 << false << 96000 << 20000;
    QTest::newRow("s32 stereo 48000") << 2 << 32 << false << 48000 << 7000;
    QTest::newRow("s16 six channels") << 6 << 16 << false << 48000 << 5000;
    // Arbitrary bit patterns: NaNs with payloads among them must survive.
    QTest::newRow("f32 stereo 44100") << 2 << 32 << true << 44100 << 7000;
    QTest::newRow("s32 32 channels 8000") << 32 << 32 << false << 8000 << 1000;
}

void WavFixturesTest::scriptedStreamsReadBack()
{
    QFETCH(int, channels);
    QFETCH(int, bits);
    QFETCH(bool, isFloat);
    QFETCH(int, rate);
    QFETCH(int, frames);
    const uint32_t width = uint32_t(bits / 8);
    std::vector<uint8_t> data(size_t(frames) * channels * width);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t((i * 2654435761u) >> 13);

    ScriptedEngine engine;
    engine.initialised = true;
    const QString source = QStringLiteral("/music/scripted.ape");
    const std::u16string key(reinterpret_cast<const char16_t *>(source.utf16()));
    engine.dataForPath[key] = data;
    const uint32_t flags = bits == 8 ? kInfoSample8Bits : isFloat ? kInfoSampleFloat : 0;
    engine.infoForPath[key] =
        ChannelInfo{uint32_t(rate), uint32_t(channels), flags, uint32_t(bits), width};
    const StreamHandle h = openStream(engine, source, kFlagDecodeOnly);
    const QString dest = dir_.filePath(QString("scripted-%1.wav").arg(QTest::currentDataTag()));
    writeWavFile(engine, h, source, dest);
    checkReadBack(
        dest, channels, bits, isFloat, rate, frames,
        md5Hex(QByteArray(reinterpret_cast<const char *>(data.data()), qsizetype(data.size()))));
}

namespace {

uint32_t u32At(const QByteArray &bytes, int offset)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | uint8_t(bytes[offset + i]);
    return v;
}

} // namespace

void WavFixturesTest::fixturesThroughEngine_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("bits");
    QTest::addColumn<bool>("isFloat");
    QTest::addColumn<int>("rate");
    QTest::addColumn<qint64>("frames");
    QTest::addColumn<QByteArray>("md5");
    QTest::addColumn<bool>("ffmpegDiffers");
    const Manifest m = Manifest::load(fixturePath("manifest.tsv"));
    QVERIFY2(!m.rows.isEmpty(), "the fixture manifest is missing");
    for (const auto &row : m.rows)
        QTest::newRow(qPrintable(row["file"]))
            << fixturePath(row["file"]) << row["channels"].toInt() << row["bits"].toInt()
            << row["note"].endsWith("(float)") << row["rate"].toInt() << row["frames"].toLongLong()
            << row["pcm_md5"].toLatin1() << (row["ffmpeg51"] == "differs");
}

void WavFixturesTest::fixturesThroughEngine()
{
    QFETCH(QString, file);
    QFETCH(int, channels);
    QFETCH(int, bits);
    QFETCH(bool, isFloat);
    QFETCH(int, rate);
    QFETCH(qint64, frames);
    QFETCH(QByteArray, md5);
    QFETCH(bool, ffmpegDiffers);

    EngineSession engine;
    QVERIFY(engine.initialised());
    const ScopedStream h(*engine, file, kFlagDecodeOnly);
    QVERIFY2(h != 0, qPrintable(file));
    const QString dest = dir_.filePath("fixture.wav");
    QString failure;
    try {
        writeWavFile(*engine, h, file, dest);
    } catch (const ExportError &e) {
        failure = e.message();
    }
    QCOMPARE(failure, QString());

    const QByteArray bytes = readFile(dest);
    QVERIFY(bytes.size() >= 44);
    const QByteArray chunkMd5 = md5Hex(bytes.mid(44));
    if (chunkMd5 != md5 && ffmpegDiffers)
        QSKIP("FFmpeg 5.1 decodes this file differently; exact output needs the native decoder");
    QCOMPARE(chunkMd5, md5);
    QCOMPARE(qint64(bytes.size()) - 44, frames * channels * (bits / 8));
    checkReadBack(dest, channels, bits, isFloat, rate, frames, md5);
}

void WavFixturesTest::damagedFixturesThroughEngine_data()
{
    QTest::addColumn<QString>("file");
    const Manifest m = Manifest::load(apeCorruptDir() + "/manifest.tsv");
    QVERIFY2(!m.rows.isEmpty(), "the corrupt-file manifest is missing");
    for (const auto &row : m.rows)
        QTest::newRow(qPrintable(row["file"])) << apeCorruptDir() + "/" + row["file"];
}

// A damaged source that opens either decodes to a consistent WAV file or
// ends with the decode error and leaves no file behind.
void WavFixturesTest::damagedFixturesThroughEngine()
{
    QFETCH(QString, file);
    EngineSession engine;
    QVERIFY(engine.initialised());
    const ScopedStream h(*engine, file, kFlagDecodeOnly);
    if (h == 0)
        return; // refused at open: the command reports that before writing anything
    const QString dest = dir_.filePath("damaged.wav");
    QString failure;
    try {
        writeWavFile(*engine, h, file, dest);
    } catch (const ExportError &e) {
        failure = e.message();
    }
    if (!failure.isEmpty()) {
        QVERIFY2(failure == QStringLiteral("Cannot decode file \"%1\".").arg(file) ||
                     failure.endsWith("is too long to be written as a WAV file."),
                 qPrintable(failure));
        QVERIFY(!QFile::exists(dest));
        return;
    }
    const QByteArray bytes = readFile(dest);
    QVERIFY(bytes.size() >= 44);
    QCOMPARE(qint64(u32At(bytes, 4)), qint64(bytes.size()) - 8);
    QCOMPARE(qint64(u32At(bytes, 40)), qint64(bytes.size()) - 44);
}

QTEST_GUILESS_MAIN(WavFixturesTest)
#include "tst_wavfixtures.moc"

#include "ExportTestSupport.h"
#include "ScriptedEngine.h"
#include "TestToolkit.h"
#include "logic/WavWriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace audio;

namespace {

std::vector<uint8_t> pattern(size_t size)
{
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return data;
}

uint32_t u32At(const QByteArray &bytes, int offset)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<uint8_t>(bytes[offset + i]);
    return v;
}

// A decode-only stream over the given bytes.
struct Source
{
    ScriptedEngine engine;
    StreamHandle handle = 0;
    QString path = QStringLiteral("/music/source.ape");

    explicit Source(std::vector<uint8_t> data, ChannelInfo info = {44100, 2, 0, 16, 2})
    {
        engine.initialised = true;
        const std::u16string key(reinterpret_cast<const char16_t *>(path.utf16()));
        engine.dataForPath[key] = std::move(data);
        engine.infoForPath[key] = info;
        handle = openStream(engine, path, kFlagDecodeOnly);
    }
    ScriptedEngine::Stream &stream() { return *engine.stream(handle); }
};

// Runs the writer and returns the error text, empty when it succeeded.
QString writeOrError(Source &src, const QString &dest, const WavProgress &progress = {},
                     uint64_t limit = kWavMaxDataBytes)
{
    try {
        writeWavFile(src.engine, src.handle, src.path, dest, progress, limit);
    } catch (const ExportError &e) {
        return e.message();
    }
    return {};
}

} // namespace

class WavWriterTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void formatFields_data();
    void formatFields();
    void unusableFormatsRefused_data();
    void unusableFormatsRefused();
    void millionBytesGiveTheListedHeader();
    void writtenHeaderFollowsTheStream_data();
    void writtenHeaderFollowsTheStream();
    void oddByteCountHasNoPad();
    void stoppedStreamGivesBareHeader();
    void progressText_data();
    void progressText();
    void progressShownAfterEveryBlock();
    void existingFileIsRewritten();
    void missingFolder();
    void readOnlyFolder();
    void fullDisk();
    void shortWriteRemovesFile();
    void failingSourceRemovesFile();
    void unopenedStreamCreatesNothing();
    void tooLongRefusedBeforeCreating();
    void tooLongDetectedWhileWriting();
    void failureInCallbackRemovesFile();
    void systemTextTrimmed();

private:
    QTemporaryDir dir_;
    QString file(const QString &name) const { return dir_.filePath(name); }
};

void WavWriterTest::init()
{
    QVERIFY(dir_.isValid());
}

void WavWriterTest::formatFields_data()
{
    QTest::addColumn<uint>("chans");
    QTest::addColumn<uint>("flags");
    QTest::addColumn<uint>("bytesPerSample");
    QTest::addColumn<float>("rate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("blockAlign");
    QTest::addColumn<uint>("sampleRate");
    QTest::addColumn<uint>("byteRate");

    QTest::newRow("stereo 16 44100")
        << 2u << 0u << 2u << 44100.0f << 2 << 16 << 4 << 44100u << 176400u;
    QTest::newRow("mono 16 22050")
        << 1u << 0u << 2u << 22050.0f << 1 << 16 << 2 << 22050u << 44100u;
    QTest::newRow("mono 8 8000") << 1u << 1u << 1u << 8000.0f << 1 << 8 << 1 << 8000u << 8000u;
    QTest::newRow("8-bit flag wins") << 1u << 1u << 2u << 8000.0f << 1 << 8 << 1 << 8000u << 8000u;
    QTest::newRow("width not named")
        << 2u << 0u << 0u << 44100.0f << 2 << 16 << 4 << 44100u << 176400u;
    QTest::newRow("stereo 16 96000")
        << 2u << 0u << 2u << 96000.0f << 2 << 16 << 4 << 96000u << 384000u;
    QTest::newRow("stereo 24 96000")
        << 2u << 0u << 3u << 96000.0f << 2 << 24 << 6 << 96000u << 576000u;
    QTest::newRow("stereo 32 48000")
        << 2u << 0u << 4u << 48000.0f << 2 << 32 << 8 << 48000u << 384000u;
    QTest::newRow("six channels") << 6u << 0u << 2u << 48000.0f << 6 << 16 << 12 << 48000u
                                  << 576000u;
    QTest::newRow("rate truncated")
        << 2u << 0u << 2u << 44100.9f << 2 << 16 << 4 << 44100u << 176400u;
}

void WavWriterTest::formatFields()
{
    QFETCH(uint, chans);
    QFETCH(uint, flags);
    QFETCH(uint, bytesPerSample);
    QFETCH(float, rate);
    ChannelInfo info{0, chans, flags, bytesPerSample * 8, bytesPerSample};
    WavFormat f;
    QVERIFY(wavFormatOf(info, rate, &f));
    QTEST(int(f.channels), "channels");
    QTEST(int(f.bitsPerSample), "bits");
    QTEST(int(f.blockAlign), "blockAlign");
    QTEST(uint(f.sampleRate), "sampleRate");
    QTEST(uint(f.byteRate), "byteRate");
}

void WavWriterTest::unusableFormatsRefused_data()
{
    QTest::addColumn<uint>("chans");
    QTest::addColumn<uint>("flags");
    QTest::addColumn<uint>("bytesPerSample");
    QTest::addColumn<float>("rate");
    QTest::newRow("no channels") << 0u << 0u << 2u << 44100.0f;
    QTest::newRow("five-byte samples") << 2u << 0u << 5u << 44100.0f;
    QTest::newRow("block align beyond 16 bits") << 20000u << 0u << 4u << 44100.0f;
    QTest::newRow("rate 0") << 2u << 0u << 2u << 0.0f;
    QTest::newRow("rate negative") << 2u << 0u << 2u << -44100.0f;
    QTest::newRow("rate NaN") << 2u << 0u << 2u << std::numeric_limits<float>::quiet_NaN();
    QTest::newRow("rate beyond 32 bits") << 2u << 0u << 2u << 5e9f;
    // WAV has no 16-bit or 24-bit float, and the header could not say 8-bit float.
    QTest::newRow("float 16-bit") << 2u << kInfoSampleFloat << 2u << 44100.0f;
    QTest::newRow("float with the 8-bit flag")
        << 2u << (kInfoSampleFloat | kInfoSample8Bits) << 4u << 44100.0f;
}

void WavWriterTest::unusableFormatsRefused()
{
    QFETCH(uint, chans);
    QFETCH(uint, flags);
    QFETCH(uint, bytesPerSample);
    QFETCH(float, rate);
    WavFormat f;
    QVERIFY(!wavFormatOf(ChannelInfo{0, chans, flags, 16, bytesPerSample}, rate, &f));
}

void WavWriterTest::millionBytesGiveTheListedHeader()
{
    const auto data = pattern(1000000);
    Source src(data);
    const QString dest = file("million.wav");
    QCOMPARE(writeOrError(src, dest), QString());

    const QByteArray bytes = readFile(dest);
    QCOMPARE(bytes.size(), 1000044);
    QCOMPARE(bytes.left(44).toHex(' ').toUpper(),
             QByteArray("52 49 46 46 64 42 0F 00 57 41 56 45 66 6D 74 20 10 00 00 00 01 00 02 00 "
                        "44 AC 00 00 10 B1 02 00 04 00 10 00 64 61 74 61 40 42 0F 00"));
    QVERIFY(bytes.mid(44) ==
            QByteArray(reinterpret_cast<const char *>(data.data()), qsizetype(data.size())));
    // The writer reads the stream but leaves freeing it to its owner.
    QVERIFY(src.engine.callsStartingWith("StreamFree").empty());
}

void WavWriterTest::writtenHeaderFollowsTheStream_data()
{
    QTest::addColumn<uint>("chans");
    QTest::addColumn<uint>("flags");
    QTest::addColumn<uint>("bytesPerSample");
    QTest::addColumn<uint>("freq");
    QTest::addColumn<QByteArray>("fmtHex"); // offsets 20 to 35

    QTest::newRow("mono 16 22050")
        << 1u << 0u << 2u << 22050u << QByteArray("0100 0100 22560000 44ac0000 0200 1000");
    QTest::newRow("mono 8 8000") << 1u << 1u << 1u << 8000u
                                 << QByteArray("0100 0100 401f0000 401f0000 0100 0800");
    QTest::newRow("stereo 16 96000")
        << 2u << 0u << 2u << 96000u << QByteArray("0100 0200 00770100 00dc0500 0400 1000");
    QTest::newRow("stereo 24 96000")
        << 2u << 0u << 3u << 96000u << QByteArray("0100 0200 00770100 00ca0800 0600 1800");
    QTest::newRow("six channels 16")
        << 6u << 0u << 2u << 48000u << QByteArray("0100 0600 80bb0000 00ca0800 0c00 1000");
    QTest::newRow("stereo 32 48000")
        << 2u << 0u << 4u << 48000u << QByteArray("0100 0200 80bb0000 00dc0500 0800 2000");
    QTest::newRow("float stereo 44100") << 2u << kInfoSampleFloat << 4u << 44100u
                                        << QByteArray("0300 0200 44ac0000 20620500 0800 2000");
    QTest::newRow("float 6 channels 44100") << 6u << kInfoSampleFloat << 4u << 44100u
                                            << QByteArray("0300 0600 44ac0000 60261000 1800 2000");
    QTest::newRow("32 channels 32 8000")
        << 32u << 0u << 4u << 8000u << QByteArray("0100 2000 401f0000 00a00f00 8000 2000");
}

void WavWriterTest::writtenHeaderFollowsTheStream()
{
    QFETCH(uint, chans);
    QFETCH(uint, flags);
    QFETCH(uint, bytesPerSample);
    QFETCH(uint, freq);
    QFETCH(QByteArray, fmtHex);
    // The rate comes from the attribute, not the record: give them different values.
    Source src(pattern(384 * 100),
               ChannelInfo{1, chans, flags, bytesPerSample * 8, bytesPerSample});
    src.stream().rate = float(freq);
    const QString dest = file("fmt.wav");
    QCOMPARE(writeOrError(src, dest), QString());
    const QByteArray bytes = readFile(dest);
    QCOMPARE(bytes.size(), 44 + 38400);
    QCOMPARE(bytes.mid(20, 16).toHex(), QByteArray::fromHex(fmtHex).toHex());
    QCOMPARE(u32At(bytes, 40), 38400u);
}

void WavWriterTest::oddByteCountHasNoPad()
{
    Source src(pattern(2059), ChannelInfo{8000, 1, kInfoSample8Bits, 8, 1});
    const QString dest = file("odd.wav");
    QCOMPARE(writeOrError(src, dest), QString());
    const QByteArray bytes = readFile(dest);
    QCOMPARE(bytes.size(), 44 + 2059);
    QCOMPARE(u32At(bytes, 4), uint32_t(44 + 2059 - 8));
    QCOMPARE(u32At(bytes, 40), 2059u);
}

void WavWriterTest::stoppedStreamGivesBareHeader()
{
    Source src({});
    QStringList texts;
    const QString dest = file("empty.wav");
    QCOMPARE(writeOrError(src, dest, {[&](const QString &t) { texts << t; }, {}}), QString());
    const QByteArray bytes = readFile(dest);
    QCOMPARE(bytes.size(), 44);
    QCOMPARE(u32At(bytes, 4), 36u);
    QCOMPARE(u32At(bytes, 40), 0u);
    QVERIFY(texts.isEmpty());
}

void WavWriterTest::progressText_data()
{
    QTest::addColumn<qint64>("position");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<QString>("text");
    QTest::newRow("1999 of 2000") << qint64(1999) << qint64(2000) << "Decoding ... 99%";
    QTest::newRow("5000 of 20000") << qint64(5000) << qint64(20000) << "Decoding ... 25%";
    QTest::newRow("at the end") << qint64(20000) << qint64(20000) << "Decoding ... 100%";
    QTest::newRow("start") << qint64(0) << qint64(20000) << "Decoding ... 0%";
    QTest::newRow("huge") << qint64(0x7FFFFFFFFFFFFFFELL) << qint64(0x7FFFFFFFFFFFFFFFLL)
                          << "Decoding ... 99%";
    QTest::newRow("no length") << qint64(0) << qint64(0) << "Decoding ... 0%";
    QTest::newRow("length error") << qint64(5000) << qint64(-1) << "Decoding ... 0%";
    QTest::newRow("past the end") << qint64(30000) << qint64(20000) << "Decoding ... 100%";
}

void WavWriterTest::progressText()
{
    QFETCH(qint64, position);
    QFETCH(qint64, length);
    QTEST(decodingProgressText(position, length), "text");
}

void WavWriterTest::progressShownAfterEveryBlock()
{
    Source src(pattern(25000));
    src.stream().length = 40000; // the share comes from the reported length
    QStringList events;
    WavProgress progress{[&](const QString &t) { events << t; }, [&] { events << "pump"; }};
    QCOMPARE(writeOrError(src, file("blocks.wav"), progress), QString());
    QCOMPARE(events, QStringList({"pump", "Decoding ... 25%", "pump", "pump", "Decoding ... 50%",
                                  "pump", "pump", "Decoding ... 62%", "pump"}));
    QCOMPARE(readFile(file("blocks.wav")).size(), 25044);
}

void WavWriterTest::existingFileIsRewritten()
{
    const QString dest = file("old.wav");
    {
        QFile f(dest);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(50000, 'x'));
    }
    Source src(pattern(100));
    QCOMPARE(writeOrError(src, dest), QString());
    const QByteArray bytes = readFile(dest);
    QCOMPARE(bytes.size(), 144);
    QCOMPARE(u32At(bytes, 40), 100u);
}

void WavWriterTest::missingFolder()
{
    // A relative destination is named by its absolute path.
    const QString saved = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir_.path()));
    Source src(pattern(100));
    const FdCount fds;
    const QString error = writeOrError(src, "missing/out.wav");
    QDir::setCurrent(saved);
    QCOMPARE(error, QStringLiteral("Cannot create file \"%1\". No such file or directory")
                        .arg(file("missing/out.wav")));
    QVERIFY(!QFileInfo::exists(file("missing")));
    QCOMPARE(fds.now(), fds.before);
}

void WavWriterTest::readOnlyFolder()
{
    const QString folder = file("locked");
    QVERIFY(QDir().mkdir(folder));
    ReadOnlyFolder locked(dir_.path(), folder);
    Source src(pattern(100));
    const QString error = writeOrError(src, folder + "/out.wav");
    QCOMPARE(error,
             QStringLiteral("Cannot create file \"%1/out.wav\". Permission denied").arg(folder));
    QVERIFY(!QFileInfo::exists(folder + "/out.wav"));
}

void WavWriterTest::fullDisk()
{
    if (!QFileInfo::exists("/dev/full"))
        QSKIP("this system has no /dev/full");
    Source src(pattern(30000));
    const FdCount fds;
    QCOMPARE(writeOrError(src, "/dev/full"),
             QStringLiteral("Cannot write file \"/dev/full\". No space left on device"));
    QCOMPARE(fds.now(), fds.before);
    // Only a file the writer made is removed, never a device.
    struct stat st;
    QCOMPARE(::stat("/dev/full", &st), 0);
    QVERIFY(S_ISCHR(st.st_mode));
}

void WavWriterTest::shortWriteRemovesFile()
{
    // A file-size limit makes the write that crosses it come back short, as
    // a filling disk does, and the next one fail.
    struct rlimit saved;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 15000;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    Source src(pattern(50000));
    const FdCount fds;
    const QString dest = file("short.wav");
    const QString error = writeOrError(src, dest);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedHandler);
    QCOMPARE(error, QStringLiteral("Cannot write file \"%1\". File too large").arg(dest));
    QVERIFY(!QFileInfo::exists(dest));
    QCOMPARE(fds.now(), fds.before);
}

void WavWriterTest::failingSourceRemovesFile()
{
    Source src(pattern(50000));
    src.stream().failAfter = 25000;
    QStringList texts;
    const FdCount fds;
    const QString dest = file("damaged.wav");
    QCOMPARE(writeOrError(src, dest, {[&](const QString &t) { texts << t; }, {}}),
             QStringLiteral("Cannot decode file \"/music/source.ape\"."));
    QVERIFY(!QFileInfo::exists(dest));
    QCOMPARE(fds.now(), fds.before);
    QCOMPARE(texts.size(), 3); // 10000, 20000, then 5000 more before the failure
}

void WavWriterTest::unopenedStreamCreatesNothing()
{
    Source src(pattern(100));
    const QString dest = file("none.wav");
    try {
        writeWavFile(src.engine, 0, src.path, dest);
        QFAIL("a stream that does not exist was written");
    } catch (const ExportError &e) {
        QCOMPARE(e.message(), QStringLiteral("Cannot decode file \"/music/source.ape\"."));
        QCOMPARE(QString::fromUtf8(e.what()), e.message());
    }
    QVERIFY(!QFileInfo::exists(dest));
}

void WavWriterTest::tooLongRefusedBeforeCreating()
{
    const QString dest = file("keep.wav");
    {
        QFile f(dest);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("precious");
    }
    Source src(pattern(100));
    src.stream().length = int64_t(5) << 30;
    QCOMPARE(
        writeOrError(src, dest),
        QStringLiteral("The file \"/music/source.ape\" is too long to be written as a WAV file."));
    QCOMPARE(readFile(dest), QByteArray("precious"));

    // The largest length that still fits is accepted.
    Source fits(pattern(100));
    fits.stream().length = int64_t(kWavMaxDataBytes);
    QCOMPARE(writeOrError(fits, dest), QString());
}

void WavWriterTest::tooLongDetectedWhileWriting()
{
    Source src(pattern(30000));
    src.stream().length = 100; // understated: only the bytes delivered can tell
    const QString dest = file("long.wav");
    QCOMPARE(
        writeOrError(src, dest, {}, 25000),
        QStringLiteral("The file \"/music/source.ape\" is too long to be written as a WAV file."));
    QVERIFY(!QFileInfo::exists(dest));
}

void WavWriterTest::failureInCallbackRemovesFile()
{
    Source src(pattern(30000));
    const FdCount fds;
    const QString dest = file("callback.wav");
    WavProgress progress{{}, [] { throw ExportError("interrupted"); }};
    QCOMPARE(writeOrError(src, dest, progress), QStringLiteral("interrupted"));
    QVERIFY(!QFileInfo::exists(dest));
    QCOMPARE(fds.now(), fds.before);
}

void WavWriterTest::systemTextTrimmed()
{
    QCOMPARE(systemErrorText(ENOENT), QStringLiteral("No such file or directory"));
    QCOMPARE(trimSystemText("Access is denied.\r\n"), QStringLiteral("Access is denied"));
    QCOMPARE(trimSystemText("Disk full. . \t"), QStringLiteral("Disk full"));
    QCOMPARE(trimSystemText("v1.2 failed"), QStringLiteral("v1.2 failed"));
    QCOMPARE(trimSystemText("..."), QString());
}

QTEST_GUILESS_MAIN(WavWriterTest)
#include "tst_wavwriter.moc"

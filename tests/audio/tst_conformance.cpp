// Every fixture of the manifest decodes through a decode-only stream to the
// manifest's exact PCM, with the right length and format.
#include "Manifest.h"
#include "TestToolkit.h"
#include "audio/Engine.h"
#include "audio/FfmpegDecoder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QTest>

using namespace audio;

namespace {

// Files FFmpeg 5.1 is known to decode wrongly are skipped only while FFmpeg
// is the decoder that opens them.
bool decodedByFfmpeg(const QString &path)
{
    std::string error;
    auto d = openDecoder(std::filesystem::path(path.toStdU16String()), &error);
    return dynamic_cast<FfmpegDecoder *>(d.get()) != nullptr;
}

} // namespace

class ApeConformance : public QObject
{
    Q_OBJECT

    EngineSession engine;
    Manifest manifest;
    QString dir;

private slots:
    void initTestCase()
    {
        dir = apeFixtureDir();
        manifest = Manifest::load(dir + "/manifest.tsv");
        QVERIFY2(!manifest.rows.isEmpty(), qPrintable("no fixtures in " + dir));
        for (const char *column :
             {"file", "channels", "bits", "rate", "frames", "pcm_bytes", "pcm_md5"})
            QVERIFY2(manifest.hasColumn(column), column);
        QVERIFY(engine.initialised());
    }

    bool hasMarkedRows() const
    {
        for (const auto &row : manifest.rows)
            if (row.value("ffmpeg51") == "differs")
                return true;
        return false;
    }

    void decode_data()
    {
        QTest::addColumn<int>("row");
        // SORVANO_CONFORMANCE_MARKED_ONLY runs the rows marked as differing
        // under FFmpeg by themselves, so CTest can show their skip.
        const bool markedOnly = qEnvironmentVariableIsSet("SORVANO_CONFORMANCE_MARKED_ONLY");
        for (int i = 0; i < manifest.rows.size(); ++i) {
            const bool marked = manifest.rows[i].value("ffmpeg51") == "differs";
            if (!markedOnly || marked)
                QTest::newRow(qPrintable(manifest.rows[i]["file"])) << i;
        }
        if (markedOnly && !hasMarkedRows())
            QSKIP("no file of this folder is marked as differing under FFmpeg");
    }

    void decode()
    {
        QFETCH(int, row);
        const auto &m = manifest.rows[row];
        const QString path = QDir(dir).filePath(m["file"]);
        if (m.value("ffmpeg51") == "differs" && decodedByFfmpeg(path))
            QSKIP(qPrintable("FFmpeg 5.1 is known to decode " + m["file"] +
                             " wrongly (manifest: ffmpeg51 = differs)"));

        const StreamHandle h = openStream(*engine, path, kFlagDecodeOnly);
        QVERIFY2(h != 0, qPrintable("cannot open " + path));

        const qint64 pcmBytes = m["pcm_bytes"].toLongLong();
        QCOMPARE(engine->ChannelGetLength(h, kPosByte), pcmBytes);

        ChannelInfo info;
        QVERIFY(engine->ChannelGetInfo(h, &info));
        QCOMPARE(info.freq, m["rate"].toUInt());
        QCOMPARE(info.chans, m["channels"].toUInt());
        QCOMPARE(info.origres, m["bits"].toUInt());
        QCOMPARE(info.bytesPerSample, m["bits"].toUInt() / 8);
        QCOMPARE(info.flags & kInfoSample8Bits, m["bits"] == "8" ? kInfoSample8Bits : 0u);
        float rate = 0;
        QVERIFY(engine->ChannelGetAttribute(h, kAttribFreq, &rate));
        QCOMPARE(rate, m["rate"].toFloat());

        // Read the way the WAV writer does: 10000-byte blocks while active.
        QCryptographicHash md5(QCryptographicHash::Md5);
        QByteArray block(10000, 0);
        qint64 total = 0;
        for (qint64 pass = 0; engine->ChannelIsActive(h) != kActiveStopped; ++pass) {
            QVERIFY2(pass <= pcmBytes / 10000 + 2, "the stream does not end");
            const uint32_t n = engine->ChannelGetData(h, block.data(), 10000);
            QVERIFY2(n != kDataError, qPrintable(QString("error after %1 bytes").arg(total)));
            md5.addData(QByteArrayView(block.constData(), n));
            total += n;
            QCOMPARE(engine->ChannelGetPosition(h, kPosByte), total);
        }
        QCOMPARE(total, pcmBytes);
        QCOMPARE(QString(md5.result().toHex()), m["pcm_md5"]);
        QVERIFY(engine->StreamFree(h));
    }
};

QTEST_GUILESS_MAIN(ApeConformance)
#include "tst_conformance.moc"

// Damaged and foreign files: refused, or read to an end (data or error) that
// never goes past the header's length, quickly and without memory faults.
// Also built with AddressSanitizer and UndefinedBehaviorSanitizer.
#include "Manifest.h"
#include "TestToolkit.h"
#include "audio/Engine.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTest>
#include <thread>

using namespace audio;

namespace {

// Generous: a hang, not speed, is what this catches (sanitized builds are slow).
constexpr qint64 kHangMs = 20000;

} // namespace

class ApeCorrupt : public QObject
{
    Q_OBJECT

    EngineSession engine;
    Manifest manifest;

private slots:
    void initTestCase()
    {
        manifest = Manifest::load(apeCorruptDir() + "/manifest.tsv");
        QVERIFY(!manifest.rows.isEmpty());
        QVERIFY(engine.initialised());
    }

    void file_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("expect");
        for (const auto &row : manifest.rows)
            QTest::newRow(qPrintable(row["file"])) << row["file"] << row["expect"];
    }

    void file()
    {
        QFETCH(QString, file);
        QFETCH(QString, expect);
        const QString path = QDir(apeCorruptDir()).filePath(file);
        QVERIFY(QFile::exists(path));
        if (expect == "fail") {
            QCOMPARE(openStream(*engine, path, kFlagDecodeOnly), 0u);
            QCOMPARE(openStream(*engine, path), 0u);
            return;
        }
        QCOMPARE(expect, QString("either"));

        const StreamHandle h = openStream(*engine, path, kFlagDecodeOnly);
        if (h == 0)
            return;
        const int64_t length = engine->ChannelGetLength(h, kPosByte);
        QVERIFY(length >= 0);
        QElapsedTimer clock;
        clock.start();
        QByteArray block(10000, 0);
        int64_t total = 0;
        bool failed = false;
        while (engine->ChannelIsActive(h) != kActiveStopped) {
            QVERIFY2(clock.elapsed() < kHangMs, "reading does not end");
            const uint32_t n = engine->ChannelGetData(h, block.data(), 10000);
            if (n == kDataError) {
                failed = true;
                // An error ends the stream, so a reader's loop stops.
                QCOMPARE(engine->ChannelIsActive(h), kActiveStopped);
                break;
            }
            QVERIFY(n <= 10000);
            total += n;
            QVERIFY2(total <= length, "more data than the header's length");
        }
        QCOMPARE(engine->ChannelGetPosition(h, kPosByte), total);
        qInfo("%s: opened, %lld of %lld bytes, then %s", qPrintable(file),
              static_cast<long long>(total), static_cast<long long>(length),
              failed ? "an error" : "the end");
        if (failed)
            QCOMPARE(engine->ChannelGetData(h, block.data(), 10000), kDataError);
        else
            QCOMPARE(total, length);

        // Seeking into the damage and reading on must not go wrong either.
        if (engine->ChannelSetPosition(h, length / 2, kPosByte)) {
            for (int i = 0; i < 8 && engine->ChannelIsActive(h) != kActiveStopped; ++i)
                if (engine->ChannelGetData(h, block.data(), 10000) == kDataError)
                    break;
            QVERIFY(engine->ChannelGetPosition(h, kPosByte) <= length);
        }
        QVERIFY(engine->StreamFree(h));

        // Playback decodes the same data on its worker.
        const StreamHandle p = openStream(*engine, path);
        QVERIFY(p != 0);
        QCOMPARE(engine->ChannelGetLength(p, kPosByte), length);
        if (engine->ChannelPlay(p, true)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            engine->ChannelSetPosition(p, length / 4 * 3, kPosByte);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            const int64_t pos = engine->ChannelGetPosition(p, kPosByte);
            QVERIFY(pos >= 0 && pos <= length);
            QVERIFY(engine->ChannelStop(p));
        }
        QVERIFY(engine->StreamFree(p));
    }
};

QTEST_GUILESS_MAIN(ApeCorrupt)
#include "tst_corrupt.moc"

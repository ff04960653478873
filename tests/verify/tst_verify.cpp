// Verify on real files: every fixture intact; damage made here from a
// fixture (a bit in a frame, in the stored MD5, in the seek table; a cut)
// found at the right frame; the damaged set never passes.
#include "Manifest.h"
#include "TestToolkit.h"
#include "audio/Verify.h"
#include "audio/ape/ApeFormat.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace audio;
using Status = VerifyResult::Status;

namespace {

std::filesystem::path fsPath(const QString &path)
{
    return std::filesystem::path(path.toStdString());
}

uint32_t le32(const QByteArray &b, int at)
{
    const auto *p = reinterpret_cast<const uint8_t *>(b.constData() + at);
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// 30 s at 44.1 kHz in 18 frames of 73728 blocks, no leading tag.
const char *const kManyFrames = "s16-stereo-44k-long-c2000.ape";
constexpr int kBlocksPerFrame = 73728;
constexpr int kRate = 44100;

// Where frame `frame` begins in the file, from the seek table.
int frameOffset(const QByteArray &file, int frame)
{
    const int seekTable = int(le32(file, 8) + le32(file, 12));
    return int(le32(file, seekTable + 4 * frame));
}

} // namespace

class VerifyTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QByteArray many;

    VerifyResult verifyBytes(const QByteArray &bytes, const char *name = "variant.ape")
    {
        const QString path = dir.filePath(name);
        if (!writeFile(path, bytes))
            qFatal("cannot write %s", qPrintable(path));
        return verifyFile(fsPath(path));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        many = readFile(fixturePath(kManyFrames));
        QVERIFY(!many.isEmpty());
    }

    void everyFixtureIntact()
    {
        const Manifest manifest = Manifest::load(apeFixtureDir() + "/manifest.tsv");
        QVERIFY(!manifest.rows.isEmpty());
        for (const auto &row : manifest.rows) {
            const VerifyResult r = verifyFile(fsPath(fixturePath(row["file"])));
            QVERIFY2(r.status == Status::Intact,
                     qPrintable(row["file"] + ": " + QString::fromStdString(r.reason)));
            QVERIFY2(r.md5Stored && r.md5Matches, qPrintable(row["file"]));
            QVERIFY(r.frames >= 1);
            QCOMPARE(r.failedFrames, int64_t(0));
        }
    }

    void damageFound_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("firstFrame"); // -1: no frame fails
        QTest::addColumn<int>("failed");
        QTest::addColumn<bool>("md5Matches");

        const int frame5 = frameOffset(many, 5);
        const int frame6 = frameOffset(many, 6);
        QByteArray inFrame = many;
        inFrame[(frame5 + frame6) / 2] = char(inFrame[(frame5 + frame6) / 2] ^ 0x10);
        QTest::newRow("a bit in frame 5's data") << inFrame << 5 << 1 << false;

        QByteArray inMd5 = many;
        inMd5[36 + 7] = char(inMd5[36 + 7] ^ 0x01);
        QTest::newRow("a bit in the stored MD5") << inMd5 << -1 << 0 << false;

        // Frame 7 then begins four bytes late, frame 6 ends four bytes late.
        const int seekTable = int(le32(many, 8) + le32(many, 12));
        QByteArray inSeekTable = many;
        inSeekTable[seekTable + 4 * 7] = char(inSeekTable[seekTable + 4 * 7] ^ 0x04);
        QTest::newRow("a bit in frame 7's seek entry") << inSeekTable << 7 << 1 << false;

        // Frame 10 and every one after it are cut off.
        const int cutAt = (frameOffset(many, 10) + frameOffset(many, 11)) / 2;
        QTest::newRow("cut inside frame 10") << many.left(cutAt) << 10 << 8 << false;
    }

    void damageFound()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, firstFrame);
        QFETCH(int, failed);
        QFETCH(bool, md5Matches);
        const VerifyResult r = verifyBytes(bytes);
        QCOMPARE(r.status, Status::Damaged);
        QCOMPARE(r.frames, int64_t(18));
        QCOMPARE(r.failedFrames, int64_t(failed));
        QCOMPARE(r.firstFailedFrame, int64_t(firstFrame));
        if (firstFrame >= 0)
            QCOMPARE(r.firstFailedSeconds, double(firstFrame) * kBlocksPerFrame / kRate);
        QVERIFY(r.md5Stored);
        QCOMPARE(r.md5Matches, md5Matches);
    }

    // The tag lies outside the MD5: retagging leaves a file intact.
    void changedTagKeepsFileIntact()
    {
        QByteArray tagged = readFile(fixturePath("s16-stereo-44k-tagged-c2000.ape"));
        QVERIFY(tagged.endsWith(QByteArray("\0\0\0\0\0\0\0\0", 8)));
        const int field = int(tagged.lastIndexOf("APETAGEX")) - 3;
        QVERIFY(field > 0);
        tagged[field] = char(tagged[field] ^ 0x20);
        QCOMPARE(verifyBytes(tagged).status, Status::Intact);
    }

    // An older version goes to FFmpeg. 3.98 stores an MD5 over bytes the
    // version field is not among; 3.95 stores none.
    void olderVersions()
    {
        QByteArray v3980 = many;
        v3980[4] = char(3980 & 0xff);
        v3980[5] = char(3980 >> 8);
        const VerifyResult r = verifyBytes(v3980);
        QVERIFY(r.md5Stored);
        QVERIFY(r.md5Matches);
        // FFmpeg reads this file's frames with the older coder: they fail.
        QCOMPARE(r.status, Status::Damaged);
        QVERIFY(r.failedFrames > 0);

        QByteArray v3950 = many;
        v3950[4] = char(3950 & 0xff);
        v3950[5] = char(3950 >> 8);
        const VerifyResult old = verifyBytes(v3950);
        QVERIFY(!old.md5Stored);
        QVERIFY(old.status != Status::Intact);
    }

    void damagedSetNeverPasses()
    {
        const Manifest corrupt = Manifest::load(apeCorruptDir() + "/manifest.tsv");
        QVERIFY(!corrupt.rows.isEmpty());
        // Two of its header changes write the value the field already had.
        const QByteArray source = readFile(fixturePath("s16-stereo-44k-c2000.ape"));
        for (const auto &row : corrupt.rows) {
            const QString path = QDir(apeCorruptDir()).filePath(row["file"]);
            if (readFile(path) == source)
                continue;
            const VerifyResult r = verifyFile(fsPath(path));
            QVERIFY2(r.status != Status::Intact, qPrintable(row["file"]));
            if (row["expect"] == "fail")
                QVERIFY2(r.status == Status::Unreadable && !r.reason.empty(),
                         qPrintable(row["file"]));
        }
    }

    void unreadableFiles()
    {
        VerifyResult r = verifyFile(fsPath(dir.filePath("missing.ape")));
        QCOMPARE(r.status, Status::Unreadable);
        QVERIFY(!r.reason.empty());
        r = verifyFile(fsPath(dir.path()));
        QCOMPARE(r.status, Status::Unreadable);
        r = verifyBytes("This is plain text, no APE file at all.", "text.ape");
        QCOMPARE(r.status, Status::Unreadable);
        QCOMPARE(QString::fromStdString(r.reason), QStringLiteral("not an APE file"));
    }

    void progressAndCancel()
    {
        std::vector<int> seen;
        VerifyOptions options;
        options.progress = [&](int percent) {
            seen.push_back(percent);
            return true;
        };
        QCOMPARE(verifyFile(fsPath(fixturePath(kManyFrames)), options).status, Status::Intact);
        QVERIFY(seen.size() >= 3);
        QCOMPARE(seen.front(), 0);
        QCOMPARE(seen.back(), 100);
        QVERIFY(std::is_sorted(seen.begin(), seen.end()));

        int calls = 0;
        options.progress = [&](int) { return ++calls < 3; };
        QCOMPARE(verifyFile(fsPath(fixturePath(kManyFrames)), options).status, Status::Cancelled);
        QCOMPARE(calls, 3);
    }
};

QTEST_GUILESS_MAIN(VerifyTest)
#include "tst_verify.moc"

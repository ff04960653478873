#include "Manifest.h"
#include "logic/ApeTagReader.h"
#include "logic/CueSheet.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QtTest>

using namespace cue;

namespace {

const QString kCueData = QStringLiteral(SORVANO_TEST_DATA "/cue");

// Every image a minute of 44.1 kHz audio, whatever its bytes.
const ImageProbe kMinuteProbe = [](const QString &) {
    return std::optional<ImageFormat>(ImageFormat{44100, 60 * 44100});
};

bool touch(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly);
}

QByteArray utf16(const QString &text, bool little)
{
    QByteArray out(little ? "\xFF\xFE" : "\xFE\xFF", 2);
    for (const QChar c : text) {
        const char hi = char(c.unicode() >> 8), lo = char(c.unicode() & 0xFF);
        out.append(little ? lo : hi).append(little ? hi : lo);
    }
    return out;
}

} // namespace

class CueSheetTest : public QObject
{
    Q_OBJECT
private slots:
    void fixtureSheetsGiveTheManifestRows();
    void syntaxVariants_data();
    void syntaxVariants();
    void legacyCodePages();
    void badSheets_data();
    void badSheets();
};

// The manifest is the expected data: one row per track, in sheet order.
void CueSheetTest::fixtureSheetsGiveTheManifestRows()
{
    const Manifest manifest = Manifest::load(kCueData + QStringLiteral("/manifest.tsv"));
    QVERIFY(!manifest.rows.isEmpty());
    QMap<QString, AlbumLoad> loads;
    QMap<QString, int> used;
    for (const auto &row : manifest.rows) {
        const QString sheet = row["sheet"];
        if (!loads.contains(sheet)) {
            const QString path = kCueData + u'/' + sheet;
            if (sheet.endsWith(QStringLiteral(".cue"))) {
                loads[sheet] = loadSheetFile(path, probeImage);
            } else {
                const std::optional<QString> text = readEmbeddedCueSheet(path);
                QVERIFY2(text, qPrintable(sheet));
                loads[sheet] = loadEmbeddedSheet(path, *text, probeImage);
            }
            QVERIFY2(!loads[sheet].refused && !loads[sheet].cutShort,
                     qPrintable(sheet + QStringLiteral(": ") + loads[sheet].why));
        }
        const AlbumLoad &load = loads[sheet];
        const int i = used[sheet]++;
        QVERIFY2(i < load.tracks.size(), qPrintable(sheet));
        const AlbumTrack &t = load.tracks[i];
        const QString where = QStringLiteral("%1 row %2").arg(sheet).arg(i);
        QCOMPARE(QFileInfo(t.imagePath).fileName(), row["file"]);
        QCOMPARE(QFileInfo(t.imagePath).absolutePath(), QFileInfo(kCueData).absoluteFilePath());
        QVERIFY2(t.number == row["track"].toInt(), qPrintable(where));
        QCOMPARE(t.title, row["title"]);
        QCOMPARE(t.performer, row["performer"]);
        QVERIFY2(t.firstFrame == row["start_sample"].toLongLong(), qPrintable(where));
        QVERIFY2(t.endFrame == row["end_sample"].toLongLong(), qPrintable(where));
        QVERIFY2(t.endFrame - t.firstFrame == row["frames"].toLongLong(), qPrintable(where));
        QVERIFY2(t.rate == row["rate"].toInt(), qPrintable(where));
    }
    for (auto it = loads.cbegin(); it != loads.cend(); ++it)
        QVERIFY2(it->tracks.size() == used[it.key()], qPrintable(it.key()));
}

void CueSheetTest::syntaxVariants_data()
{
    QTest::addColumn<QByteArray>("sheet");
    QTest::addColumn<QString>("image"); // where the image lies, from the sheet's folder
    QTest::addColumn<qint64>("trackTwoEnd");

    const QString plain = QStringLiteral("PERFORMER \"Disc Artist\"\nTITLE \"Disc\"\n"
                                         "FILE \"img.wav\" WAVE\n"
                                         "  TRACK 01 AUDIO\n    TITLE \"One\"\n"
                                         "    INDEX 01 00:00:00\n"
                                         "  TRACK 02 AUDIO\n    TITLE \"Two\"\n"
                                         "    INDEX 01 00:02:30\n");
    const qint64 end = 60 * 44100;
    QString crlf = plain;
    crlf.replace(u'\n', QStringLiteral("\r\n"));
    QString cr = plain;
    cr.replace(u'\n', u'\r');

    QTest::newRow("plain, .wav name finds the .ape") << plain.toUtf8() << "img.ape" << end;
    QTest::newRow("lower-case keywords") << plain.toLower()
                                                .replace("\"one\"", "\"One\"")
                                                .replace("\"two\"", "\"Two\"")
                                                .replace("\"disc artist\"", "\"Disc Artist\"")
                                                .replace("\"disc\"", "\"Disc\"")
                                                .toUtf8()
                                         << "img.ape" << end;
    QTest::newRow("CR line ends") << cr.toUtf8() << "img.ape" << end;
    QTest::newRow("BOM and CRLF") << "\xEF\xBB\xBF" + crlf.toUtf8() << "img.ape" << end;
    QTest::newRow("UTF-16 LE") << utf16(crlf, true) << "img.ape" << end;
    QTest::newRow("UTF-16 BE") << utf16(plain, false) << "img.ape" << end;
    QTest::newRow("commands that change no sample")
        << QByteArray("REM GENRE Test\nCATALOG 0000000000000\nCDTEXTFILE \"x.cdt\"\n"
                      "PERFORMER \"Disc Artist\"\nTITLE \"Disc\"\nFILE \"img.wav\" WAVE\n"
                      "  TRACK 01 AUDIO\n    TITLE \"One\"\n    FLAGS DCP\n    ISRC XX0000000000\n"
                      "    SONGWRITER \"S\"\n    PREGAP 00:02:00\n    INDEX 01 00:00:00\n"
                      "    INDEX 02 00:01:00\n"
                      "  TRACK 02 AUDIO\n    TITLE \"Two\"\n    INDEX 00 00:02:00\n"
                      "    INDEX 01 00:02:30\n    POSTGAP 00:01:00\n    REM the end\n")
        << "img.ape" << end;
    QTest::newRow("unquoted values")
        << QByteArray("PERFORMER Disc Artist\nTITLE Disc\nFILE img.wav WAVE\n"
                      "TRACK 1 AUDIO\nTITLE One\nINDEX 1 0:00:00\n"
                      "TRACK 2 AUDIO\nTITLE   Two  \nINDEX 1 0:02:30\n")
        << "img.ape" << end;
    QTest::newRow("data track ends the track before")
        << plain.toUtf8() + "  TRACK 03 MODE1/2352\n    INDEX 01 00:04:00\n"
        << "img.ape" << qint64(4 * 44100);
    QTest::newRow("backslash folder, other letter case")
        << QString(plain).replace("\"img.wav\"", "\"sub\\IMG.APE\"").toUtf8() << "sub/img.ape"
        << end;
    QTest::newRow("drive path by base name")
        << QString(plain).replace("\"img.wav\"", "\"D:\\Rips\\Disc\\img.flac\"").toUtf8()
        << "img.ape" << end;
    QTest::newRow("absolute path by base name")
        << QString(plain).replace("\"img.wav\"", "\"/home/someone/img.ape\"").toUtf8() << "img.ape"
        << end;
}

// Each spelling gives the same two rows of one image.
void CueSheetTest::syntaxVariants()
{
    QFETCH(QByteArray, sheet);
    QFETCH(QString, image);
    QFETCH(qint64, trackTwoEnd);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    QVERIFY(touch(dir.filePath(image)));
    const QString sheetPath = dir.filePath(QStringLiteral("disc.cue"));
    QFile f(sheetPath);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(sheet) == sheet.size());
    f.close();

    const AlbumLoad load = loadSheetFile(sheetPath, kMinuteProbe);
    QVERIFY2(!load.refused && !load.cutShort, qPrintable(load.why));
    QCOMPARE(load.tracks.size(), 2);
    const AlbumTrack &one = load.tracks[0], &two = load.tracks[1];
    QCOMPARE(QDir(dir.path()).relativeFilePath(two.imagePath), image);
    QCOMPARE(one.number, 1);
    QCOMPARE(two.number, 2);
    QCOMPARE(one.title, QStringLiteral("One"));
    QCOMPARE(two.title, QStringLiteral("Two"));
    QCOMPARE(two.performer, QStringLiteral("Disc Artist"));
    QCOMPARE(two.album, QStringLiteral("Disc"));
    QCOMPARE(one.firstFrame, 0);
    QCOMPARE(one.endFrame, 2 * 44100 + 30 * 588);
    QCOMPARE(two.firstFrame, one.endFrame);
    QCOMPARE(two.endFrame, trackTwoEnd);
}

// The code pages the fixtures leave out, detected from a sheet's few titles.
void CueSheetTest::legacyCodePages()
{
    const QList<std::pair<const char *, QString>> cases = {
        {"GBK", QStringLiteral("春天的故事")},
        {"windows-1252", QStringLiteral("Jóga – „Café“")},
    };
    for (const auto &[encoding, title] : cases) {
        QStringEncoder encode(encoding);
        const QByteArray bytes = encode(QStringLiteral("TITLE \"%1\"\nFILE \"a.wav\" WAVE\n"
                                                       "TRACK 01 AUDIO\nTITLE \"%1\"\n"
                                                       "INDEX 01 00:00:00\n")
                                            .arg(title));
        QString why;
        const std::optional<Sheet> sheet = parseSheet(bytes, &why);
        QVERIFY2(sheet, qPrintable(why));
        QCOMPARE(sheet->title, title);
        QCOMPARE(sheet->files.first().tracks.first().title, title);
    }
}

void CueSheetTest::badSheets_data()
{
    QTest::addColumn<QByteArray>("sheet");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<int>("rows"); // kept when not refused

    const QByteArray head = "FILE \"img.ape\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n";
    QTest::newRow("no file found")
        << QByteArray("FILE \"gone.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n") << true
        << 0;
    QTest::newRow("no audio track")
        << QByteArray("FILE \"img.ape\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n")
        << true << 0;
    QTest::newRow("times go backwards")
        << head + "  TRACK 02 AUDIO\n    INDEX 01 00:10:00\n  TRACK 03 AUDIO\n"
                  "    INDEX 01 00:05:00\n"
        << true << 0;
    QTest::newRow("audio track without INDEX 01")
        << head + "  TRACK 02 AUDIO\n    INDEX 00 00:10:00\n"
        << true << 0;
    QTest::newRow("a time that is none") << head + "  TRACK 02 AUDIO\n    INDEX 01 00:10:75\n"
                                         << true << 0;
    QTest::newRow("start beyond the end keeps the tracks before")
        << head + "  TRACK 02 AUDIO\n    INDEX 01 00:30:00\n  TRACK 03 AUDIO\n"
                  "    INDEX 01 10:00:00\n  TRACK 04 AUDIO\n    INDEX 01 12:00:00\n"
        << false << 2;
    QTest::newRow("first track beyond the end")
        << QByteArray("FILE \"img.ape\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 10:00:01\n") << true
        << 0;
    QTest::newRow("empty") << QByteArray() << true << 0;
    QByteArray binary(4096, '\0');
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = char((i * 7919) >> 3);
    QTest::newRow("binary") << binary << true << 0;
    QTest::newRow("high bytes, no zero") << QByteArray(4096, '\xE3') << true << 0;
    QTest::newRow("1,000 files") << head.repeated(1000) << true << 0;
    QTest::newRow("10 MB") << head.repeated(10 * 1024 * 1024 / head.size() + 1) << true << 0;
    QByteArray many = "FILE \"img.ape\" WAVE\n";
    for (int i = 0; i < 10000; ++i)
        many += QStringLiteral("TRACK %1 AUDIO\nINDEX 01 %2:%3:%4\n")
                    .arg(i + 1)
                    .arg(i / 75 / 60, 2, 10, QLatin1Char('0'))
                    .arg(i / 75 % 60, 2, 10, QLatin1Char('0'))
                    .arg(i % 75, 2, 10, QLatin1Char('0'))
                    .toLatin1();
    QTest::newRow("10,000 tracks") << many << false << 10000;
}

// Refused sheets add nothing and say why; a sheet cut short keeps what lies
// before the fault and says why too.
void CueSheetTest::badSheets()
{
    QFETCH(QByteArray, sheet);
    QFETCH(bool, refused);
    QFETCH(int, rows);
    QTemporaryDir dir;
    QVERIFY(touch(dir.filePath(QStringLiteral("img.ape"))));
    const QString sheetPath = dir.filePath(QStringLiteral("bad.cue"));
    QFile f(sheetPath);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(sheet) == sheet.size());
    f.close();

    // A ten-minute image, so that 10,000 tracks fit.
    const AlbumLoad load = loadSheetFile(sheetPath, [](const QString &) {
        return std::optional<ImageFormat>(ImageFormat{44100, 600 * 44100});
    });
    QVERIFY2(load.refused == refused, qPrintable(load.why));
    QCOMPARE(load.tracks.size(), rows);
    if (refused || rows < 10000)
        QVERIFY(!load.why.isEmpty());
    if (!refused && rows == 2) {
        QVERIFY(load.cutShort);
        QCOMPARE(load.tracks.last().endFrame, 600 * 44100);
    }
}

QTEST_GUILESS_MAIN(CueSheetTest)
#include "tst_cuesheet.moc"

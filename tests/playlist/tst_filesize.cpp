#include "logic/FileSize.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class FileSizeTest : public QObject
{
    Q_OBJECT
private slots:
    void formats_data();
    void formats();
    void usesGivenSeparator();
    void sizeOfFiles();
};

void FileSizeTest::formats_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("text");
    const qint64 KiB = 1024, MiB = KiB * 1024, GiB = MiB * 1024;
    QTest::newRow("1024") << KiB << "1024 bytes";
    QTest::newRow("1025") << KiB + 1 << "1 KB";
    QTest::newRow("1152") << qint64(1152) << "1.13 KB"; // 1.125: half rounds up
    QTest::newRow("1536") << qint64(1536) << "1.5 KB";
    QTest::newRow("1 MiB") << MiB << "1024 KB";
    QTest::newRow("1 MiB + 1") << MiB + 1 << "1 MB";
    QTest::newRow("1 GiB") << GiB << "1024 MB";
    QTest::newRow("1 GiB + 1") << GiB + 1 << "1 GB";
    QTest::newRow("3 GiB") << 3 * GiB << "3 GB";
    QTest::newRow("5 GiB") << 5 * GiB << "5 GB";
    QTest::newRow("-1") << qint64(-1) << "-1 bytes";
    QTest::newRow("zero has no digits") << qint64(0) << " bytes";
    QTest::newRow("one") << qint64(1) << "1 bytes";
    QTest::newRow("rounds up to next integer") << KiB * 2 - 1 << "2 KB"; // 1.999
    QTest::newRow("1.005 rounds up") << qint64(1029) << "1 KB";          // 1.0048828125
    QTest::newRow("1.006") << qint64(1030) << "1.01 KB";                 // 1.005859375
    QTest::newRow("fraction below 0.005 dropped") << GiB + 4 * MiB << "1 GB";
    QTest::newRow("huge") << std::numeric_limits<qint64>::max() << "8589934592 GB";
    QTest::newRow("most negative") << std::numeric_limits<qint64>::min()
                                   << "-9223372036854775810 bytes"; // 18 significant digits
}

void FileSizeTest::formats()
{
    QFETCH(qint64, size);
    QFETCH(QString, text);
    QCOMPARE(FormatFileSize(size, QLatin1Char('.')), text);
}

void FileSizeTest::usesGivenSeparator()
{
    QCOMPARE(FormatFileSize(1152, QLatin1Char(',')), QStringLiteral("1,13 KB"));
    QCOMPARE(FormatFileSize(2048, QLatin1Char(',')), QStringLiteral("2 KB"));
}

void FileSizeTest::sizeOfFiles()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("größe ♪.ape"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(3000, 'x'));
    f.close();
    QCOMPARE(FileSizeOf(path), qint64(3000));
    QCOMPARE(FileSizeOf(dir.filePath("missing.ape")), qint64(-1));
    QCOMPARE(FileSizeOf(QString()), qint64(-1));
}

QTEST_GUILESS_MAIN(FileSizeTest)
#include "tst_filesize.moc"

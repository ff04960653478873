// Names that are not UTF-8: the text shown for them, and finding the file a
// dialog's lossy text stands for among the real entries of its folder.
#include "logic/FileNames.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class FileNamesTest : public QObject
{
    Q_OBJECT

private slots:
    void shownTextAndUri();
    void dialogTextFindsTheRealEntry();
    void absolutePaths();
};

namespace {

// "Привет" in Windows' Cyrillic code page.
const QByteArray kCp1251("\xcf\xf0\xe8\xe2\xe5\xf2");

bool touch(const QByteArray &path)
{
    return ::close(::open(path.constData(), O_CREAT | O_WRONLY, 0644)) == 0;
}

} // namespace

void FileNamesTest::shownTextAndUri()
{
    QVERIFY(!isUtf8(kCp1251));
    QVERIFY(isUtf8(QByteArray("\xd0\x9f.ape")));
    QCOMPARE(displayPath("/a/" + kCp1251), QStringLiteral("/a/") + QString(6, QChar(0xFFFD)));
    QCOMPARE(fileUri("/a/" + kCp1251 + " b"), QStringLiteral("file:///a/%CF%F0%E8%E2%E5%F2%20b"));
    QCOMPARE(fileUri("/a/b c.ape"), QStringLiteral("file:///a/b%20c.ape"));
    QCOMPARE(localPathOfUri(QStringLiteral("file:///a/%CF%F0%E8%E2%E5%F2%20b")),
             std::optional<QByteArray>("/a/" + kCp1251 + " b"));
    QCOMPARE(localPathOfUri(QStringLiteral("https://example.org/a.ape")), std::nullopt);
}

void FileNamesTest::dialogTextFindsTheRealEntry()
{
    QTemporaryDir dir;
    const QByteArray folder = QFile::encodeName(dir.path()) + '/' + kCp1251;
    QVERIFY(::mkdir(folder.constData(), 0755) == 0);
    const QByteArray file = folder + '/' + kCp1251 + ".ape";
    QVERIFY(touch(file));
    // Both the folder and the file are found from their shown text.
    ResolvedPath found = resolveShownPath(displayPath(file));
    QCOMPARE(found.path, file);
    QVERIFY(!found.ambiguous);
    // A name that shows the same as another cannot be told apart.
    QVERIFY(touch(folder + "/\xcf\xf0\xe8\xe2\xe5\xf3.ape"));
    found = resolveShownPath(displayPath(file));
    QVERIFY(found.ambiguous);
    QCOMPARE(found.shown, displayPath(file));
    // Text that stands for no file stays its UTF-8; valid names are as typed.
    QCOMPARE(resolveShownPath(displayPath(folder) + QStringLiteral("/new\uFFFD.wav")).path,
             folder + "/new\xef\xbf\xbd.wav");
    QCOMPARE(resolveShownPath(QStringLiteral("/a/\u00e4.ape")).path, QByteArray("/a/\xc3\xa4.ape"));
}

void FileNamesTest::absolutePaths()
{
    QCOMPARE(absolutePath("x/./y/../" + kCp1251, "/home//u"), "/home/u/x/" + kCp1251);
    QCOMPARE(absolutePath("/a/b", "/ignored"), QByteArray("/a/b"));
    QCOMPARE(absolutePath("../..", "/a"), QByteArray("/"));
}

QTEST_GUILESS_MAIN(FileNamesTest)
#include "tst_filenames.moc"

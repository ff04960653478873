// Faults from outside the program, through the real window on the real engine
// (SDL's dummy driver): a row's file changed after it was added, destinations
// that fail during a decode, hostile file names.
#include "Manifest.h"
#include "RealWindow.h"
#include "TestToolkit.h"
#include "audio/FfmpegDecoder.h"
#include "logic/DecodeLayout.h"

#include <QApplication>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QLabel>
#include <QSlider>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <csignal>
#include <sched.h>
#include <sys/fsuid.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kDone = QStringLiteral("Done, the output file is \"%1\".");
constexpr char kTinyMd5[] = "69285412bcb928f76288fc11d3c0678f"; // s16-stereo-44k-tiny-c2000
constexpr char kToneMd5[] = "b43c04a5986f21ce2894fbeb6f12b0f6"; // s16-stereo-44k-c2000

QByteArray md5OfData(const QByteArray &wav)
{
    return QCryptographicHash::hash(wav.mid(44), QCryptographicHash::Md5).toHex();
}

// Every entry of a folder, hidden ones included.
QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                  QDir::NoDotAndDotDot);
}

// Makes file unreadable for the calling thread while the object lives. Root
// reads a mode-000 file all the same, so under root the thread's file-system
// user becomes "nobody" meanwhile (which drops the capabilities that bypass
// permissions), and the folder is opened up so that nobody can reach the
// other files.
class UnreadableFile
{
public:
    UnreadableFile(const QString &folder, const QString &file) : folder_(folder)
    {
        ::chmod(QFile::encodeName(file).constData(), 0);
        if (::geteuid() == 0) {
            ::chmod(QFile::encodeName(folder).constData(), 0777);
            ::setfsuid(65534);
            dropped_ = true;
        }
        const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY);
        works_ = fd < 0;
        if (fd >= 0)
            ::close(fd);
    }
    ~UnreadableFile()
    {
        if (dropped_) {
            ::setfsuid(0);
            ::chmod(QFile::encodeName(folder_).constData(), 0700);
        }
    }
    UnreadableFile(const UnreadableFile &) = delete;
    UnreadableFile &operator=(const UnreadableFile &) = delete;
    bool works() const { return works_; }

private:
    QString folder_;
    bool dropped_ = false;
    bool works_ = false;
};

// A small tmpfs over a folder while the object lives, when this process may
// mount (root in its own mount namespace, see main()).
class SmallTmpfs
{
public:
    SmallTmpfs() = default;
    SmallTmpfs(const SmallTmpfs &) = delete;
    SmallTmpfs &operator=(const SmallTmpfs &) = delete;
    ~SmallTmpfs()
    {
        if (!at_.isEmpty())
            ::umount2(at_.constData(), MNT_DETACH);
    }
    bool mount(const QString &at, const char *size)
    {
        const QByteArray options = QByteArray("size=") + size;
        if (::mount("sorvano-test", QFile::encodeName(at).constData(), "tmpfs", 0,
                    options.constData()) != 0)
            return false;
        at_ = QFile::encodeName(at);
        return true;
    }
    bool makeReadOnly()
    {
        return ::mount(nullptr, at_.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    QByteArray at_;
};

} // namespace

class FaultsTest : public QObject, private RealWindow
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rowFileChangedAfterAdding_data();
    void rowFileChangedAfterAdding();
    void destinationFails_data();
    void destinationFails();
    void hostileNames_data();
    void hostileNames();

private:
    QLabel *panel() const { return form->findChild<QLabel *>("DecodePanel"); }
    void decode(const QString &destination, Answer overwrite = Answer::Cancel)
    {
        prompts.saveAnswers.push_back(destination);
        prompts.answers.push_back(overwrite);
        form->findChild<QToolButton *>("DecodeToolButton")->click();
    }
    // A move of the seek bar by the user.
    void seekBar(int value)
    {
        auto *bar = form->findChild<QSlider *>("TrackBar");
        bar->setFocus();
        bar->setSliderDown(true);
        bar->setSliderPosition(value);
        bar->setSliderDown(false);
    }
    // The window is usable: no decode left running, every command enabled.
    void verifyWindowFree()
    {
        QVERIFY(panel()->isHidden());
        QVERIFY(form->FormCloseQuery());
        QVERIFY(list()->isEnabled());
    }

    std::unique_ptr<QTemporaryDir> dir;
};

void FaultsTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    showWindow();
    QVERIFY2(prompts.messages.isEmpty(), "the engine starts on the dummy driver");
}

void FaultsTest::cleanup()
{
    form.reset();
    dir.reset();
}

enum class RowFault
{
    Deleted,
    Truncated,
    NotApe,
    Unreadable
};

void FaultsTest::rowFileChangedAfterAdding_data()
{
    QTest::addColumn<int>("faultValue");
    QTest::newRow("deleted") << int(RowFault::Deleted);
    QTest::newRow("truncated") << int(RowFault::Truncated);
    QTest::newRow("replaced by a text file") << int(RowFault::NotApe);
    QTest::newRow("made unreadable") << int(RowFault::Unreadable);
}

// The file changes while its row plays; the row is then seeked, played to
// its end, advanced to, decoded onto an existing file and deleted.
void FaultsTest::rowFileChangedAfterAdding()
{
    QFETCH(int, faultValue);
    const auto fault = RowFault(faultValue);
    const QString victim = dir->filePath("victim.ape");
    const QString next = dir->filePath("next.ape");
    const QString dest = dir->filePath("victim.wav");
    QVERIFY(QFile::copy(fixturePath("s16-stereo-44k-fullscale-c2000.ape"), victim));
    QVERIFY(QFile::copy(fixturePath("s16-stereo-44k-tiny-c2000.ape"), next));
    QVERIFY(writeFile(dest, "old contents"));
    open({victim, next});
    QCOMPARE(rowCount(), 2);
    select(0);
    form->PlayToolButtonClick();
    QCOMPARE(form->CurrentIndex(), int64_t(0));
    const int64_t length = form->CurrentLength();

    std::unique_ptr<UnreadableFile> unreadable;
    switch (fault) {
    case RowFault::Deleted:
        QVERIFY(QFile::remove(victim));
        break;
    case RowFault::Truncated:
        QVERIFY(QFile::resize(victim, QFileInfo(victim).size() / 3));
        break;
    case RowFault::NotApe:
        // Rewritten in place, so even the open file now reads as text.
        QVERIFY(writeFile(victim, QByteArray("This is a text file, not audio.\n").repeated(200)));
        break;
    case RowFault::Unreadable:
        unreadable = std::make_unique<UnreadableFile>(dir->path(), victim);
        if (!unreadable->works())
            QSKIP("this process reads files whatever their permissions");
        break;
    }

    // Seeked into what may be gone, the row still ends, and Loop moves on.
    seekBar(50);
    QTRY_COMPARE_WITH_TIMEOUT(form->CurrentIndex(), int64_t(1), 10000);
    QCOMPARE(prompts.messages.size(), 0);

    // The short next row ends and the advance wraps to the changed row.
    if (fault == RowFault::Truncated) {
        // Its header still holds: it plays, with silence for what is missing,
        // to its full length.
        QTRY_COMPARE_WITH_TIMEOUT(form->CurrentIndex(), int64_t(0), 5000);
        form->findChild<QCheckBox *>("LoopCheckBox")->setChecked(false);
        QTRY_VERIFY_WITH_TIMEOUT(engine.ChannelGetPosition(rowStream(0), audio::kPosByte) >= length,
                                 5000);
        QCOMPARE(prompts.messages.size(), 0);
        form->StopToolButtonClick();
    } else {
        const QString playError = QStringLiteral("Error playing the file \"%1\".").arg(victim);
        QTRY_COMPARE_WITH_TIMEOUT(prompts.messageTexts(), QStringList{playError}, 5000);
        QCOMPARE(prompts.messages[0].kind, MessageKind::Error);
        QCOMPARE(form->CurrentIndex(), int64_t(-1));
        QCOMPARE(form->windowTitle(), QStringLiteral("Sorvano"));
        // Later ticks try nothing more.
        QTest::qWait(1100);
        QCOMPARE(prompts.messages.size(), 1);
    }
    prompts.messages.clear();

    // Decoding it onto an existing file, answered Yes, fails and keeps that file.
    select(0);
    decode(dest, Answer::Yes);
    if (fault == RowFault::Truncated) {
        QCOMPARE(prompts.errorReports,
                 QStringList{QStringLiteral("Cannot decode file \"%1\".").arg(victim)});
    } else {
        QCOMPARE(prompts.messageTexts().last(),
                 QStringLiteral("Error load the \"%1\".").arg(victim));
        QCOMPARE(prompts.errorReports, QStringList());
    }
    QCOMPARE(readFile(dest), QByteArray("old contents"));
    verifyWindowFree();

    form->DeleteToolButtonClick();
    QCOMPARE(rowCount(), 1);
    unreadable.reset();
    QStringList left = entries(dir->path());
    left.sort();
    const QStringList expected = fault == RowFault::Deleted
                                     ? QStringList{"next.ape", "victim.wav"}
                                     : QStringList{"next.ape", "victim.ape", "victim.wav"};
    QCOMPARE(left, expected);
}

enum class DestinationFault
{
    None,
    DiskFull,
    FolderRemoved,
    ReadOnlyFileSystem
};

void FaultsTest::destinationFails_data()
{
    QTest::addColumn<int>("fault");
    QTest::newRow("healthy, existing file replaced") << int(DestinationFault::None);
    QTest::newRow("disk full") << int(DestinationFault::DiskFull);
    QTest::newRow("folder removed during the decode") << int(DestinationFault::FolderRemoved);
    QTest::newRow("read-only file system") << int(DestinationFault::ReadOnlyFileSystem);
}

// A decode whose destination fails is reported, leaves no partial file, and
// costs the user no existing file, even after Yes to the overwrite question.
void FaultsTest::destinationFails()
{
    QFETCH(int, fault);
    const auto kind = DestinationFault(fault);
    const QString source = fixturePath("s16-stereo-44k-c2000.ape");
    const QString folder = dir->filePath("out");
    const QString dest = folder + "/tone.wav";
    QVERIFY(QDir().mkdir(folder));
    open({source});
    select(0);

    QString systemText;
    bool limitedFileSize = false;
    SmallTmpfs tmpfs;
    switch (kind) {
    case DestinationFault::None:
    case DestinationFault::FolderRemoved:
        break;
    case DestinationFault::DiskFull:
        if (tmpfs.mount(folder, "64k")) {
            systemText = "No space left on device";
        } else {
            // No mount here: a file-size limit makes the write fail the same
            // way a full disk does, at a known size.
            qInfo("cannot mount a tmpfs here; limiting the file size instead");
            ::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{64 * 1024, RLIM_INFINITY};
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
            limitedFileSize = true;
            systemText = "File too large";
        }
        break;
    case DestinationFault::ReadOnlyFileSystem:
        if (!tmpfs.mount(folder, "1m"))
            QSKIP("mounting a file system needs root here");
        systemText = "Read-only file system";
        break;
    }
    if (kind != DestinationFault::FolderRemoved)
        QVERIFY(writeFile(dest, "old contents"));
    if (kind == DestinationFault::ReadOnlyFileSystem)
        QVERIFY(tmpfs.makeReadOnly());

    // The folder goes once the first blocks are written.
    QTimer remover;
    remover.setInterval(0);
    connect(&remover, &QTimer::timeout, [&] {
        if (panel()->text().startsWith("Decoding") && QDir(folder).exists())
            QVERIFY(QDir(folder).removeRecursively());
    });
    if (kind == DestinationFault::FolderRemoved)
        remover.start();

    decode(dest, Answer::Yes);
    remover.stop();
    if (limitedFileSize) {
        rlimit none{RLIM_INFINITY, RLIM_INFINITY};
        ::setrlimit(RLIMIT_FSIZE, &none);
    }
    verifyWindowFree();

    switch (kind) {
    case DestinationFault::None: {
        QCOMPARE(prompts.errorReports, QStringList());
        QCOMPARE(prompts.messageTexts().last(), kDone.arg(dest));
        const QByteArray wav = readFile(dest);
        QCOMPARE(wav.size(), 44 + 529200);
        QCOMPARE(md5OfData(wav), QByteArray(kToneMd5));
        QCOMPARE(entries(folder), QStringList{"tone.wav"});
        break;
    }
    case DestinationFault::DiskFull:
        QCOMPARE(
            prompts.errorReports,
            QStringList{QStringLiteral("Cannot write file \"%1\". %2.").arg(dest, systemText)});
        QCOMPARE(readFile(dest), QByteArray("old contents"));
        QCOMPARE(entries(folder), QStringList{"tone.wav"});
        break;
    case DestinationFault::FolderRemoved:
        QVERIFY(!QDir(folder).exists());
        QCOMPARE(
            prompts.errorReports,
            QStringList{
                QStringLiteral("Cannot write file \"%1\". No such file or directory.").arg(dest)});
        QVERIFY(!prompts.messageTexts().contains(kDone.arg(dest)));
        break;
    case DestinationFault::ReadOnlyFileSystem:
        QCOMPARE(prompts.messageTexts().last(),
                 QStringLiteral("Cannot delete the file \"%1\".").arg(dest));
        QCOMPARE(
            prompts.errorReports,
            QStringList{QStringLiteral("Cannot create file \"%1\". %2.").arg(dest, systemText)});
        QCOMPARE(readFile(dest), QByteArray("old contents"));
        break;
    }

    // The window goes on working: the same decode elsewhere succeeds.
    prompts.messages.clear();
    const QString elsewhere = dir->filePath("again.wav");
    decode(elsewhere);
    QCOMPARE(prompts.messageTexts(), QStringList{kDone.arg(elsewhere)});
}

void FaultsTest::hostileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("exists");
    QTest::newRow("quotes") << QString("say \"hi\" and 'bye'.ape") << true;
    QTest::newRow("spaces") << QString("  lots   of spaces .ape") << true;
    QTest::newRow("percent") << QString("100% %s %n %d %%.ape") << true;
    QTest::newRow("leading dash, relative") << QString("-i -y --help.ape") << true;
    QTest::newRow("newline") << QString("first line\nsecond line.ape") << true;
    QTest::newRow("other scripts")
        << QString::fromUtf8("Музыка 音楽 ελληνικά עברית عربي.ape") << true;
    QTest::newRow("emoji") << QString::fromUtf8("🎵🎶 😀 👩‍👩‍👧.ape") << true;
    QTest::newRow("4000 characters") << QString("<long>") << true;
    QTest::newRow("URL-like, relative") << QString("http://host/a.ape") << true;
    QTest::newRow("concat, relative") << QString("concat:a.ape|b.ape") << true;
    QTest::newRow("pipe, relative") << QString("pipe:0") << true;
    // Protocol names with no such local file behind them: nothing is added,
    // although FFmpeg would have fetched or joined them.
    QTest::newRow("URL, no such file") << QString("http://127.0.0.1:9/a.ape") << false;
    QTest::newRow("concat of real files, no such file")
        << QString("concat:" + fixturePath("s16-stereo-44k-tiny-c2000.ape") + "|" +
                   fixturePath("s16-stereo-44k-tiny-c2000.ape"))
        << false;
}

// Each name is a plain local file to the window, the engine and FFmpeg:
// opened, played, decoded beside itself and deleted, or refused when no such
// file exists; never taken for a protocol, option or format string.
void FaultsTest::hostileNames()
{
    QFETCH(QString, name);
    QFETCH(bool, exists);
    QVERIFY(QDir::setCurrent(dir->path()));
    QString path = name;
    if (name == "<long>") {
        path = dir->path();
        while (path.size() < 4000 - 260) {
            path += "/" + QString(200, QLatin1Char('d'));
            QVERIFY(QDir().mkdir(path));
        }
        path += "/" + QString(4000 - path.size() - 5, QLatin1Char('f')) + ".ape";
        QCOMPARE(path.size(), 4000);
    }
    if (exists) {
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QVERIFY(QFile::copy(fixturePath("s16-stereo-44k-tiny-c2000.ape"), path));
        // FFmpeg, should a file ever reach it, reads the same local file.
        std::string error;
        auto ffmpeg =
            audio::FfmpegDecoder::open(std::filesystem::path(path.toStdU16String()), &error);
        QVERIFY2(ffmpeg, error.c_str());
        QCOMPARE(ffmpeg->totalFrames(), int64_t(92));
    }

    open({path});
    QCOMPARE(prompts.messages.size(), 0);
    if (!exists) {
        QCOMPARE(rowCount(), 0);
        return;
    }
    QCOMPARE(rowCount(), 1);
    QCOMPARE(rowText(0, 0), path);
    select(0);
    form->PlayToolButtonClick();
    QCOMPARE(form->CurrentIndex(), int64_t(0));
    QCOMPARE(form->windowTitle(), QStringLiteral("Sorvano [%1]").arg(path));

    const QString dest = proposedWavPath(path);
    decode(dest);
    QCOMPARE(prompts.errorReports, QStringList());
    QCOMPARE(prompts.messageTexts(), QStringList{kDone.arg(dest)});
    const QByteArray wav = readFile(dest);
    QCOMPARE(wav.size(), 44 + 368);
    QCOMPARE(md5OfData(wav), QByteArray(kTinyMd5));

    form->DeleteToolButtonClick();
    QCOMPARE(rowCount(), 0);
    QCOMPARE(form->windowTitle(), QStringLiteral("Sorvano"));
}

int main(int argc, char **argv)
{
    // Root gets a mount namespace of its own, so the small file systems the
    // destination faults mount are private to this process and vanish with it.
    if (::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0)
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Sorvano"));
    FaultsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faults.moc"

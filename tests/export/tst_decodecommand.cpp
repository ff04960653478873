#include "ExportTestSupport.h"
#include "TestToolkit.h"
#include "WindowFixture.h"
#include "logic/DecodeLayout.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QSlider>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QtTest>
#include <private/qguiapplication_p.h>
#include <private/qsessionmanager_p.h>
#include <qpa/qplatformsessionmanager.h>

using namespace audio;

namespace {

// A session manager that lets the program interact, as a desktop's log-off
// does, and records whether the program cancelled the log-off.
class InteractiveSessionManager : public QPlatformSessionManager
{
public:
    InteractiveSessionManager() : QPlatformSessionManager(QString(), QString()) {}
    bool allowsInteraction() override { return true; }
    bool allowsErrorInteraction() override { return true; }
    void cancel() override { cancelled = true; }
    bool cancelled = false;
};

// Asks the program, through Qt's own commit-data request, whether the
// session may end; true when it agreed. Qt exports no type information for
// its private session-manager class, which UBSan's vptr check would need.
__attribute__((no_sanitize("vptr"))) bool sessionMayEnd()
{
    QGuiApplicationPrivate *app = QGuiApplicationPrivate::instance();
    auto *manager =
        static_cast<QSessionManagerPrivate *>(QObjectPrivate::get(app->session_manager));
    auto *interactive = new InteractiveSessionManager;
    delete manager->platformSessionManager;
    manager->platformSessionManager = interactive;
    app->commitData();
    return !interactive->cancelled;
}

} // namespace

class DecodeCommandTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void proposedName_data();
    void proposedName();
    void proposedTrackName();
    void panelPosition();
    void noSelectionAsksNothing();
    void proposesWavNameAndCancelEnds();
    void existingFileKeptUnlessYes_data();
    void existingFileKeptUnlessYes();
    void decodeWritesFileAndReports();
    void windowLockedDuringDecode();
    void playingRowIsStopped();
    void otherRowKeepsPlaying();
    void rowsChangedWhileSaveDialogWaits_data();
    void rowsChangedWhileSaveDialogWaits();
    void missingFolderReported();
    void readOnlyFolderReported();
    void undeletableFileReportedAndKept();
    void failingSourceReported();
    void unopenableSourceCostsNothing();

private:
    void addRows(int count);
    QString rowPath(int i) const { return dir->filePath(QStringLiteral("row%1.ape").arg(i)); }
    QLabel *panel() const { return w.child<QLabel>("DecodePanel"); }
    bool isEnabled(const char *name) const;
    QStringList enabledOnes() const;
    StreamHandle decodeStream() const;
    void clickDecode() { w.child<QToolButton>("DecodeToolButton")->click(); }

    WindowFixture w;
    std::unique_ptr<QTemporaryDir> dir;
    std::vector<uint8_t> data;
};

void DecodeCommandTest::init()
{
    // The hooks hold references into the previous test; the window's
    // shutdown must not run them.
    w.engine.onGetData = nullptr;
    w.engine.onStreamFree = nullptr;
    w.form.reset();
    w.engine = ScriptedEngine();
    w.prompts = ScriptedPrompts();
    dir = std::make_unique<QTemporaryDir>();
    data.assign(25000, 0);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 31 + 7);
    w.create();
    w.form->show();
}

void DecodeCommandTest::cleanup()
{
    w.engine.onGetData = nullptr;
    w.engine.onStreamFree = nullptr;
    w.form.reset();
}

void DecodeCommandTest::addRows(int count)
{
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        paths << rowPath(i);
        QVERIFY(writeFile(paths.last(), "APE"));
        w.engine.dataForPath[paths.last().toStdU16String()] = data;
    }
    w.prompts.openAnswers.push_back(paths);
    w.form->OpenToolButtonClick();
    QCOMPARE(w.rowCount(), count);
}

bool DecodeCommandTest::isEnabled(const char *name) const
{
    if (auto *action = w.child<QAction>(name))
        return action->isEnabled();
    return w.child<QWidget>(name)->isEnabled();
}

QStringList DecodeCommandTest::enabledOnes() const
{
    QStringList names;
    for (const char *name : kLockOut)
        if (isEnabled(name))
            names << QString::fromLatin1(name);
    return names;
}

StreamHandle DecodeCommandTest::decodeStream() const
{
    for (const auto &[handle, s] : w.engine.streams)
        if (s.flags & kFlagDecodeOnly)
            return handle;
    return 0;
}

void DecodeCommandTest::proposedName_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("proposed");
    QTest::newRow("extension replaced") << "/music/song.ape"
                                        << "/music/song.wav";
    QTest::newRow("dot in a folder only") << "/music.old/song"
                                          << "/music.old/song.wav";
    QTest::newRow("no extension") << "/music/song"
                                  << "/music/song.wav";
    QTest::newRow("last dot counts") << "/music/a.b.ape"
                                     << "/music/a.b.wav";
    QTest::newRow("backslash is a name character") << "/music/a.b\\c"
                                                   << "/music/a.wav";
    QTest::newRow("colon is a name character") << "/music/a.b:c"
                                               << "/music/a.wav";
}

void DecodeCommandTest::proposedName()
{
    QFETCH(QString, path);
    QTEST(proposedWavPath(path), "proposed");
}

void DecodeCommandTest::proposedTrackName()
{
    cue::AlbumTrack track;
    track.imagePath = QStringLiteral("/music/disc one/image.ape");
    track.number = 2;
    track.title = QStringLiteral(" AC/DC: \"Why?\" <live> | *1\t ");
    QCOMPARE(proposedTrackWavPath(track),
             QStringLiteral("/music/disc one/02 - AC_DC_ _Why__ _live_ _ _1.wav"));
    track.title.clear();
    track.number = 0;
    QCOMPARE(proposedTrackWavPath(track), QStringLiteral("/music/disc one/00.wav"));
}

void DecodeCommandTest::panelPosition()
{
    QCOMPARE(decodePanelPosition(QSize(800, 600), QSize(185, 41)), QPoint(307, 238));
    QCOMPARE(decodePanelPosition(QSize(180, 600), QSize(185, 41)).x(), -2);
    QCOMPARE(decodePanelPosition(QSize(801, 30), QSize(185, 41)), QPoint(308, -46));
}

void DecodeCommandTest::noSelectionAsksNothing()
{
    addRows(1);
    w.clearSelection();
    clickDecode();
    QCOMPARE(w.prompts.messageTexts(), QStringList{"Please select one file."});
    QCOMPARE(w.prompts.messages[0].kind, MessageKind::Information);
    QVERIFY(w.prompts.proposedSavePaths.isEmpty());
}

void DecodeCommandTest::proposesWavNameAndCancelEnds()
{
    addRows(2);
    w.select(1);
    clickDecode(); // no answer queued: the dialog is cancelled
    QCOMPARE(w.prompts.proposedSavePaths, QStringList{dir->filePath("row1.wav")});
    QCOMPARE(decodeStream(), 0u);
    QVERIFY(w.prompts.messages.isEmpty());
    QVERIFY(!QFile::exists(dir->filePath("row1.wav")));
}

void DecodeCommandTest::existingFileKeptUnlessYes_data()
{
    QTest::addColumn<int>("answer");
    QTest::newRow("No") << int(Answer::No);
    QTest::newRow("Cancel") << int(Answer::Cancel);
    QTest::newRow("Yes") << int(Answer::Yes);
}

void DecodeCommandTest::existingFileKeptUnlessYes()
{
    QFETCH(int, answer);
    addRows(1);
    w.select(0);
    const QString dest = dir->filePath("out.wav");
    QVERIFY(writeFile(dest, "old contents"));
    w.prompts.saveAnswers.push_back(dest);
    w.prompts.answers.push_back(Answer(answer));
    clickDecode();

    QCOMPARE(w.prompts.messages[0].kind, MessageKind::Query);
    QCOMPARE(w.prompts.messages[0].text,
             QStringLiteral("The file \"%1\" already exists. Do you want to overwrite?").arg(dest));
    if (Answer(answer) == Answer::Yes) {
        QCOMPARE(readFile(dest).size(), 44 + int(data.size()));
        QCOMPARE(w.prompts.messages.size(), 2);
    } else {
        QCOMPARE(readFile(dest), QByteArray("old contents"));
        QCOMPARE(w.prompts.messages.size(), 1);
        QVERIFY(w.engine
                    .callsStartingWith("ApeStreamCreateFile " +
                                       std::to_string(kFlagUnicodePath | kFlagDecodeOnly))
                    .empty());
    }
}

void DecodeCommandTest::decodeWritesFileAndReports()
{
    addRows(1);
    w.select(0);
    const QString dest = dir->filePath("song.wav");
    w.prompts.saveAnswers.push_back(dest);
    StreamHandle freed = 0;
    QString textAtFree;
    w.engine.onStreamFree = [&](StreamHandle h) {
        freed = h;
        textAtFree = panel()->text();
    };
    clickDecode();

    const QByteArray bytes = readFile(dest);
    QCOMPARE(bytes.size(), 44 + int(data.size()));
    QVERIFY(bytes.mid(44) ==
            QByteArray(reinterpret_cast<const char *>(data.data()), qsizetype(data.size())));
    QCOMPARE(w.prompts.messageTexts(),
             QStringList{QStringLiteral("Done, the output file is \"%1\".").arg(dest)});
    QCOMPARE(w.prompts.messages[0].kind, MessageKind::Information);
    QVERIFY(w.prompts.errorReports.isEmpty());
    QCOMPARE(textAtFree, QStringLiteral("Closing file ..."));
    QVERIFY(freed != 0 && freed != w.rowStream(0));
    QVERIFY(!w.engine.stream(freed));
    QCOMPARE(panel()->text(), QStringLiteral("Done."));
    QVERIFY(panel()->isHidden());
    QCOMPARE(enabledOnes().size(), 17);
    // The row's own playback stream is neither used nor changed.
    QVERIFY(w.engine.stream(w.rowStream(0)));
    QCOMPARE(w.engine.stream(w.rowStream(0))->position, 0);
}

void DecodeCommandTest::windowLockedDuringDecode()
{
    addRows(2);
    w.select(0);
    w.list()->setFocus();
    w.prompts.saveAnswers.push_back(dir->filePath("locked.wav"));
    QStringList texts;
    QStringList enabledDuring;
    QPoint panelAt;
    bool panelShown = false, closed = true, closeAllowed = true, timerRunning = false;
    bool logOffAllowed = true;
    QVERIFY(sessionMayEnd());
    w.engine.onGetData = [&](StreamHandle) {
        texts << panel()->text();
        if (texts.size() > 1)
            return;
        enabledDuring = enabledOnes();
        panelShown = panel()->isVisible();
        panelAt = panel()->pos();
        timerRunning = w.child<QTimer>("Timer")->isActive();
        closeAllowed = w.form->FormCloseQuery();
        logOffAllowed = sessionMayEnd();
        closed = w.form->close();
        // Neither the menu item nor its shortcut starts a second decode.
        w.child<QAction>("DecodeMenuItem")->trigger();
        QTest::keyClick(w.list(), Qt::Key_D, Qt::ControlModifier);
        QTest::keyClick(w.list(), Qt::Key_T, Qt::ControlModifier);
        w.child<QToolButton>("ExitToolButton")->click();
    };
    clickDecode();

    QCOMPARE(texts, QStringList({"Opening file ...", "Decoding ... 40%", "Decoding ... 80%"}));
    QVERIFY2(enabledDuring.isEmpty(), qPrintable(enabledDuring.join(", ")));
    QVERIFY(panelShown);
    QCOMPARE(panelAt, decodePanelPosition(w.form->frameGeometry().size(), panel()->size()));
    QVERIFY(timerRunning);
    QVERIFY(!closeAllowed);
    QVERIFY(!logOffAllowed);
    QVERIFY(!closed);
    QVERIFY(w.form->isVisible());
    QCOMPARE(w.prompts.proposedSavePaths.size(), 1);
    QCOMPARE(enabledOnes().size(), 17);
    QVERIFY(w.form->FormCloseQuery());
    QVERIFY(sessionMayEnd());
}

void DecodeCommandTest::playingRowIsStopped()
{
    addRows(2);
    w.select(1);
    w.form->PlayToolButtonClick();
    QCOMPARE(w.form->CurrentIndex(), 1);
    w.prompts.saveAnswers.push_back(dir->filePath("row1.wav"));
    clickDecode();
    QCOMPARE(w.form->CurrentIndex(), -1);
    QCOMPARE(w.form->windowTitle(), QStringLiteral("Sorvano"));
    QCOMPARE(w.engine.callsStartingWith("ChannelStop"),
             std::vector<std::string>{"ChannelStop " + std::to_string(w.rowStream(1))});
    QCOMPARE(readFile(dir->filePath("row1.wav")).size(), 44 + int(data.size()));
}

void DecodeCommandTest::otherRowKeepsPlaying()
{
    addRows(2);
    w.select(1);
    w.form->PlayToolButtonClick();
    const QString title = w.form->windowTitle();
    w.select(0);
    w.prompts.saveAnswers.push_back(dir->filePath("row0.wav"));
    clickDecode();
    QCOMPARE(w.form->CurrentIndex(), 1);
    QCOMPARE(w.form->windowTitle(), title);
    QVERIFY(w.engine.callsStartingWith("ChannelStop").empty());
    QVERIFY(w.engine.stream(w.rowStream(1))->playing);
}

void DecodeCommandTest::rowsChangedWhileSaveDialogWaits_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("playing");
    QTest::addColumn<bool>("decodedRowPlays");
    // Deleting row 0 while the dialog waits moves both rows up by one.
    QTest::newRow("decoded row playing, moved up") << 2 << 1 << true;
    QTest::newRow("another row playing, moved onto its index") << 3 << 2 << false;
}

void DecodeCommandTest::rowsChangedWhileSaveDialogWaits()
{
    QFETCH(int, rows);
    QFETCH(int, playing);
    QFETCH(bool, decodedRowPlays);
    addRows(rows);
    w.select(playing);
    w.form->PlayToolButtonClick();
    const StreamHandle playingStream = w.rowStream(playing);
    w.select(1);
    w.prompts.whileSaveDialogWaits = [&] {
        w.select(0);
        w.form->DeleteToolButtonClick();
    };
    w.prompts.saveAnswers.push_back(dir->filePath("row1.wav"));
    clickDecode();

    QCOMPARE(readFile(dir->filePath("row1.wav")).size(), 44 + int(data.size()));
    QCOMPARE(w.engine.stream(playingStream)->playing, !decodedRowPlays);
    QCOMPARE(w.form->CurrentIndex(), decodedRowPlays ? -1 : playing - 1);
}

void DecodeCommandTest::missingFolderReported()
{
    addRows(1);
    w.select(0);
    const QString dest = dir->filePath("missing/out.wav");
    w.prompts.saveAnswers.push_back(dest);
    clickDecode();
    QCOMPARE(
        w.prompts.errorReports,
        QStringList{
            QStringLiteral("Cannot create file \"%1\". No such file or directory.").arg(dest)});
    QVERIFY(w.prompts.messages.isEmpty()); // no "Done, ..." on the error path
    QVERIFY(panel()->isHidden());
    QCOMPARE(panel()->text(), QStringLiteral("Closing file ..."));
    QCOMPARE(enabledOnes().size(), 17);
    QCOMPARE(decodeStream(), 0u); // freed
    QVERIFY(!QFile::exists(dest));
}

void DecodeCommandTest::readOnlyFolderReported()
{
    addRows(1);
    w.select(0);
    const QString folder = dir->filePath("locked");
    QVERIFY(QDir().mkdir(folder));
    const QString dest = folder + "/out.wav";
    w.prompts.saveAnswers.push_back(dest);
    {
        ReadOnlyFolder locked(dir->path(), folder);
        clickDecode();
    }
    QCOMPARE(
        w.prompts.errorReports,
        QStringList{QStringLiteral("Cannot create file \"%1\". Permission denied.").arg(dest)});
    QVERIFY(panel()->isHidden());
    QCOMPARE(enabledOnes().size(), 17);
    QVERIFY(!QFile::exists(dest));
}

void DecodeCommandTest::undeletableFileReportedAndKept()
{
    addRows(1);
    w.select(0);
    const QString folder = dir->filePath("locked");
    QVERIFY(QDir().mkdir(folder));
    const QString dest = folder + "/out.wav";
    QVERIFY(writeFile(dest, "kept"));
    w.prompts.saveAnswers.push_back(dest);
    w.prompts.answers.push_back(Answer::Yes);
    {
        ReadOnlyFolder locked(dir->path(), folder);
        clickDecode();
    }
    QCOMPARE(w.prompts.messageTexts(),
             QStringList({QStringLiteral("The file \"%1\" already exists. Do you want to "
                                         "overwrite?")
                              .arg(dest),
                          QStringLiteral("Cannot delete the file \"%1\".").arg(dest)}));
    QCOMPARE(w.prompts.messages[1].kind, MessageKind::Error);
    // The decode went on and failed to open the file for writing.
    QCOMPARE(
        w.prompts.errorReports,
        QStringList{QStringLiteral("Cannot create file \"%1\". Permission denied.").arg(dest)});
    QCOMPARE(readFile(dest), QByteArray("kept"));
}

void DecodeCommandTest::failingSourceReported()
{
    w.engine.failAfterForPath[rowPath(0).toStdU16String()] = 15000;
    addRows(1);
    w.select(0);
    const QString dest = dir->filePath("damaged.wav");
    w.prompts.saveAnswers.push_back(dest);
    clickDecode();
    QCOMPARE(w.prompts.errorReports,
             QStringList{QStringLiteral("Cannot decode file \"%1\".").arg(rowPath(0))});
    QVERIFY(w.prompts.messages.isEmpty());
    QVERIFY(!QFile::exists(dest));
    QVERIFY(panel()->isHidden());
    QCOMPARE(enabledOnes().size(), 17);
    QCOMPARE(decodeStream(), 0u);
}

void DecodeCommandTest::unopenableSourceCostsNothing()
{
    addRows(1);
    w.select(0);
    w.form->PlayToolButtonClick();
    w.engine.refusedPaths.insert(rowPath(0).toStdU16String());
    const QString dest = dir->filePath("existing.wav");
    QVERIFY(writeFile(dest, "still here"));
    w.prompts.saveAnswers.push_back(dest);
    w.prompts.answers.push_back(Answer::Yes);
    StreamHandle openedDuringDecode = 0;
    w.engine.onGetData = [&](StreamHandle h) { openedDuringDecode = h; };
    clickDecode();
    QCOMPARE(w.prompts.messageTexts().last(),
             QStringLiteral("Error load the \"%1\".").arg(rowPath(0)));
    QCOMPARE(w.prompts.messages.last().kind, MessageKind::Error);
    QCOMPARE(readFile(dest), QByteArray("still here"));
    QCOMPARE(openedDuringDecode, 0u);
    QVERIFY(w.prompts.errorReports.isEmpty());
    QVERIFY(panel()->isHidden());
    QCOMPARE(enabledOnes().size(), 17);
    // Nothing was decoded, so the playing row was left alone.
    QCOMPARE(w.form->CurrentIndex(), 0);
}

SORVANO_WINDOW_TEST_MAIN(DecodeCommandTest)

#include "tst_decodecommand.moc"

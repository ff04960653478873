#include "WindowFixture.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

class PlaylistCommandsTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cancelledDialogAddsNothing();
    void addsRowsWithSizeTextAndStream();
    void duplicatesAreSelectedAndStillAdded();
    void missingFilesAndFoldersAreSkippedSilently();
    void refusedFileIsReportedAndOthersAdded();
    void existingRowOfRemovedFileIsSelectedOnly();
    void deleteNeedsSelection();
    void deleteSelectsNeighbour_data();
    void deleteSelectsNeighbour();
    void deleteCurrentRowStopsIt();
    void deleteBeforeCurrentRowKeepsItCurrent();
    void deleteInsideOpenErrorBox();

private:
    QString makeFile(const QString &name, int bytes = 10) { return w.makeFile(name, bytes); }
    QStringList makeFiles(int count) { return w.makeFiles(count); }

    WindowFixture w;
};

void PlaylistCommandsTest::init()
{
    w.reset();
    w.create();
}

void PlaylistCommandsTest::cancelledDialogAddsNothing()
{
    w.prompts.openAnswers.push_back(std::nullopt);
    w.form->OpenToolButtonClick();
    QCOMPARE(w.rowCount(), 0);
    QVERIFY(w.engine.callsStartingWith("ApeStreamCreateFile").empty());
}

void PlaylistCommandsTest::addsRowsWithSizeTextAndStream()
{
    const QString a = makeFile(QStringLiteral("ä ♪ [*].ape"), 1152);
    const QString b = makeFile(QStringLiteral("b.ape"), 1024);
    w.prompts.openAnswers.push_back(QStringList{a, b});
    w.form->OpenToolButtonClick();
    QCOMPARE(w.rowCount(), 2);
    QCOMPARE(w.rowPath(0), a);
    QCOMPARE(w.rowText(0, 1), QStringLiteral("1.13 KB"));
    QCOMPARE(w.rowText(1, 1), QStringLiteral("1024 bytes"));
    QCOMPARE(w.selectedIndex(), 1);
    // The engine got the UTF-16 path, as a playback stream.
    QCOMPARE(w.engine.stream(w.rowStream(0))->path, a.toStdU16String());
    QCOMPARE(w.engine.stream(w.rowStream(0))->flags, audio::kFlagUnicodePath);
    QVERIFY(w.prompts.messages.isEmpty());
}

void PlaylistCommandsTest::duplicatesAreSelectedAndStillAdded()
{
    const QString a = makeFile(QStringLiteral("a.ape"));
    const QString b = makeFile(QStringLiteral("b.ape"));
    w.prompts.openAnswers.push_back(QStringList{a, b, a});
    w.form->OpenToolButtonClick();
    QCOMPARE(w.rowCount(), 3);
    QVERIFY(w.rowStream(0) != w.rowStream(2));
    QCOMPARE(w.selectedIndex(), 2);

    // A duplicate refused by the engine still highlights the existing rows.
    w.engine.refusedPaths.insert(b.toStdU16String());
    w.prompts.openAnswers.push_back(QStringList{b});
    w.form->OpenToolButtonClick();
    QCOMPARE(w.rowCount(), 3);
    QCOMPARE(w.selectedIndex(), 1);
    QCOMPARE(w.list()->selectionModel()->selectedRows().size(), 1);
}

void PlaylistCommandsTest::missingFilesAndFoldersAreSkippedSilently()
{
    const QString a = makeFile(QStringLiteral("a.ape"));
    QDir(w.dir->path()).mkdir(QStringLiteral("folder.ape"));
    w.prompts.openAnswers.push_back(
        QStringList{w.dir->filePath("missing.ape"), w.dir->filePath("folder.ape"), a});
    w.form->OpenToolButtonClick();
    QCOMPARE(w.rowCount(), 1);
    QVERIFY(w.prompts.messages.isEmpty());
    QCOMPARE(w.engine.callsStartingWith("ApeStreamCreateFile").size(), size_t(1));
}

void PlaylistCommandsTest::refusedFileIsReportedAndOthersAdded()
{
    const QStringList paths = makeFiles(5);
    w.engine.refusedPaths.insert(paths[2].toStdU16String());
    w.prompts.openAnswers.push_back(paths);
    w.form->OpenToolButtonClick();
    QCOMPARE(w.rowCount(), 4);
    QCOMPARE(w.prompts.messages.size(), 1);
    QCOMPARE(w.prompts.messages[0].kind, MessageKind::Error);
    QCOMPARE(w.prompts.messages[0].text, QStringLiteral("Error load the \"%1\".").arg(paths[2]));
    QCOMPARE(w.rowPath(2), paths[3]);
    QCOMPARE(w.selectedIndex(), 3);
}

void PlaylistCommandsTest::existingRowOfRemovedFileIsSelectedOnly()
{
    const QStringList paths = makeFiles(2);
    w.prompts.openAnswers.push_back(paths);
    w.form->OpenToolButtonClick();
    QFile::remove(paths[0]);
    w.prompts.openAnswers.push_back(QStringList{paths[0]});
    w.form->OpenToolButtonClick();
    QCOMPARE(w.rowCount(), 2);
    QCOMPARE(w.selectedIndex(), 0);
}

void PlaylistCommandsTest::deleteNeedsSelection()
{
    w.prompts.openAnswers.push_back(makeFiles(1));
    w.form->OpenToolButtonClick();
    w.clearSelection();
    w.form->DeleteToolButtonClick();
    QCOMPARE(w.prompts.messageTexts(), QStringList{"Please select one file."});
    QCOMPARE(w.prompts.messages[0].kind, MessageKind::Information);
    QCOMPARE(w.rowCount(), 1);
}

void PlaylistCommandsTest::deleteSelectsNeighbour_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("deleted");
    QTest::addColumn<int>("selectedAfter");
    QTest::newRow("first of three") << 3 << 0 << 0;
    QTest::newRow("middle of three") << 3 << 1 << 0;
    QTest::newRow("last of three") << 3 << 2 << 1;
    QTest::newRow("only row") << 1 << 0 << -1;
}

void PlaylistCommandsTest::deleteSelectsNeighbour()
{
    QFETCH(int, rows);
    QFETCH(int, deleted);
    QFETCH(int, selectedAfter);
    w.prompts.openAnswers.push_back(makeFiles(rows));
    w.form->OpenToolButtonClick();
    QStringList before;
    for (int i = 0; i < rows; ++i)
        before << w.rowPath(i);
    const audio::StreamHandle stream = w.rowStream(deleted);
    w.select(deleted);
    w.form->DeleteToolButtonClick();
    QCOMPARE(w.rowCount(), rows - 1);
    before.removeAt(deleted);
    for (int i = 0; i < rows - 1; ++i)
        QCOMPARE(w.rowPath(i), before[i]);
    QCOMPARE(w.selectedIndex(), selectedAfter);
    QCOMPARE(w.engine.callsStartingWith("StreamFree"),
             std::vector<std::string>{"StreamFree " + std::to_string(stream)});
}

void PlaylistCommandsTest::deleteCurrentRowStopsIt()
{
    w.prompts.openAnswers.push_back(makeFiles(2));
    w.form->OpenToolButtonClick();
    w.select(1);
    w.form->PlayToolButtonClick();
    QCOMPARE(w.form->CurrentIndex(), 1);
    const audio::StreamHandle playing = w.rowStream(1);
    w.form->DeleteToolButtonClick();
    QCOMPARE(w.form->CurrentIndex(), -1);
    QCOMPARE(w.form->windowTitle(), QStringLiteral("Sorvano"));
    QCOMPARE(w.engine.callsStartingWith("ChannelStop").back(),
             "ChannelStop " + std::to_string(playing));
}

void PlaylistCommandsTest::deleteBeforeCurrentRowKeepsItCurrent()
{
    w.prompts.openAnswers.push_back(makeFiles(3));
    w.form->OpenToolButtonClick();
    w.select(2);
    w.form->PlayToolButtonClick();
    const audio::StreamHandle playing = w.rowStream(2);
    const QString title = w.form->windowTitle();
    w.select(0);
    w.form->DeleteToolButtonClick();
    QCOMPARE(w.form->CurrentIndex(), 1);
    QCOMPARE(w.rowStream(1), playing);
    QVERIFY(w.engine.stream(playing)->playing);
    QCOMPARE(w.form->windowTitle(), title);
    // Stop now stops the row that plays, not a neighbour.
    w.form->StopToolButtonClick();
    QVERIFY(!w.engine.stream(playing)->playing);
}

void PlaylistCommandsTest::deleteInsideOpenErrorBox()
{
    // While Open's error box waits, the user deletes rows; Open then goes on
    // with its next path and selects only rows that exist.
    const QStringList first = makeFiles(2);
    w.prompts.openAnswers.push_back(first);
    w.form->OpenToolButtonClick();
    const QString bad = makeFile(QStringLiteral("bad.ape"));
    const QString good = makeFile(QStringLiteral("good.ape"));
    w.engine.refusedPaths.insert(bad.toStdU16String());
    w.prompts.whileWaiting = [this](const ScriptedPrompts::Shown &shown) {
        if (shown.kind != MessageKind::Error)
            return;
        w.select(0);
        w.form->DeleteToolButtonClick();
        w.form->DeleteToolButtonClick();
    };
    w.prompts.openAnswers.push_back(QStringList{bad, first[1], good});
    w.form->OpenToolButtonClick();
    QCOMPARE(w.rowCount(), 2);
    QCOMPARE(w.rowPath(0), first[1]);
    QCOMPARE(w.rowPath(1), good);
    QCOMPARE(w.selectedIndex(), 1);
}

SORVANO_WINDOW_TEST_MAIN(PlaylistCommandsTest)

#include "tst_playlist_commands.moc"

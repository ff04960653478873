#include "Manifest.h"
#include "WindowFixture.h"
#include "logic/FileSize.h"

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
    void albumImagesOpenAsTrackRows();
    void badSheetsKeepTheList();

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

namespace {
const QString kCueData = QStringLiteral(SORVANO_TEST_DATA "/cue/");
}

// A sheet beside its image, and an image carrying its sheet, open as the
// manifest's rows: each its own range stream, its text naming the image, the
// track, its title and performer, its size the track's share of the image.
void PlaylistCommandsTest::albumImagesOpenAsTrackRows()
{
    const QStringList opened = {"a1-utf8.cue", "a4-embedded.ape", "a5-two-files.cue"};
    QList<QMap<QString, QString>> expected;
    for (const auto &row : Manifest::load(kCueData + "manifest.tsv").rows)
        if (opened.contains(row["sheet"]))
            expected << row;
    QCOMPARE(expected.size(), 13);
    QHash<QString, int64_t> imageFrames;
    for (const auto &row : expected)
        imageFrames[row["file"]] = row["end_sample"].toLongLong(); // the last row ends the image
    QStringList paths;
    for (const QString &name : opened)
        paths << kCueData + name;
    w.prompts.openAnswers.push_back(paths);
    w.form->OpenToolButtonClick();
    QCOMPARE(w.prompts.messageTexts(), QStringList());
    QCOMPARE(w.rowCount(), expected.size());
    const auto ranges = w.engine.callsStartingWith("ApeStreamCreateRange");
    QCOMPARE(ranges.size(), size_t(expected.size()));
    for (int i = 0; i < expected.size(); ++i) {
        const auto &row = expected[i];
        const QString image = kCueData + row["file"];
        QString text = image + " #" + row["track"].rightJustified(2, '0') + " " + row["title"];
        if (!row["performer"].isEmpty())
            text += QStringLiteral(" \u2014 ") + row["performer"];
        QCOMPARE(w.rowText(i, 0), text);
        QCOMPARE(w.rowPath(i), image);
        const int64_t first = row["start_sample"].toLongLong();
        const int64_t end = row["end_sample"].toLongLong();
        QCOMPARE(ranges[i], "ApeStreamCreateRange " + std::to_string(audio::kFlagUnicodePath) +
                                " " + std::to_string(first) + " " + std::to_string(end));
        QCOMPARE(w.engine.stream(w.rowStream(i))->path, image.toStdU16String());
        QCOMPARE(w.rowText(i, 1),
                 FormatFileSize(FileSizeOf(image) * (end - first) / imageFrames[row["file"]]));
    }
    QCOMPARE(w.selectedIndex(), expected.size() - 1);

    // Opened again, the sheet's tracks are highlighted and added once more.
    w.prompts.openAnswers.push_back(QStringList{paths[0]});
    w.form->OpenToolButtonClick();
    QCOMPARE(w.rowCount(), expected.size() + 5);
    QCOMPARE(w.rowStream(13) == w.rowStream(0), false);

    // Playing a track names it in the caption, as the list does.
    w.select(1);
    w.form->PlayToolButtonClick();
    QCOMPARE(w.form->windowTitle(), "Sorvano [" + w.rowText(1, 0) + "]");
}

// A sheet that cannot be used adds nothing and leaves the list as it was; one
// whose track starts past its image's end adds the tracks before it. Either
// way the message names the sheet.
void PlaylistCommandsTest::badSheetsKeepTheList()
{
    const QString a = makeFile("a.ape");
    w.form->OpenFiles({a});
    const auto sheet = [&](const QString &name, const QByteArray &text) {
        const QString path = w.dir->filePath(name);
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(text) == text.size() ? path : QString();
    };
    QVERIFY(QFile::copy(kCueData + "a1-utf8.ape", w.dir->filePath("image.ape")));
    const QString noFile = sheet("no-file.cue", "FILE \"gone.wav\" WAVE\n  TRACK 01 AUDIO\n"
                                                "    INDEX 01 00:00:00\n");
    const QString backwards = sheet("backwards.cue", "FILE \"image.ape\" WAVE\n"
                                                     "  TRACK 01 AUDIO\n    INDEX 01 00:10:00\n"
                                                     "  TRACK 02 AUDIO\n    INDEX 01 00:05:00\n");
    const QString binary = sheet("binary.cue", QByteArray("\x00\x01\xff\xfe\x00", 5));
    const QString pastEnd = sheet("past-end.cue", "FILE \"image.ape\" WAVE\n"
                                                  "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                                  "  TRACK 02 AUDIO\n    INDEX 01 00:10:00\n"
                                                  "  TRACK 03 AUDIO\n    INDEX 01 59:00:00\n");
    w.form->OpenFiles({noFile, backwards, binary});
    QCOMPARE(w.rowCount(), 1);
    QCOMPARE(w.rowPath(0), a);
    QStringList errors;
    for (const QString &path : {noFile, backwards, binary})
        errors << QStringLiteral("Error load the \"%1\".").arg(path);
    QCOMPARE(w.prompts.messageTexts(), errors);

    w.prompts.messages.clear();
    w.form->OpenFiles({pastEnd});
    QCOMPARE(w.rowCount(), 3);
    QCOMPARE(w.rowText(2, 0), w.dir->filePath("image.ape") + " #02");
    QCOMPARE(w.prompts.messageTexts(),
             QStringList{QStringLiteral("Error load the \"%1\".").arg(pastEnd)});

    // The engine refusing one track's stream names the image; the rest come.
    w.prompts.messages.clear();
    w.engine.refusedPaths.insert(w.dir->filePath("image.ape").toStdU16String());
    w.form->OpenFiles({kCueData + "a2-cp1251-wavname.cue", pastEnd});
    QCOMPARE(w.rowCount(), 7);
    QCOMPARE(
        w.prompts.messageTexts(),
        (QStringList{QStringLiteral("Error load the \"%1\".").arg(w.dir->filePath("image.ape")),
                     QStringLiteral("Error load the \"%1\".").arg(w.dir->filePath("image.ape")),
                     QStringLiteral("Error load the \"%1\".").arg(pastEnd)}));
}

SORVANO_WINDOW_TEST_MAIN(PlaylistCommandsTest)

#include "tst_playlist_commands.moc"

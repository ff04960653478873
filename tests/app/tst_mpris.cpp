// The desktop's media controls without a bus: the mapping between what the
// interface speaks of (track ids, microseconds, loop status, next and
// previous) and the player, and the requests as the window carries them out.
#include "Manifest.h"
#include "TagWriter.h"
#include "WindowFixture.h"
#include "logic/CoverArtFiles.h"
#include "logic/MprisMapping.h"
#include "window/Mpris.h"

#include <QCheckBox>
#include <QDBusObjectPath>
#include <QDirIterator>
#include <QSignalSpy>
#include <QtTest>
#include <limits>

using namespace mpris;

class MprisTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void mapping();
    void pauseHoldsTheRowAndPlayResumes();
    void nextAndPreviousWrapAndMetadataFollows();
    void seekLandsOnAFrameOfTheCurrentRow();
    void everythingRefusedDuringADecode();
    void albumTracksAreTracksOfTheirOwn();
    void tagsAndCoverInTheMetadata();

private:
    void addRows(const QStringList &names);
    audio::StreamHandle stream(int row) const { return w.rowStream(row); }
    ScriptedEngine::Stream &engineStream(int row) { return *w.engine.stream(stream(row)); }

    WindowFixture w;
    std::unique_ptr<MprisService> mpris;
};

void MprisTest::init()
{
    w.reset();
    w.create();
    w.form->show();
    mpris = std::make_unique<MprisService>(*w.form);
}

void MprisTest::cleanup()
{
    mpris.reset();
    w.engine.onGetData = nullptr;
}

// Rows of 1 s of 16-bit stereo at 44.1 kHz.
void MprisTest::addRows(const QStringList &names)
{
    QStringList paths;
    for (const QString &name : names) {
        paths << w.makeFile(name);
        w.engine.lengthForPath[paths.last().toStdU16String()] = 176400;
    }
    w.form->OpenFiles(paths);
    QCOMPARE(w.rowCount(), names.size());
}

void MprisTest::mapping()
{
    // Next and Previous wrap at both ends; with no row to start from they
    // begin at the first or the last.
    QCOMPARE(neighbourRow(2, 3, 1), 0);
    QCOMPARE(neighbourRow(0, 3, -1), 2);
    QCOMPARE(neighbourRow(1, 3, 1), 2);
    QCOMPARE(neighbourRow(0, 1, 1), 0);
    QCOMPARE(neighbourRow(-1, 3, 1), 0);
    QCOMPARE(neighbourRow(-1, 3, -1), 2);
    QCOMPARE(neighbourRow(-1, 0, 1), std::nullopt);

    // A track id names its stream and nothing else.
    QCOMPARE(streamOfTrackId(trackId(4000000000u)), 4000000000u);
    QVERIFY(trackId(101) != trackId(102));
    for (const QString &foreign :
         {QStringLiteral("/org/mpris/MediaPlayer2/TrackList/NoTrack"),
          trackId(7) + QStringLiteral("0x"), trackId(7) + QStringLiteral("/1"),
          QStringLiteral("/org/sorvano/Sorvano/Track/-1")})
        QCOMPARE(streamOfTrackId(foreign), std::nullopt);

    // Microseconds from whole frames; back to the nearest frame, clamped.
    QCOMPARE(microseconds(176400, 4, 44100), 1000000);
    QCOMPARE(microseconds(4, 4, 44100), 22);
    QCOMPARE(microseconds(7, 4, 44100), 22); // a part of a frame is not heard yet
    QCOMPARE(microseconds(2, 2, 8000), 125);
    QCOMPARE(microseconds(int64_t(3) * 3600 * 192000 * 8, 8, 192000), int64_t(3) * 3600 * 1000000);
    QCOMPARE(bytePosition(1000000, 4, 44100, 176400 * 2), 176400);
    QCOMPARE(bytePosition(11, 4, 44100, 176400), 0);
    QCOMPARE(bytePosition(12, 4, 44100, 176400), 4);
    QCOMPARE(bytePosition(-5, 4, 44100, 176400), 0);
    QCOMPARE(bytePosition(5000000, 4, 44100, 176400), 176400);
    QCOMPARE(bytePosition(std::numeric_limits<int64_t>::max(), 6, 192000, 6000), 6000);

    QCOMPARE(loopStatus(true), QStringLiteral("Playlist"));
    QCOMPARE(loopStatus(false), QStringLiteral("None"));
    QCOMPARE(loopTicked(QStringLiteral("Track")), true);
    QCOMPARE(loopTicked(QStringLiteral("None")), false);
    QCOMPARE(loopTicked(QStringLiteral("none")), std::nullopt);
}

void MprisTest::pauseHoldsTheRowAndPlayResumes()
{
    addRows({"a.ape", "b.ape"});
    w.select(0);
    QSignalSpy changes(mpris.get(), &MprisService::propertiesChanged);
    mpris->playPause(); // nothing plays: plays the selected row
    QCOMPARE(mpris->playbackStatus(), QStringLiteral("Playing"));
    QCOMPARE(changes.last().at(0).toMap().value("PlaybackStatus"), QVariant("Playing"));
    engineStream(0).position = 88200;

    mpris->pause();
    QCOMPARE(mpris->playbackStatus(), QStringLiteral("Paused"));
    QCOMPARE(changes.last().at(0).toMap().value("PlaybackStatus"), QVariant("Paused"));
    QCOMPARE(w.engine.callsStartingWith("ChannelPause"),
             std::vector<std::string>{"ChannelPause " + std::to_string(stream(0))});
    // The row stays current: caption, bar and position as they were.
    w.form->TimerTimer();
    QCOMPARE(w.form->CurrentIndex(), 0);
    QCOMPARE(w.form->windowTitle(), QStringLiteral("Sorvano [%1]").arg(w.rowPath(0)));
    QCOMPARE(w.child<QSlider>("TrackBar")->value(), 50);
    QCOMPARE(mpris->position(), 500000);

    mpris->play(); // resumes: no restart
    QCOMPARE(w.engine.callsStartingWith("ChannelResume").size(), size_t(1));
    QCOMPARE(engineStream(0).position, 88200);
    QCOMPARE(mpris->playbackStatus(), QStringLiteral("Playing"));
    mpris->playPause();
    QCOMPARE(mpris->playbackStatus(), QStringLiteral("Paused"));
    mpris->playPause();
    QCOMPARE(mpris->playbackStatus(), QStringLiteral("Playing"));

    // The window's own Play restarts a paused row; its Delete stops it.
    mpris->pause();
    w.form->PlayToolButtonClick();
    QCOMPARE(engineStream(0).position, 0);
    QCOMPARE(mpris->playbackStatus(), QStringLiteral("Playing"));
    mpris->pause();
    w.form->DeleteToolButtonClick();
    QCOMPARE(w.form->CurrentIndex(), -1);
    QCOMPARE(mpris->playbackStatus(), QStringLiteral("Stopped"));
    QCOMPARE(w.form->windowTitle(), QStringLiteral("Sorvano"));

    // A row played to its end is stopped; Pause leaves it so.
    w.select(0);
    mpris->play();
    engineStream(0).position = 176400;
    QCOMPARE(mpris->playbackStatus(), QStringLiteral("Stopped"));
    mpris->pause();
    QCOMPARE(mpris->playbackStatus(), QStringLiteral("Stopped"));

    // A paused file that can no longer be played: as a failed Play.
    engineStream(0).position = 0;
    mpris->pause();
    w.engine.playResult = false;
    mpris->play();
    QCOMPARE(w.prompts.messageTexts().last(),
             QStringLiteral("Error playing the file \"%1\".").arg(w.rowPath(0)));
    QCOMPARE(w.form->CurrentIndex(), -1);
    QCOMPARE(mpris->playbackStatus(), QStringLiteral("Stopped"));
}

void MprisTest::nextAndPreviousWrapAndMetadataFollows()
{
    addRows({"one.ape", "two words.ape", "three.ape"});
    QCOMPARE(w.selectedIndex(), 2);
    // Nothing current: the selected row's metadata.
    QVariantMap meta = mpris->metadata();
    QCOMPARE(meta.value("mpris:trackid").value<QDBusObjectPath>().path(), trackId(stream(2)));
    QCOMPARE(meta.value("mpris:length").toLongLong(), 1000000);
    QCOMPARE(meta.value("xesam:title").toString(), QStringLiteral("three"));

    QSignalSpy changes(mpris.get(), &MprisService::propertiesChanged);
    mpris->next(); // after the selected last row: the first
    QCOMPARE(w.form->CurrentIndex(), 0);
    QCOMPARE(w.selectedIndex(), 0);
    mpris->next();
    QCOMPARE(w.form->CurrentIndex(), 1);
    meta = mpris->metadata();
    QCOMPARE(meta.value("xesam:url").toString(),
             QString::fromUtf8(QUrl::fromLocalFile(w.rowPath(1)).toEncoded()));
    QVERIFY(meta.value("xesam:url").toString().endsWith("/two%20words.ape"));
    QCOMPARE(meta.value("xesam:title").toString(), QStringLiteral("two words"));
    // Announced once, with the state it ends in.
    QCOMPARE(changes.size(), 2);
    QCOMPARE(changes.last().at(0).toMap(), QVariantMap({{"Metadata", meta}}));

    // The current row, not the selected one, is where Previous starts.
    w.select(2);
    mpris->previous();
    QCOMPARE(w.form->CurrentIndex(), 0);
    mpris->previous();
    QCOMPARE(w.form->CurrentIndex(), 2);
    QCOMPARE(mpris->metadata().value("mpris:trackid").value<QDBusObjectPath>().path(),
             trackId(stream(2)));

    // LoopStatus is the Loop box, both ways.
    auto *loop = w.child<QCheckBox>("LoopCheckBox");
    mpris->setLoopStatus(QStringLiteral("None"));
    QVERIFY(!loop->isChecked());
    QCOMPARE(changes.last().at(0).toMap().value("LoopStatus"), QVariant("None"));
    loop->setChecked(true);
    QCOMPARE(mpris->loopStatus(), QStringLiteral("Playlist"));
    QTRY_COMPARE(changes.last().at(0).toMap().value("LoopStatus"), QVariant("Playlist"));
    mpris->setLoopStatus(QStringLiteral("None"));
    mpris->setLoopStatus(QStringLiteral("Track"));
    QVERIFY(loop->isChecked());
}

void MprisTest::seekLandsOnAFrameOfTheCurrentRow()
{
    addRows({"a.ape", "b.ape"});
    w.select(1);
    mpris->play();
    QSignalSpy seeked(mpris.get(), &MprisService::seeked);
    const QString id = trackId(stream(1));

    mpris->setPosition(trackId(stream(0)), 500000); // not the current track
    mpris->seek(0);
    QCOMPARE(engineStream(1).position, 0);
    mpris->setPosition(id, 500000);
    QCOMPARE(engineStream(1).position, 88200);
    QCOMPARE(seeked.last().at(0).toLongLong(), 500000);
    mpris->seek(250011); // 750011 us: frame 33075.48 -> 33075
    QCOMPARE(engineStream(1).position, 132300);
    mpris->seek(std::numeric_limits<qint64>::max());
    QCOMPARE(engineStream(1).position, 176400);
    mpris->seek(std::numeric_limits<qint64>::min());
    QCOMPARE(engineStream(1).position, 0);
    mpris->setPosition(id, 9000000);
    QCOMPARE(engineStream(1).position, 176400);
    QCOMPARE(seeked.last().at(0).toLongLong(), 1000000);

    // Paused, the seek moves where it resumes from.
    mpris->setPosition(id, 0);
    mpris->pause();
    mpris->setPosition(id, 250000);
    QCOMPARE(engineStream(1).position, 44100);
    QCOMPARE(mpris->playbackStatus(), QStringLiteral("Paused"));
}

void MprisTest::everythingRefusedDuringADecode()
{
    addRows({"a.ape", "b.ape"});
    w.engine.dataForPath[w.rowPath(0).toStdU16String()] = std::vector<uint8_t>(40000, 1);
    w.select(1);
    mpris->play();
    QSignalSpy changes(mpris.get(), &MprisService::propertiesChanged);
    const QString id = trackId(stream(1));
    bool ran = false;
    w.engine.onGetData = [&](audio::StreamHandle) {
        if (ran)
            return;
        ran = true;
        QVERIFY(!mpris->canControlNow());
        w.engine.calls.clear();
        mpris->pause();
        mpris->playPause();
        mpris->stop();
        mpris->next();
        mpris->previous();
        mpris->seek(100000);
        mpris->setPosition(id, 100000);
        mpris->setLoopStatus(QStringLiteral("None"));
        mpris->openUri(QUrl::fromLocalFile(w.rowPath(0)).toString());
        mpris->quit();
        QCOMPARE(w.engine.calls, std::vector<std::string>{});
        QCOMPARE(mpris->playbackStatus(), QStringLiteral("Playing"));
        QCOMPARE(mpris->metadata().value("xesam:title").toString(), QStringLiteral("b"));
        QCOMPARE(mpris->loopStatus(), QStringLiteral("Playlist"));
        QCOMPARE(w.rowCount(), 2);
        QVERIFY(w.form->isVisible());
    };
    w.form->DecodeFile(w.rowPath(0), w.dir->filePath("out.wav"));
    QVERIFY(ran);
    // The Can* flags went false when the decode began and back after it.
    QVERIFY(changes.size() >= 2);
    QCOMPARE(changes.first().at(0).toMap().value("CanPlay"), QVariant(false));
    QCOMPARE(changes.last().at(0).toMap().value("CanPlay"), QVariant(true));
    QVERIFY(mpris->canControlNow());

    // OpenUri afterwards: the file is added (once more) and played.
    mpris->openUri(QUrl::fromLocalFile(w.rowPath(0)).toString());
    QCOMPARE(w.rowCount(), 3);
    QCOMPARE(w.form->CurrentIndex(), 2);
    mpris->openUri(QStringLiteral("https://example.org/a.ape"));
    QCOMPARE(w.rowCount(), 3);
}

// Each track row of an album image is a track to the media controls: its own
// id, the sheet's title, performer and album, its number and its length.
void MprisTest::albumTracksAreTracksOfTheirOwn()
{
    const QString sheet = QStringLiteral(SORVANO_TEST_DATA "/cue/a7-hidden-track.cue");
    w.form->OpenFiles({sheet});
    QCOMPARE(w.rowCount(), 5);
    w.select(0);
    QVariantMap meta = mpris->metadata();
    // The audio before track 1 has no title or performer of its own.
    QCOMPARE(meta.value("xesam:trackNumber").toInt(), 0);
    QVERIFY(!meta.contains("xesam:artist"));
    QCOMPARE(meta.value("xesam:album").toString(), QStringLiteral("Hidden Track One"));
    QCOMPARE(meta.value("mpris:length").toLongLong(), 4000000);

    mpris->next();
    QCOMPARE(w.form->CurrentIndex(), 1);
    meta = mpris->metadata();
    QCOMPARE(meta.value("mpris:trackid").value<QDBusObjectPath>().path(), trackId(stream(1)));
    QCOMPARE(meta.value("xesam:title").toString(), QStringLiteral("After the Hidden Intro"));
    QCOMPARE(meta.value("xesam:artist").toStringList(), QStringList{"Sorvano Hidden"});
    QCOMPARE(meta.value("xesam:album").toString(), QStringLiteral("Hidden Track One"));
    QCOMPARE(meta.value("xesam:trackNumber").toInt(), 1);
    // 251664 frames at 44.1 kHz: 5706666.67 us, to the nearest.
    QCOMPARE(meta.value("mpris:length").toLongLong(), 5706667);
    QCOMPARE(meta.value("xesam:url").toString(),
             QString::fromUtf8(
                 QUrl::fromLocalFile(QStringLiteral(SORVANO_TEST_DATA "/cue/a7-hidden-track.ape"))
                     .toEncoded()));
    mpris->next();
    QCOMPARE(mpris->metadata().value("xesam:title").toString(), QStringLiteral("Second"));
}

void MprisTest::tagsAndCoverInTheMetadata()
{
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    // APEv2 first: its title in a code page (CP1251) instead of UTF-8, then
    // ID3v1 for what it lacks. The second file has an ID3v2 tag before the
    // audio, with the only cover, and the fixture's own APEv2 tag.
    const QString apeTagged = w.dir->filePath("ape.ape");
    const QString id3Tagged = w.dir->filePath("id3.ape");
    QVERIFY(QFile::copy(fixturePath("s16-stereo-44k-c2000.ape"), apeTagged));
    QVERIFY(QFile::copy(fixturePath("s16-stereo-44k-tagged-c2000.ape"), id3Tagged));
    const QByteArray cover = testPicture(1);
    QVERIFY(writeApeTags(apeTagged,
                         {{"Artist", "Кино"},
                          {"Album", "Группа крови"},
                          {"Album Artist", "V. T."},
                          {"Track", "3/12"},
                          {"Disc", "2"}},
                         cover));
    // TagLib would drop the undecodable title when it saves: written last.
    QVERIFY(writeId3v1(apeTagged, "Not this title", 1988, "Rock"));
    QVERIFY(writeRawApeText(apeTagged, "Title",
                            QByteArray("\xcf\xe5\xf1\xed\xff \xee \xe4\xe0\xeb\xb8\xea\xee\xe9 "
                                       "\xd0\xee\xe4\xe8\xed\xe5")));
    QVERIFY(prependId3v2(id3Tagged, {{"TPE2", "Various"}, {"TPOS", "1/2"}, {"TIT2", "Not it"}},
                         testPicture(2)));
    w.form->OpenFiles({apeTagged, id3Tagged, w.makeFile("plain.ape")});

    w.select(0);
    QVariantMap meta = mpris->metadata();
    QCOMPARE(meta.value("xesam:title").toString(), QStringLiteral("Песня о далёкой Родине"));
    QCOMPARE(meta.value("xesam:artist").toStringList(), QStringList{"Кино"});
    QCOMPARE(meta.value("xesam:album").toString(), QStringLiteral("Группа крови"));
    QCOMPARE(meta.value("xesam:albumArtist").toStringList(), QStringList{"V. T."});
    QCOMPARE(meta.value("xesam:trackNumber"), QVariant(3));
    QCOMPARE(meta.value("xesam:discNumber"), QVariant(2));
    QCOMPARE(meta.value("xesam:genre").toStringList(), QStringList{"Rock"});
    QCOMPARE(meta.value("xesam:contentCreated").toString(), QStringLiteral("1988-01-01T00:00:00Z"));
    const QUrl apeCover(meta.value("mpris:artUrl").toString());
    QVERIFY(apeCover.isLocalFile());
    QVERIFY(apeCover.toLocalFile().startsWith(runtime.path() + '/'));
    QFile written(apeCover.toLocalFile());
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), cover);
    // In a folder of the program's own that no one else may look into.
    QCOMPARE(QFileInfo(QFileInfo(written).path()).permissions() &
                 (QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup),
             QFile::Permissions());
    // Written once: the next look finds the same file.
    QCOMPARE(mpris->metadata().value("mpris:artUrl"), meta.value("mpris:artUrl"));

    w.select(1);
    meta = mpris->metadata();
    QCOMPARE(meta.value("xesam:title").toString(), QStringLiteral("Tagged ÄÖ 日本"));
    QCOMPARE(meta.value("xesam:albumArtist").toStringList(), QStringList{"Various"});
    QCOMPARE(meta.value("xesam:discNumber"), QVariant(1));
    QVERIFY(!meta.contains("xesam:trackNumber"));
    const QString id3Cover = QUrl(meta.value("mpris:artUrl").toString()).toLocalFile();
    QFile second(id3Cover);
    QVERIFY(second.open(QIODevice::ReadOnly));
    QCOMPARE(second.readAll(), testPicture(2));

    // No tags: the file name and nothing more.
    w.select(2);
    meta = mpris->metadata();
    QCOMPARE(meta.value("xesam:title").toString(), QStringLiteral("plain"));
    for (const char *key : {"xesam:artist", "xesam:album", "mpris:artUrl"})
        QVERIFY(!meta.contains(key));

    // A deleted row's cover goes with it; the rest go with the window.
    w.select(0);
    w.form->DeleteToolButtonClick();
    QVERIFY(!QFile::exists(apeCover.toLocalFile()));
    QVERIFY(QFile::exists(id3Cover));
    const QString folder = QFileInfo(id3Cover).path();
    mpris.reset();
    w.form.reset();
    QVERIFY(!QFileInfo::exists(folder));

    // A track row: the sheet's values first, the image's tags (a copy of
    // the image beside a copy of its sheet) for what the sheet lacks.
    w.reset();
    w.create();
    mpris = std::make_unique<MprisService>(*w.form);
    const QString image = w.dir->filePath("a1-utf8.ape");
    QVERIFY(QFile::copy(QStringLiteral(SORVANO_TEST_DATA "/cue/a1-utf8.ape"), image));
    QVERIFY(QFile::copy(QStringLiteral(SORVANO_TEST_DATA "/cue/a1-utf8.cue"),
                        w.dir->filePath("a1-utf8.cue")));
    QVERIFY(writeApeTags(image,
                         {{"Title", "Image"},
                          {"Album", "Not the sheet's"},
                          {"Year", "2001"},
                          {"Genre", "Folk"},
                          {"Track", "9"}},
                         cover));
    w.form->OpenFiles({w.dir->filePath("a1-utf8.cue")});
    QVERIFY(w.rowCount() >= 2);
    w.select(0);
    meta = mpris->metadata();
    QCOMPARE(meta.value("xesam:title").toString(), QStringLiteral("Morning Ünïcode"));
    QCOMPARE(meta.value("xesam:album").toString(), QStringLiteral("UTF-8 Album Image"));
    QCOMPARE(meta.value("xesam:trackNumber"), QVariant(1));
    QCOMPARE(meta.value("xesam:contentCreated").toString(), QStringLiteral("2001-01-01T00:00:00Z"));
    QCOMPARE(meta.value("xesam:genre").toStringList(), QStringList{"Folk"});
    const QString trackCover = QUrl(meta.value("mpris:artUrl").toString()).toLocalFile();
    w.select(1);
    // One file for the image's cover, kept while a row of it is left.
    QCOMPARE(QUrl(mpris->metadata().value("mpris:artUrl").toString()).toLocalFile(), trackCover);
    w.form->DeleteToolButtonClick();
    QVERIFY(QFile::exists(trackCover));
    mpris.reset();
    w.form.reset();

    // With no runtime folder the covers go to the cache folder.
    qunsetenv("XDG_RUNTIME_DIR");
    QTemporaryDir cache;
    qputenv("XDG_CACHE_HOME", cache.path().toUtf8());
    {
        CoverArtFiles files;
        files.retain(image);
        QVERIFY(files.fileFor(image).startsWith(cache.path() + '/'));
        QVERIFY(files.fileFor(apeTagged).isEmpty()); // no row holds it
    }
    QVERIFY(!QDirIterator(cache.path(), QDir::Files, QDirIterator::Subdirectories).hasNext());
}

SORVANO_WINDOW_TEST_MAIN(MprisTest)
#include "tst_mpris.moc"

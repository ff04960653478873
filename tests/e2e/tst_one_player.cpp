// The real sorvano binary as the desktop sees it beside other programs: one
// player for every start (on a private session bus), its stream as the sound
// server lists it, and files whose names are not UTF-8. Run by
// scripts/desktop-session.sh with openbox, trayer, a PulseAudio null sink and
// a dbus-daemon of its own.
#include "DesktopDriver.h"
#include "Manifest.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const char *const kFixture = "s16-stereo-44k-long-c2000.ape";

// The properties of the program's stream, as the sound server lists them.
QString soundServerStreams()
{
    return QString::fromUtf8(run(QStringLiteral("pactl"), {"list", "sink-inputs"}));
}

} // namespace

class OnePlayerTest : public QObject, public DesktopDriver
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void namedStream();

private:
    QTemporaryDir dir_;
    QString first_, second_;
};

void OnePlayerTest::initTestCase()
{
    QVERIFY(dir_.isValid());
    first_ = dir_.filePath(QStringLiteral("first.ape"));
    second_ = dir_.filePath(QStringLiteral("second track.ape"));
    for (const QString &path : {first_, second_})
        QVERIFY(QFile::copy(fixturePath(kFixture), path));
}

void OnePlayerTest::cleanupTestCase()
{
    stopSorvano(program_);
}

void OnePlayerTest::namedStream()
{
    program_.setArguments({first_, second_});
    startProgram();
    // Listed before anything plays, under the program's name.
    const auto listed = [](const QString &title) {
        const QString streams = soundServerStreams();
        return streams.contains(QStringLiteral("media.name = \"%1\"").arg(title)) &&
               streams.contains(QLatin1String("application.name = \"Sorvano\"")) &&
               streams.contains(QLatin1String("application.icon_name = \"sorvano\"")) &&
               streams.contains(QLatin1String("media.role = \"music\""));
    };
    QVERIFY_POLL(listed(QStringLiteral("Sorvano")));
    // The last file is the selected row; the name follows what plays.
    pressKeys({"ctrl+p"});
    QVERIFY_POLL(listed(QStringLiteral("second track.ape")));
    pressKeys({"End", "Home", "ctrl+p"});
    QVERIFY_POLL(listed(QStringLiteral("first.ape")));
    QVERIFY2(!soundServerStreams().contains(QLatin1String("second track.ape")),
             "a stream of the row played before is still there");
}

QTEST_GUILESS_MAIN(OnePlayerTest)
#include "tst_one_player.moc"

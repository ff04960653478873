// What the parts of sorvano_bench share: the figures table, the test rig of a
// real window on a real engine, the fixtures, and the --child-* modes that
// measure in a clean process.
#pragma once

#include "BenchSupport.h"
#include "PlayerWindow.h"
#include "audio/Engine.h"
#include "window/PlayerForms.h"

#include <QFile>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QToolButton>
#include <cstdint>
#include <optional>
#include <sys/resource.h>

namespace bench {

inline const QString kData = QStringLiteral(SORVANO_TEST_DATA "/ape");
// The engine asks SDL for this many frames per device buffer.
constexpr int64_t kDeviceBufferFrames = 1024;
// What the writer asks the engine for per block.
constexpr int64_t kBlockBytes = 10000;

// The descriptor limit the process started with.
extern rlimit gStartLimit;

void addFigure(const QString &section, const QString &name, double value, const QString &unit,
               const QString &budget, std::optional<bool> pass, const QString &note = {});
[[noreturn]] void fail(const QString &what);
QString selfPath();

// A real window on a real engine, its dialogs answered by script.
struct Rig : PlayerWindow<audio::Engine>
{
    Rig()
    {
        create();
        if (!showAndWait(*form))
            fail(QStringLiteral("the window was never exposed"));
        if (!prompts.messages.isEmpty())
            fail(QStringLiteral("start-up said: ") + prompts.messages.first().text);
    }

    QToolButton *button(const char *name) const { return child<QToolButton>(name); }
    void open(const QStringList &paths)
    {
        prompts.openAnswers.push_back(paths);
        button("OpenToolButton")->click();
    }
    void play(int row)
    {
        select(row);
        button("PlayToolButton")->click();
        if (form->CurrentIndex() != row)
            fail(QStringLiteral("row %1 did not start playing").arg(row));
    }
    void stop() { button("StopToolButton")->click(); }

    // Exports through the window's own decode path; returns the wall time.
    double decode(const QString &source, const QString &destination)
    {
        QFile::remove(destination);
        prompts.messages.clear();
        prompts.errorReports.clear();
        const int64_t start = monotonicNs();
        form->DecodeFile(source, destination);
        const double seconds = secondsSince(start);
        const QString done = QStringLiteral("Done, the output file is \"%1\".").arg(destination);
        if (!prompts.errorReports.isEmpty())
            fail(QStringLiteral("export failed: ") + prompts.errorReports.first());
        if (prompts.messages.isEmpty() || prompts.messages.last().text != done)
            fail(QStringLiteral("export of %1 did not finish").arg(source));
        return seconds;
    }
};

struct Fixture
{
    QString path;
    QString label;
    QByteArray md5;
    int level = 0;
    double audioSeconds = 0;
};

QList<Fixture> fixturesIn(const QString &dir, bool levelsOnly);

// Decodes a file to memory in the writer's block size, on the calling
// thread only. Returns the wall time; bytes gets the PCM size.
double bareDecode(const QString &path, int64_t *bytes = nullptr);
// CPU seconds the bare decoder spends on `audioSeconds` of a file's audio,
// starting over at its end as the looping player does.
double bareDecodeCpu(const QString &path, double audioSeconds);

// The --child-* modes; what they measure goes to standard output as
// key=value lines.
extern QByteArray gChildOutput;
int childStartup(int argc, char **argv);
int childExport(int argc, char **argv, const QString &source, const QString &destination);
int childPlaylist(int argc, char **argv, int rows);
int childPlay(int argc, char **argv, const QString &file, double seconds, int windows);

// The sections measured in children of this program.
QMap<QString, QString> runChild(const QStringList &arguments);
void benchStartup(int runs);
void benchMemory(const QList<Fixture> &big, int runs, const QString &tmp);
void benchPlaylist(int rows);
void benchPlayback(int runs);

// The sections measured on a window in this process.
void benchExport(Rig &rig, const QList<Fixture> &files, int runs, const QString &tmp,
                 bool haveFfmpeg);
void benchSeek(Rig &rig, const QString &file);
// A full verify of the long files against a decode to WAV, and its MD5 part
// against reading the file.
void benchVerify(Rig &rig, const QList<Fixture> &big, int runs, const QString &tmp);

// The gapless advance between two rows.
void benchGapless(int runs);

// Reading and laying out an album image's sheet.
void benchAlbum(int runs, const QString &tmp);

} // namespace bench

#include "logic/PlaylistModel.h"

#include <QSignalSpy>
#include <QtTest>

class PlaylistModelTest : public QObject
{
    Q_OBJECT
private slots:
    void batchShowsPathAndSizeReadOnly();
    void removeMovesLaterRowsUp();
    void loopWrapsPastTheLastRow();
    void deleteSelectsTheRowAbove();
};

namespace {

PlaylistModel::Row row(const QString &path, audio::StreamHandle stream)
{
    return PlaylistModel::fileRow(path, QStringLiteral("%1 bytes").arg(stream), stream);
}

QStringList paths(const PlaylistModel &model)
{
    QStringList result;
    for (int i = 0; i < model.rowCount(); ++i)
        result << model.rowAt(i)->path;
    return result;
}

void fill(PlaylistModel &model, int count)
{
    QList<PlaylistModel::Row> rows;
    for (int i = 0; i < count; ++i)
        rows << row(QStringLiteral("/r%1.ape").arg(i), audio::StreamHandle(i + 1));
    model.append(rows);
}

} // namespace

void PlaylistModelTest::batchShowsPathAndSizeReadOnly()
{
    PlaylistModel model;
    model.append({row("/a.ape", 7)});
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    model.append({row("/b.ape", 8), row("/a.ape", 9)});
    model.append({});
    // The batch is one insertion; a path already there is a row of its own.
    QCOMPARE(inserted.size(), 1);
    QCOMPARE(inserted[0][1].toInt(), 1);
    QCOMPARE(inserted[0][2].toInt(), 2);
    QCOMPARE(paths(model), QStringList({"/a.ape", "/b.ape", "/a.ape"}));
    QCOMPARE(model.rowAt(2)->stream, audio::StreamHandle(9));
    QVERIFY(!model.rowAt(3));
    QVERIFY(!model.rowAt(-1));

    QCOMPARE(model.columnCount(), 2);
    QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("APE Files"));
    QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("File Size"));
    QCOMPARE(model.index(1, 0).data().toString(), QStringLiteral("/b.ape"));
    QCOMPARE(model.index(1, 1).data().toString(), QStringLiteral("8 bytes"));
    // Plain left-aligned text, nothing else.
    for (int role : {int(Qt::TextAlignmentRole), int(Qt::DecorationRole), int(Qt::EditRole),
                     int(Qt::UserRole)})
        QVERIFY(!model.index(1, 0).data(role).isValid());
    QCOMPARE(model.flags(model.index(1, 1)), Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    // A table: rows have no children.
    QCOMPARE(model.rowCount(model.index(0, 0)), 0);
}

void PlaylistModelTest::removeMovesLaterRowsUp()
{
    PlaylistModel model;
    fill(model, 3);
    model.removeAt(1);
    QCOMPARE(paths(model), QStringList({"/r0.ape", "/r2.ape"}));
    QCOMPARE(model.rowAt(1)->stream, audio::StreamHandle(3));
    model.removeAt(2);
    model.removeAt(-1);
    QCOMPARE(model.rowCount(), 2);
}

void PlaylistModelTest::loopWrapsPastTheLastRow()
{
    PlaylistModel model;
    QCOMPARE(model.wrappedRow(0), std::nullopt);
    fill(model, 3);
    QCOMPARE(model.wrappedRow(1), 1);
    QCOMPARE(model.wrappedRow(2), 2);
    QCOMPARE(model.wrappedRow(3), 0);
    // Rows may have gone while the advance waited: still the first row.
    QCOMPARE(model.wrappedRow(7), 0);
}

void PlaylistModelTest::deleteSelectsTheRowAbove()
{
    PlaylistModel model;
    fill(model, 4);
    model.removeAt(2);
    QCOMPARE(model.neighbourOfRemoved(2), 1);
    model.removeAt(0);
    QCOMPARE(model.neighbourOfRemoved(0), 0);
    model.removeAt(1);
    model.removeAt(0);
    QCOMPARE(model.neighbourOfRemoved(0), std::nullopt);
}

QTEST_GUILESS_MAIN(PlaylistModelTest)
#include "tst_playlistmodel.moc"

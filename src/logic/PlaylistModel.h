#pragma once

#include "audio/AudioEngine.h"
#include "logic/ApeTagReader.h"
#include "logic/CueSheet.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>
#include <optional>

// The play list's rows: each file's path, its size as the list shows it, and
// the stream the engine opened for it; a track of an album image is a row of
// its own, with the image's path and the track's stretch of it. The list
// shows the row's text and the size; nothing in it is edited in place.
class PlaylistModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column
    {
        kPathColumn,
        kSizeColumn,
        kColumnCount,
    };
    struct Row
    {
        QString path; // the file; for a track row, its image
        QString sizeText;
        audio::StreamHandle stream = 0;
        // The file's name as the file system spells it; path is its text.
        // Empty when the row was made from text alone: fileName() serves both.
        QByteArray nativePath;
        // Set for a track row: which track, and its stretch of the image.
        std::optional<cue::AlbumTrack> track;
        // The file's tags (a track row's: its image's), read when it is added.
        TrackTags tags;

        // What the list and the window caption show: the path, and for a
        // track row its number, title and performer after it
        // ("/music/disc.ape #02 Title — Performer").
        QString text() const;
        // The name to open the file by: nativePath, else path encoded.
        QByteArray fileName() const;
        // Rows with the same key are the same file or the same track.
        QString key() const;
    };
    static Row fileRow(const QString &path, const QString &sizeText, audio::StreamHandle stream);
    // sizeText is the track's share of imageBytes, the whole image's size.
    static Row trackRow(const cue::AlbumTrack &track, int64_t imageBytes,
                        audio::StreamHandle stream);

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    // What the sound server shows while the row plays: its file's name, and
    // a track's number, title and performer after it.
    static QString titleOf(const Row &row);

    // Null outside the list; valid until the rows change.
    const Row *rowAt(int64_t row) const;
    // One insertion for the whole batch: a view lays itself out once, not
    // once a row, which counts when thousands of files are opened at once.
    void append(QList<Row> rows);
    void removeAt(int row);

    // The row the Loop advance plays: `row` itself, or the first row when
    // `row` is past the last. None when there is no such row.
    std::optional<int> wrappedRow(int64_t row) const;
    // The row Delete selects once `removed` is gone: the one above it, or
    // the new first row. None when the list is empty.
    std::optional<int> neighbourOfRemoved(int removed) const;

private:
    QList<Row> rows_;
};

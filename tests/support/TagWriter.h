#pragma once

// Tags written into copies of the fixtures with TagLib, so tagged files are
// made by the tests that need them rather than kept as binary files.
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

using TagItems = QList<QPair<QString, QString>>;

// A small PNG picture, different for each seed.
QByteArray testPicture(int seed);

// APEv2 text items (key, value) and, when cover is not empty, the binary
// item "Cover Art (Front)" ("cover.png", a NUL, the picture).
bool writeApeTags(const QString &path, const TagItems &items, const QByteArray &cover = {});

// An APEv2 text item whose value is the given bytes, as an older tagger
// writing its code page instead of UTF-8 left it.
bool writeRawApeText(const QString &path, const QString &key, const QByteArray &bytes);

// An ID3v1 tag at the end (title, year, genre).
bool writeId3v1(const QString &path, const QString &title, int year, const QString &genre);

// An ID3v2.4 tag put before the audio: text frames (frame id, text) and,
// when cover is not empty, a front cover.
bool prependId3v2(const QString &path, const TagItems &frames, const QByteArray &cover = {});

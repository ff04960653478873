#pragma once

#include <QList>
#include <QMap>
#include <QString>

// A tab-separated fixture manifest: a header row naming the columns, then
// one row per file.
struct Manifest
{
    QStringList columns;
    QList<QMap<QString, QString>> rows;

    static Manifest load(const QString &path);
    bool hasColumn(const QString &name) const { return columns.contains(name); }
};

// Folder of the APE conformance fixtures: SORVANO_APE_FIXTURES when set,
// otherwise the copy in the repository.
QString apeFixtureDir();
// A file of that folder: fixturePath("s16-stereo-44k-c2000.ape").
QString fixturePath(const QString &name);
QString apeCorruptDir();

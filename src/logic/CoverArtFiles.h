#pragma once

#include <QHash>
#include <QString>
#include <memory>

class QTemporaryDir;

// The front covers the desktop's media controls show: they take a picture
// only as a file, so each audio file's cover is written once, to a folder of
// this process's own under $XDG_RUNTIME_DIR (or the cache folder when there is
// none), and goes when the last row of that file does. The folder and
// whatever is left in it go with this object.
class CoverArtFiles
{
public:
    // baseFolder empty: $XDG_RUNTIME_DIR, else the cache folder.
    explicit CoverArtFiles(QString baseFolder = {});
    ~CoverArtFiles();
    CoverArtFiles(const CoverArtFiles &) = delete;
    CoverArtFiles &operator=(const CoverArtFiles &) = delete;

    // A row of audioPath whose tags hold a front cover came, or went.
    void retain(const QString &audioPath);
    void release(const QString &audioPath);

    // The file that holds audioPath's front cover, written on the first call
    // for a retained path. Empty when the file has no readable picture or it
    // cannot be written; that is remembered, not tried again.
    QString fileFor(const QString &audioPath);

    // Where the files go; empty until the first is written.
    QString folder() const;

private:
    struct Entry
    {
        int rows = 0;
        bool tried = false;
        QString file;
    };
    bool makeFolder();

    QString baseFolder_;
    std::unique_ptr<QTemporaryDir> folder_;
    QHash<QString, Entry> entries_;
    quint64 written_ = 0;
};

#include "logic/SetAsideFile.h"

#include <QRandomGenerator>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

bool SetAsideFile::moveAside(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray() : path.left(slash + 1);
    const QByteArray fileName = path.mid(slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray to =
            folder + '.' + fileName + '.' +
            QByteArray::number(QRandomGenerator::global()->generate(), 16).rightJustified(8, '0') +
            ".part";
        if (::renameat2(AT_FDCWD, path.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) ==
            0) {
            path_ = path;
            aside_ = to;
            return true;
        }
        // A file system that cannot rename without replacing: deleted at
        // once, as before.
        if (errno == EINVAL)
            return ::unlink(path.constData()) == 0;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

void SetAsideFile::discard()
{
    if (!aside_.isEmpty())
        ::unlink(aside_.constData());
    aside_.clear();
}

void SetAsideFile::restore()
{
    if (!aside_.isEmpty())
        ::renameat2(AT_FDCWD, aside_.constData(), AT_FDCWD, path_.constData(), RENAME_NOREPLACE);
    aside_.clear();
}

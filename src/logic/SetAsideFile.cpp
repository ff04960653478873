#include "logic/SetAsideFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

bool SetAsideFile::moveAside(const QString &path)
{
    const QFileInfo info(path);
    const QByteArray from = QFile::encodeName(path);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString name =
            QStringLiteral(".%1.%2.part")
                .arg(info.fileName())
                .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
        const QByteArray to = QFile::encodeName(info.dir().filePath(name));
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) ==
            0) {
            path_ = from;
            aside_ = to;
            return true;
        }
        // A file system that cannot rename without replacing: deleted at
        // once, as before.
        if (errno == EINVAL)
            return QFile::remove(path);
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

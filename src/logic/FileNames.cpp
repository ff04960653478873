#include "logic/FileNames.h"

#include <QList>
#include <QUrl>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr QChar kReplacement(0xFFFD);

QList<QByteArray> componentsOf(const QByteArray &path)
{
    QList<QByteArray> parts;
    for (const QByteArray &part : path.split('/'))
        if (!part.isEmpty())
            parts << part;
    return parts;
}

// The entries of folder whose shown text is name.
QList<QByteArray> entriesShownAs(const QByteArray &folder, const QString &name)
{
    QList<QByteArray> found;
    const std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir(folder.constData()), &::closedir);
    if (!dir)
        return found;
    while (const dirent *entry = ::readdir(dir.get())) {
        const QByteArray entryName(entry->d_name);
        if (displayPath(entryName) == name)
            found << entryName;
    }
    return found;
}

} // namespace

QString displayPath(const QByteArray &path)
{
    return QString::fromUtf8(path);
}

bool isUtf8(const QByteArray &path)
{
    return QString::fromUtf8(path).toUtf8() == path;
}

QByteArray absolutePath(const QByteArray &path, const QByteArray &workingDirectory)
{
    const QByteArray full = path.startsWith('/') ? path : workingDirectory + '/' + path;
    QList<QByteArray> kept;
    for (const QByteArray &part : componentsOf(full)) {
        if (part == ".")
            continue;
        if (part == "..") {
            if (!kept.isEmpty())
                kept.removeLast();
            continue;
        }
        kept << part;
    }
    return '/' + kept.join('/');
}

QByteArray currentDirectory()
{
    std::unique_ptr<char, void (*)(void *)> cwd(::getcwd(nullptr, 0), &::free);
    return cwd ? QByteArray(cwd.get()) : QByteArray("/");
}

ResolvedPath resolveShownPath(const QString &shown)
{
    // Text without a replacement character stands for its own UTF-8 only:
    // every byte that is not UTF-8 shows as one.
    if (!shown.contains(kReplacement))
        return {shown.toUtf8(), shown, false};
    QByteArray resolved = shown.startsWith(QLatin1Char('/')) ? QByteArray() : QByteArray(".");
    for (const QString &part : shown.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        QByteArray name = part.toUtf8();
        if (part.contains(kReplacement)) {
            const QList<QByteArray> found =
                entriesShownAs(resolved.isEmpty() ? QByteArray("/") : resolved, part);
            if (found.size() > 1)
                return {{}, shown, true};
            if (found.size() == 1)
                name = found.constFirst();
        }
        resolved += '/' + name;
    }
    return {resolved.isEmpty() ? QByteArray("/") : resolved, shown, false};
}

ResolvedPath nativePath(const QByteArray &path)
{
    return {path, displayPath(path), false};
}

std::optional<QByteArray> localPathOfUri(const QString &uri)
{
    const QUrl url(uri);
    if (!url.isValid() || url.scheme() != QLatin1String("file") ||
        !(url.host().isEmpty() || url.host() == QLatin1String("localhost")))
        return std::nullopt;
    const QByteArray path =
        QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    if (path.isEmpty() || path.contains('\0'))
        return std::nullopt;
    return path;
}

QString fileUri(const QByteArray &path)
{
    if (isUtf8(path))
        return QString::fromUtf8(QUrl::fromLocalFile(displayPath(path)).toEncoded());
    return QStringLiteral("file://") + QString::fromLatin1(path.toPercentEncoding("/"));
}

bool isFileAt(const QByteArray &path)
{
    struct stat st;
    return !path.isEmpty() && ::stat(path.constData(), &st) == 0 && S_ISREG(st.st_mode);
}

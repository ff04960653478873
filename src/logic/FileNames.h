#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// File names as the file system spells them: any bytes but NUL, which need
// not be UTF-8 (names from old code pages, copied from archives and shares).
// A name is kept as its bytes wherever a file is opened or written, and its
// text is only what the window shows.

// The text shown for a name: its UTF-8, with a replacement character where
// its bytes are not UTF-8. As Qt decodes names, so it equals what Qt's own
// file dialogs show.
QString displayPath(const QByteArray &path);
bool isUtf8(const QByteArray &path);

// path made absolute against workingDirectory, with "." and ".." taken out
// and slashes single, as QDir::cleanPath does for text.
QByteArray absolutePath(const QByteArray &path, const QByteArray &workingDirectory);
QByteArray currentDirectory();

// What a file dialog's text stands for: dialogs hand over lossy text, so a
// name with a replacement character is matched against the real entries of
// its folder. Ambiguous when several entries show as the same text; a name
// that matches none is kept as its UTF-8 (it names no file).
struct ResolvedPath
{
    QByteArray path;
    QString shown;
    bool ambiguous = false;
};
ResolvedPath resolveShownPath(const QString &shown);
ResolvedPath nativePath(const QByteArray &path);

// The bytes a file:// URI names (percent-encoded bytes), or none for any
// other URI.
std::optional<QByteArray> localPathOfUri(const QString &uri);
// The file:// URI of the path, encoded as QUrl encodes UTF-8 names.
QString fileUri(const QByteArray &path);

// A regular file (or a link to one) is there.
bool isFileAt(const QByteArray &path);

#include "logic/CoverArtFiles.h"

#include "logic/ApeTagReader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <utility>

CoverArtFiles::CoverArtFiles(QString baseFolder) : baseFolder_(std::move(baseFolder)) {}

CoverArtFiles::~CoverArtFiles() = default;

void CoverArtFiles::retain(const QString &audioPath)
{
    ++entries_[audioPath].rows;
}

void CoverArtFiles::release(const QString &audioPath)
{
    const auto it = entries_.find(audioPath);
    if (it == entries_.end() || --it->rows > 0)
        return;
    if (!it->file.isEmpty())
        QFile::remove(it->file);
    entries_.erase(it);
}

QString CoverArtFiles::fileFor(const QString &audioPath)
{
    const auto it = entries_.find(audioPath);
    if (it == entries_.end())
        return {};
    if (std::exchange(it->tried, true))
        return it->file;
    const std::optional<QByteArray> picture = readFrontCover(audioPath);
    if (!picture || !makeFolder())
        return {};
    // The suffix tells a viewer what the bytes are: some look at nothing else.
    const QString file = folder_->filePath(
        QStringLiteral("cover-%1.%2").arg(++written_).arg(pictureSuffix(*picture)));
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(*picture) != picture->size() || !out.flush()) {
        out.remove();
        return {};
    }
    it->file = file;
    return file;
}

QString CoverArtFiles::folder() const
{
    return folder_ ? folder_->path() : QString();
}

bool CoverArtFiles::makeFolder()
{
    if (folder_)
        return true;
    QString base = baseFolder_;
    if (base.isEmpty())
        base = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (base.isEmpty() || !QFileInfo(base).isDir())
        base = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    if (base.isEmpty() || !QDir().mkpath(base))
        return false;
    // Made with mkdtemp: a fresh name, readable by this user only.
    auto folder = std::make_unique<QTemporaryDir>(QDir(base).filePath("sorvano-covers-XXXXXX"));
    if (!folder->isValid())
        return false;
    folder_ = std::move(folder);
    return true;
}

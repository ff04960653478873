#include "logic/DecodeLayout.h"

#include <QFile>

QString proposedWavPath(const QString &path)
{
    return QFile::decodeName(proposedWavPath(QFile::encodeName(path)));
}

QString proposedTrackWavPath(const cue::AlbumTrack &track)
{
    QString name = QString::number(track.number).rightJustified(2, u'0');
    if (const QString title = track.title.trimmed(); !title.isEmpty()) {
        name += QStringLiteral(" - ");
        for (const QChar c : title)
            name += c.unicode() < 0x20 || QStringLiteral("/\\:*?\"<>|").contains(c) ? u'_' : c;
    }
    const qsizetype slash = track.imagePath.lastIndexOf(QLatin1Char('/'));
    return track.imagePath.left(slash + 1) + name + QStringLiteral(".wav");
}

QByteArray proposedWavPath(const QByteArray &path)
{
    const qsizetype dot = path.lastIndexOf('.');
    if (dot < 0 || path.indexOf('/', dot) >= 0)
        return path + ".wav";
    return path.left(dot) + ".wav";
}

QPoint decodePanelPosition(QSize outerWindow, QSize panel)
{
    return QPoint((outerWindow.width() - panel.width()) / 2,
                  (outerWindow.height() - panel.height()) / 2 - panel.height());
}

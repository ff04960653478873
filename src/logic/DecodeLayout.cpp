#include "logic/DecodeLayout.h"

QString proposedWavPath(const QString &path)
{
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || path.indexOf(QLatin1Char('/'), dot) >= 0)
        return path + QStringLiteral(".wav");
    return path.left(dot) + QStringLiteral(".wav");
}

QPoint decodePanelPosition(QSize outerWindow, QSize panel)
{
    return QPoint((outerWindow.width() - panel.width()) / 2,
                  (outerWindow.height() - panel.height()) / 2 - panel.height());
}

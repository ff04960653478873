#include "Manifest.h"

#include <QFile>
#include <QTextStream>

Manifest Manifest::load(const QString &path)
{
    Manifest m;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return m;
    QTextStream in(&f);
    bool header = true;
    while (!in.atEnd()) {
        const QString line = in.readLine();
        if (line.trimmed().isEmpty())
            continue;
        const QStringList cells = line.split('\t');
        if (header) {
            m.columns = cells;
            header = false;
            continue;
        }
        QMap<QString, QString> row;
        for (int i = 0; i < m.columns.size(); ++i)
            row[m.columns[i]] = i < cells.size() ? cells[i] : QString();
        m.rows.append(row);
    }
    return m;
}

QString apeFixtureDir()
{
    const QByteArray env = qgetenv("SORVANO_APE_FIXTURES");
    if (!env.isEmpty())
        return QString::fromLocal8Bit(env);
    return QStringLiteral(SORVANO_TEST_DATA "/ape");
}

QString fixturePath(const QString &name)
{
    return apeFixtureDir() + QLatin1Char('/') + name;
}

QString apeCorruptDir()
{
    return QStringLiteral(SORVANO_TEST_DATA "/ape/corrupt");
}

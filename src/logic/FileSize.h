#pragma once

#include <QString>
#include <cstdint>

// Size of the file at path in bytes, or -1 when nothing is there.
int64_t FileSizeOf(const QString &path);
int64_t FileSizeOf(const QByteArray &nativePath);

// The size text of a playlist row: "1.13 KB", "5 GB", "1024 bytes".
QString FormatFileSize(int64_t size, QChar decimalSeparator);
// The same with the separator of the user's locale, read once at start-up.
QString FormatFileSize(int64_t size);

// Reads the locale's decimal separator; call once at start-up.
void readDecimalSeparator();
QChar decimalSeparator();

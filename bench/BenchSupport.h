#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <ctime>
#include <vector>

class TPlayerForm;

namespace bench {

// CLOCK_MONOTONIC in nanoseconds: comparable between processes.
int64_t monotonicNs();
double secondsSince(int64_t startNs);
double cpuSeconds(clockid_t clock);

// A field of /proc/self/status in KiB (VmRSS, VmHWM), or -1.
long statusKb(const char *field);
int openDescriptors();

double median(std::vector<double> values);
double maximum(const std::vector<double> &values);

struct ProcessResult
{
    int status = -1; // exit status, or -1 when it did not exit normally
    int64_t startNs = 0;
    double seconds = 0;
    QByteArray output; // standard output
};

// Runs a program (searched in PATH), standard output captured.
ProcessResult runProcess(const QStringList &arguments);

// The key=value lines a child printed.
QMap<QString, QString> parseFields(const QByteArray &output);

// MD5 of the data chunk of a RIFF/WAVE file, hex; empty when there is none.
QByteArray wavDataMd5(const QString &path);

// Runs the event loop for the given time.
void pumpFor(int milliseconds);
// Shows the window and waits until the platform reports it exposed.
bool showAndWait(TPlayerForm &form);

} // namespace bench

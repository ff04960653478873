#include "BenchSupport.h"

#include "window/PlayerForms.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace bench {

int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double secondsSince(int64_t startNs)
{
    return double(monotonicNs() - startNs) / 1e9;
}

double cpuSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

long statusKb(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').first().toLong();
    }
    return -1;
}

int openDescriptors()
{
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count - 1; // the directory's own descriptor
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double maximum(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

ProcessResult runProcess(const QStringList &arguments)
{
    ProcessResult result;
    std::vector<std::string> store;
    for (const QString &a : arguments)
        store.push_back(QFile::encodeName(a).toStdString());
    std::vector<char *> argv;
    for (std::string &s : store)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    pid_t pid = 0;
    result.startNs = monotonicNs();
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        return result;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.output.append(buffer, n);
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.seconds = secondsSince(result.startNs);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

QMap<QString, QString> parseFields(const QByteArray &output)
{
    QMap<QString, QString> fields;
    for (const QByteArray &line : output.split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            fields.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    return fields;
}

QByteArray wavDataMd5(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray riff = f.read(12);
    if (riff.size() != 12 || !riff.startsWith("RIFF") || riff.mid(8, 4) != "WAVE")
        return {};
    for (;;) {
        const QByteArray chunk = f.read(8);
        if (chunk.size() != 8)
            return {};
        quint32 size = 0;
        std::memcpy(&size, chunk.constData() + 4, 4);
        if (chunk.startsWith("data")) {
            QCryptographicHash md5(QCryptographicHash::Md5);
            qint64 left = size;
            while (left > 0) {
                const QByteArray block = f.read(std::min<qint64>(left, 1 << 20));
                if (block.isEmpty())
                    break;
                md5.addData(block);
                left -= block.size();
            }
            return md5.result().toHex();
        }
        if (!f.seek(f.pos() + size + (size & 1)))
            return {};
    }
}

void pumpFor(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

bool showAndWait(TPlayerForm &form)
{
    form.show();
    const int64_t start = monotonicNs();
    while (!form.windowHandle() || !form.windowHandle()->isExposed()) {
        if (secondsSince(start) > 10)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    QCoreApplication::processEvents();
    return true;
}

} // namespace bench

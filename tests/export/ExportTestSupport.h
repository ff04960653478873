#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <sys/fsuid.h>
#include <unistd.h>

// The controls a running decode or verify disables, by object name.
inline const char *const kLockOut[] = {
    "OpenToolButton",   "DeleteToolButton", "PlayToolButton", "StopToolButton", "DecodeToolButton",
    "VerifyToolButton", "ExitToolButton",   "LoopCheckBox",   "TrackBar",       "OpenMenuItem",
    "DeleteMenuItem",   "PlayMenuItem",     "StopMenuItem",   "DecodeMenuItem", "VerifyMenuItem",
    "ExitMenuItem",     "ListView"};

// Open file descriptors of this process, to show that a failed export
// leaves no file open.
struct FdCount
{
    static int count()
    {
        return int(QDir("/proc/self/fd")
                       .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                       .size());
    }
    const int before = count();
    int now() const { return count(); }
};

// Makes folder read-only for this thread while the object lives. Tests run
// as root, whom permissions do not stop, so the thread's file-system user
// becomes "nobody" meanwhile; parent is opened up so nobody can reach folder.
class ReadOnlyFolder
{
public:
    ReadOnlyFolder(const QString &parent, const QString &folder) : parent_(parent), folder_(folder)
    {
        QFile::setPermissions(parent_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                           QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                           QFile::ExeOther);
        QFile::setPermissions(folder_, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                           QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
        if (::geteuid() == 0) {
            ::setfsuid(65534);
            dropped_ = true;
        }
    }
    ~ReadOnlyFolder()
    {
        if (dropped_)
            ::setfsuid(0);
        QFile::setPermissions(folder_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    ReadOnlyFolder(const ReadOnlyFolder &) = delete;
    ReadOnlyFolder &operator=(const ReadOnlyFolder &) = delete;

private:
    QString parent_;
    QString folder_;
    bool dropped_ = false;
};

#pragma once

#include <QByteArray>

// An existing destination the user agreed to replace. It is moved to a free
// hidden name beside itself instead of being deleted, and put back unless a
// complete new file took its place, so a decode that fails (a full disk, a
// damaged source) never costs the user the old file.
class SetAsideFile
{
public:
    SetAsideFile() = default;
    SetAsideFile(const SetAsideFile &) = delete;
    SetAsideFile &operator=(const SetAsideFile &) = delete;
    ~SetAsideFile() { restore(); }

    // path is the name as the file system spells it. False when the file
    // cannot be moved (and so could not be deleted either).
    bool moveAside(const QByteArray &path);

    // The new file is complete: the old one goes.
    void discard();

    // Back under its name, unless something else has taken that name since.
    void restore();

private:
    QByteArray path_;
    QByteArray aside_;
};

#pragma once

#include "audio/Verify.h"

#include <QString>
#include <cstdio>
#include <string>
#include <vector>

// "m:ss", the seconds truncated; minutes go past 59.
std::string minutesSeconds(double seconds);

// What is wrong with a damaged file, as one clause: "3 of 12 frames fail
// their check, the first at 0:42", or the MD5's mismatch when every frame
// passes.
std::string damageDetails(const audio::VerifyResult &result);

// The command line's line for one file, without a newline:
// "<path>: ok", "<path>: damaged: <details>", "<path>: unreadable: <reason>".
std::string verifyLine(const std::string &path, const audio::VerifyResult &result);

// The window's notice: its text, and whether it is an error.
struct VerifyMessage
{
    QString text;
    bool error = false;
};
VerifyMessage verifyMessage(const QString &path, const audio::VerifyResult &result);

// Exit status for files checked: 0 all intact, 1 any damaged, 2 any that
// could not be read (which outweighs damage).
int verifyExitStatus(const std::vector<audio::VerifyResult::Status> &statuses);

// `--verify`: checks each file in turn, one line each on out; while one runs,
// a progress line on `progress` when it is not null (a terminal). Returns
// the exit status.
int runVerifyCommand(const std::vector<std::string> &files, std::FILE *out, std::FILE *progress);

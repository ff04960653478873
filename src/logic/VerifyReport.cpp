#include "logic/VerifyReport.h"

#include <algorithm>
#include <cmath>

using audio::VerifyResult;

std::string minutesSeconds(double seconds)
{
    const int64_t whole = seconds > 0 ? int64_t(std::floor(seconds)) : 0;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(whole / 60),
                  static_cast<long long>(whole % 60));
    return text;
}

std::string damageDetails(const VerifyResult &result)
{
    if (result.failedFrames == 0)
        return "its contents do not match the MD5 it stores, though every frame passes its check";
    return std::to_string(result.failedFrames) + " of " + std::to_string(result.frames) +
           " frames fail their check, the first at " + minutesSeconds(result.firstFailedSeconds);
}

std::string verifyLine(const std::string &path, const VerifyResult &result)
{
    switch (result.status) {
    case VerifyResult::Status::Intact:
        return path +
               (result.md5Stored ? ": ok" : ": ok (no MD5 stored; every frame passes its check)");
    case VerifyResult::Status::Damaged:
        return path + ": damaged: " + damageDetails(result);
    case VerifyResult::Status::Cancelled:
        return path + ": cancelled";
    case VerifyResult::Status::Unreadable:
        break;
    }
    return path + ": unreadable: " + result.reason;
}

VerifyMessage verifyMessage(const QString &path, const VerifyResult &result)
{
    switch (result.status) {
    case VerifyResult::Status::Intact:
        if (result.md5Stored)
            return {QStringLiteral("The file \"%1\" is intact.").arg(path), false};
        return {QStringLiteral("The file \"%1\" is intact (it stores no MD5; every frame passes "
                               "its check).")
                    .arg(path),
                false};
    case VerifyResult::Status::Damaged:
        return {QStringLiteral("The file \"%1\" is damaged: %2.")
                    .arg(path, QString::fromStdString(damageDetails(result))),
                true};
    case VerifyResult::Status::Unreadable:
    case VerifyResult::Status::Cancelled:
        break;
    }
    return {QStringLiteral("The file \"%1\" cannot be verified: %2.")
                .arg(path, QString::fromStdString(result.reason)),
            true};
}

int verifyExitStatus(const std::vector<VerifyResult::Status> &statuses)
{
    int status = 0;
    for (VerifyResult::Status s : statuses) {
        if (s == VerifyResult::Status::Damaged)
            status = std::max(status, 1);
        else if (s != VerifyResult::Status::Intact)
            status = 2;
    }
    return status;
}

int runVerifyCommand(const std::vector<std::string> &files, std::FILE *out, std::FILE *progress)
{
    std::vector<VerifyResult::Status> statuses;
    for (const std::string &file : files) {
        audio::VerifyOptions options;
        size_t shown = 0;
        if (progress)
            options.progress = [&](int percent) {
                const std::string text = file + ": " + std::to_string(percent) + "%";
                std::fprintf(progress, "\r%s", text.c_str());
                std::fflush(progress);
                shown = std::max(shown, text.size());
                return true;
            };
        // The name as the bytes it came as: no conversion on the way.
        const VerifyResult result = audio::verifyFile(std::filesystem::path(file), options);
        if (progress && shown > 0) {
            std::fprintf(progress, "\r%*s\r", int(shown), "");
            std::fflush(progress);
        }
        std::fprintf(out, "%s\n", verifyLine(file, result).c_str());
        std::fflush(out);
        statuses.push_back(result.status);
    }
    return verifyExitStatus(statuses);
}

// Verify against what it must not be slower than: a full verify of each long
// file against a decode of it to WAV on all cores, and the MD5 part against
// reading the file from the page cache (the hash, not the reading, sets its
// pace there; the note gives both speeds).
#include "SorvanoBench.h"
#include "audio/Verify.h"

#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

std::filesystem::path fsPath(const QString &path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

// Reads the whole file in the MD5 part's piece size; returns the wall time.
double readWhole(const QString &path, int64_t *bytes)
{
    const int64_t start = monotonicNs();
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail(QStringLiteral("cannot open ") + path);
    std::vector<char> buffer(size_t(1) << 20);
    int64_t total = 0;
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;)
        total += n;
    ::close(fd);
    *bytes = total;
    return secondsSince(start);
}

double md5Part(const QString &path)
{
    const int64_t start = monotonicNs();
    if (audio::checkStoredMd5(fsPath(path), nullptr) != audio::Md5Check::Matches)
        fail(QStringLiteral("the MD5 of %1 does not match").arg(path));
    return secondsSince(start);
}

} // namespace

void benchVerify(Rig &rig, const QList<Fixture> &big, int runs, const QString &tmp)
{
    const QString out = tmp + QStringLiteral("/verify-export.wav");
    for (const Fixture &f : big) {
        std::vector<double> ratios, verifyTimes, decodeTimes;
        std::vector<double> warm, warmMd5, warmRead;
        int64_t bytes = 0;
        readWhole(f.path, &bytes); // into the page cache
        rig.engine.setDecodeThreads(0);
        for (int r = 0; r < runs; ++r) {
            double verify = 0, decode = 0;
            // The order alternates, so neither always runs on a warmer machine.
            for (int k = 0; k < 2; ++k) {
                if ((k + r) % 2 == 0) {
                    const int64_t start = monotonicNs();
                    const audio::VerifyResult result = audio::verifyFile(fsPath(f.path));
                    verify = secondsSince(start);
                    if (result.status != audio::VerifyResult::Status::Intact)
                        fail(QStringLiteral("verify of %1 did not find it intact").arg(f.path));
                } else {
                    decode = rig.decode(f.path, out);
                }
            }
            QFile::remove(out);
            ratios.push_back(verify / decode);
            verifyTimes.push_back(verify);
            decodeTimes.push_back(decode);

            const double md5Warm = md5Part(f.path);
            const double readWarm = readWhole(f.path, &bytes);
            warm.push_back(md5Warm / readWarm);
            warmMd5.push_back(md5Warm);
            warmRead.push_back(readWarm);
        }
        const double mb = double(bytes) / 1e6;
        const double ratio = median(ratios);
        addFigure(QStringLiteral("verify"),
                  QStringLiteral("verify %1: wall / decode to WAV, all cores").arg(f.label), ratio,
                  QStringLiteral("x"), QStringLiteral("<= 1.0"), ratio <= 1.0,
                  QStringLiteral("%1 s vs %2 s")
                      .arg(median(verifyTimes), 0, 'f', 3)
                      .arg(median(decodeTimes), 0, 'f', 3));
        addFigure(QStringLiteral("verify"),
                  QStringLiteral("MD5 part %1 / read, page cache").arg(f.label), median(warm),
                  QStringLiteral("x"), QStringLiteral("reported"), std::nullopt,
                  QStringLiteral("%1 vs %2 MB/s")
                      .arg(mb / median(warmMd5), 0, 'f', 0)
                      .arg(mb / median(warmRead), 0, 'f', 0));
    }
}

} // namespace bench

// Long runs through the real window and engine on SDL's disk driver, which
// plays faster than real time (SDL_DISKAUDIODELAY=0) into a FIFO that this
// test reads: a 50-row playlist looped for 200 advances, whose device-format
// rows must come out sample for sample in order; and 10,000 rows opened,
// played through and deleted. Memory and descriptors stay flat.
#include "Manifest.h"
#include "RealWindow.h"
#include "TestToolkit.h"

#include <QApplication>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

#ifdef __SANITIZE_ADDRESS__
// AddressSanitizer holds freed memory in quarantine, so resident memory grows
// by design; its leak checker speaks for memory in that build instead.
constexpr bool kMemoryIsMeasurable = false;
#else
constexpr bool kMemoryIsMeasurable = true;
#endif

int openDescriptors()
{
    return int(QDir("/proc/self/fd")
                   .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                   .size());
}

// With nothing playing: once stopped workers have closed their files.
int settledDescriptors()
{
    int last = openDescriptors();
    for (int stable = 0, i = 0; stable < 4 && i < 100; ++i) {
        QTest::qWait(50);
        const int now = openDescriptors();
        stable = now == last ? stable + 1 : 0;
        last = now;
    }
    return last;
}

qint64 residentKiB()
{
    QFile f("/proc/self/status");
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

// One stereo frame as the device gets it.
struct Frame
{
    float left, right;
    bool operator==(const Frame &) const = default;
    bool silent() const { return left == 0.0f && right == 0.0f; }
};

// What one row must put on the device: for a row in the device's format its
// frames in order, silent frames left out (the device also hears silence
// wherever nothing is queued); for any other row, nothing known.
struct RowAudio
{
    bool deviceFormat = false;
    std::vector<Frame> frames;
};

// Reads the disk driver's output from the FIFO and follows the playlist
// through it: every frame of a device-format row must come next, exactly;
// the resampled frames of other rows are passed over up to the first frame of
// the next device-format row.
class OutputChecker
{
public:
    void start(const QString &fifo)
    {
        thread_ = std::thread([this, fifo] { run(fifo); });
    }
    void stop(const QString &fifo)
    {
        stop_ = true;
        // A reader waiting in open() for the next device wakes up and ends.
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_RDWR);
        if (fd >= 0)
            ::close(fd);
        if (thread_.joinable())
            thread_.join();
    }
    void expect(std::vector<const RowAudio *> order)
    {
        std::lock_guard lock(mutex_);
        order_ = std::move(order);
        row_ = 0;
        offset_ = 0;
        failure_.clear();
        matching_ = true;
        skipEmptyRows();
    }
    void ignore()
    {
        std::lock_guard lock(mutex_);
        matching_ = false;
    }
    // Rows fully heard so far, and the first mismatch if any.
    size_t rowsHeard() const
    {
        std::lock_guard lock(mutex_);
        return row_;
    }
    QString failure() const
    {
        std::lock_guard lock(mutex_);
        return failure_;
    }
    uint64_t framesRead() const { return frames_; }

private:
    void run(const QString &fifo)
    {
        const QByteArray name = QFile::encodeName(fifo);
        std::vector<Frame> block(4096);
        while (!stop_) {
            // Waits for the device: each Init of the engine opens the FIFO anew.
            const int fd = ::open(name.constData(), O_RDONLY);
            if (fd < 0)
                return;
            size_t carry = 0; // bytes of a partial frame at the front of block
            for (;;) {
                auto *bytes = reinterpret_cast<char *>(block.data());
                const ssize_t n = ::read(fd, bytes + carry, block.size() * sizeof(Frame) - carry);
                if (n <= 0)
                    break;
                const size_t total = carry + static_cast<size_t>(n);
                const size_t frames = total / sizeof(Frame);
                consume(block.data(), frames);
                carry = total % sizeof(Frame);
                std::memmove(bytes, bytes + frames * sizeof(Frame), carry);
            }
            ::close(fd);
        }
    }

    void consume(const Frame *frames, size_t count)
    {
        frames_ += count;
        std::lock_guard lock(mutex_);
        if (!matching_ || !failure_.isEmpty())
            return;
        for (size_t i = 0; i < count; ++i) {
            const Frame f = frames[i];
            if (f.silent())
                continue;
            if (row_ >= order_.size()) {
                failure_ = QString("a frame after the last row");
                return;
            }
            const RowAudio &row = *order_[row_];
            if (row.deviceFormat) {
                if (!(f == row.frames[offset_])) {
                    failure_ = QString("row %1, frame %2 of its sound frames differs")
                                   .arg(row_)
                                   .arg(offset_);
                    return;
                }
                if (++offset_ == row.frames.size()) {
                    ++row_;
                    offset_ = 0;
                    skipEmptyRows();
                }
                continue;
            }
            // Another format: its frames pass until the next device-format
            // row begins.
            size_t next = row_ + 1;
            while (next < order_.size() &&
                   !(order_[next]->deviceFormat && !order_[next]->frames.empty()))
                ++next;
            if (next < order_.size() && f == order_[next]->frames.front()) {
                row_ = next;
                offset_ = 1;
                if (offset_ == order_[next]->frames.size()) {
                    ++row_;
                    offset_ = 0;
                    skipEmptyRows();
                }
            }
        }
    }

    void skipEmptyRows()
    {
        while (row_ < order_.size() && order_[row_]->deviceFormat && order_[row_]->frames.empty())
            ++row_;
    }

    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> frames_{0};
    mutable std::mutex mutex_;
    bool matching_ = false;
    std::vector<const RowAudio *> order_;
    size_t row_ = 0;
    size_t offset_ = 0;
    QString failure_;
};

OutputChecker *checker = nullptr;

} // namespace

class SoakTest : public QObject, private RealWindow
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void loopFiftyRows();
    void tenThousandRows();

private:
    // Waits for the current row to play to its end, then runs the tick that
    // the timer would (unless the timer did so first). False on a hang.
    bool advance()
    {
        const int64_t index = form->CurrentIndex();
        const audio::StreamHandle stream = rowStream(int(index));
        QElapsedTimer clock;
        clock.start();
        while (form->CurrentIndex() == index &&
               engine.ChannelGetPosition(stream, audio::kPosByte) < form->CurrentLength()) {
            if (clock.elapsed() > 20000)
                return false;
            QCoreApplication::processEvents();
            std::this_thread::yield();
        }
        if (form->CurrentIndex() == index)
            form->TimerTimer();
        return true;
    }
    // The decoded audio of a fixture, checked against the manifest.
    RowAudio rowAudio(const QMap<QString, QString> &m);
};

void SoakTest::init()
{
    showWindow();
    QVERIFY2(prompts.messages.isEmpty(), "the engine starts on the disk driver");
    QVERIFY(engine.outputRate() == 44100 && engine.outputChannels() == 2);
}

void SoakTest::cleanup()
{
    checker->ignore();
    form.reset();
}

RowAudio SoakTest::rowAudio(const QMap<QString, QString> &m)
{
    RowAudio row;
    const ScopedStream h(engine, fixturePath(m["file"]), audio::kFlagDecodeOnly);
    if (h == 0)
        return row;
    QByteArray pcm;
    QByteArray block(10000, 0);
    while (engine.ChannelIsActive(h) != audio::kActiveStopped) {
        const uint32_t n = engine.ChannelGetData(h, block.data(), 10000);
        if (n == audio::kDataError)
            break;
        pcm.append(block.constData(), n);
    }
    if (QCryptographicHash::hash(pcm, QCryptographicHash::Md5).toHex() != m["pcm_md5"].toLatin1())
        qFatal("%s does not decode to its manifest MD5", qPrintable(m["file"]));
    row.deviceFormat = m["channels"] == "2" && m["bits"] == "16" && m["rate"] == "44100";
    if (!row.deviceFormat)
        return row;
    const auto *s = reinterpret_cast<const int16_t *>(pcm.constData());
    for (qsizetype i = 0; i + 1 < pcm.size() / 2; i += 2) {
        // The engine turns 16-bit samples into floats by dividing by 32768,
        // which is exact; nothing after it may change them.
        const Frame f{s[i] / 32768.0f, s[i + 1] / 32768.0f};
        if (!f.silent())
            row.frames.push_back(f);
    }
    return row;
}

void SoakTest::loopFiftyRows()
{
    const Manifest manifest = Manifest::load(fixturePath("manifest.tsv"));
    std::map<QString, RowAudio> audioOf;
    for (const auto &m : manifest.rows)
        audioOf[m["file"]] = RowAudio();
    // Short files, most in the device's format, a few to be converted.
    const QStringList kinds = {
        "s16-stereo-44k-c2000.ape",      "s16-stereo-44k-tiny-c2000.ape",
        "s16-stereo-44k-one-c2000.ape",  "s16-stereo-44k-fullscale-c2000.ape",
        "s16-stereo-44k-tiny-c2000.ape", "s16-stereo-44k-silence-c2000.ape",
        "s16-stereo-44k-one-c2000.ape",  "s16-stereo-44k-tiny-c2000.ape",
        "s16-mono-22k-c2000.ape",        "s16-stereo-44k-c2000.ape",
        "u8-mono-8k-odd-c2000.ape",      "s16-stereo-48k-c3000.ape"};
    for (const auto &m : manifest.rows)
        if (kinds.contains(m["file"]))
            audioOf[m["file"]] = rowAudio(m);
    QStringList paths;
    for (int i = 0; i < 50; ++i)
        paths << fixturePath(kinds[i % kinds.size()]);

    open(paths);
    QCOMPARE(rowCount(), 50);
    QVERIFY(form->findChild<QCheckBox *>("LoopCheckBox")->isChecked());

    constexpr int kAdvances = 200;
    std::vector<const RowAudio *> order;
    for (int i = 0; i <= kAdvances; ++i)
        order.push_back(&audioOf[QFileInfo(paths[i % 50]).fileName()]);
    checker->expect(order);

    select(0);
    form->PlayToolButtonClick();
    int fdsAfterFirstLoop = 0;
    qint64 rssAfterFirstLoop = 0;
    for (int n = 1; n <= kAdvances; ++n) {
        QVERIFY2(advance(), qPrintable(QString("row %1 never ended").arg(n - 1)));
        QCOMPARE(form->CurrentIndex(), int64_t(n % 50));
        QCOMPARE(form->windowTitle(), QStringLiteral("Sorvano [%1]").arg(paths[n % 50]));
        if (n == 50) {
            fdsAfterFirstLoop = openDescriptors();
            rssAfterFirstLoop = residentKiB();
        }
    }
    // Every row before the one now playing has come out whole.
    QTRY_VERIFY_WITH_TIMEOUT(
        checker->rowsHeard() >= size_t(kAdvances) || !checker->failure().isEmpty(), 5000);
    QCOMPARE(checker->failure(), QString());
    QVERIFY(checker->rowsHeard() >= size_t(kAdvances));
    QCOMPARE(prompts.messages.size(), 0);

    const int fdsAtEnd = openDescriptors();
    const qint64 rssAtEnd = residentKiB();
    qInfo("%d advances, %llu frames out; descriptors %d -> %d; RSS %lld -> %lld KiB", kAdvances,
          static_cast<unsigned long long>(checker->framesRead()), fdsAfterFirstLoop, fdsAtEnd,
          rssAfterFirstLoop, rssAtEnd);
    // Counted while rows play: the playing row's decoder holds its file, the
    // queued next row's may or may not have opened its own yet, and stopped
    // rows' workers may still be closing theirs. A leak grows by the loop.
    QVERIFY2(fdsAtEnd <= fdsAfterFirstLoop + 4, "descriptors grow with each loop");
    if (kMemoryIsMeasurable)
        QVERIFY2(rssAtEnd - rssAfterFirstLoop < 16 * 1024, "resident memory grows with each loop");
}

void SoakTest::tenThousandRows()
{
    checker->ignore();
    form->findChild<QCheckBox *>("LoopCheckBox")->setChecked(true);
    const QString file = fixturePath("s16-stereo-44k-one-c2000.ape");
    // One row through first, so that what the window and libraries open once
    // (and keep) is open before counting.
    open(QStringList{file});
    select(0);
    form->PlayToolButtonClick();
    QVERIFY(advance());
    form->StopToolButtonClick();
    form->DeleteToolButtonClick();
    QCOMPARE(rowCount(), 0);
    malloc_trim(0);
    const int fdsBefore = settledDescriptors();
    const qint64 rssBefore = residentKiB();
    const size_t heapBefore = mallinfo2().uordblks;
    constexpr int kRows = 10000;
    open(QStringList(kRows, file));
    QCOMPARE(rowCount(), kRows);
    QCOMPARE(prompts.messages.size(), 0);
    const qint64 rssOpened = residentKiB();
    QVERIFY(settledDescriptors() <= fdsBefore);

    select(0);
    form->PlayToolButtonClick();
    for (int n = 1; n <= kRows; ++n) {
        QVERIFY2(advance(), qPrintable(QString("row %1 never ended").arg(n - 1)));
        QCOMPARE(form->CurrentIndex(), int64_t(n % kRows));
    }
    const qint64 rssPlayed = residentKiB();
    QCOMPARE(prompts.messages.size(), 0);
    form->StopToolButtonClick();
    QVERIFY(settledDescriptors() <= fdsBefore);

    select(0);
    for (int n = 0; n < kRows; ++n)
        form->DeleteToolButtonClick();
    QCOMPARE(rowCount(), 0);
    QCOMPARE(prompts.messages.size(), 0);
    malloc_trim(0);
    const qint64 rssDeleted = residentKiB();
    const size_t heapDeleted = mallinfo2().uordblks;
    qInfo("10000 rows: RSS %lld KiB before, %lld opened, %lld played through, %lld deleted; "
          "descriptors %d -> %d",
          rssBefore, rssOpened, rssPlayed, rssDeleted, fdsBefore, settledDescriptors());
    QVERIFY(settledDescriptors() <= fdsBefore);
    // Playing every row once costs nothing that stays.
    if (kMemoryIsMeasurable)
        QVERIFY2(rssPlayed - rssOpened < 16 * 1024, "playing rows leaves memory behind");

    // The list and the engine keep the capacity they grew to, but a second
    // round of as many rows must find room in it: nothing stays per row.
    open(QStringList(kRows, file));
    QCOMPARE(rowCount(), kRows);
    select(0);
    for (int n = 0; n < kRows; ++n)
        form->DeleteToolButtonClick();
    malloc_trim(0);
    const size_t heapAgain = mallinfo2().uordblks;
    qInfo("heap in use: %zu bytes before, %zu after deleting, %zu after a second round", heapBefore,
          heapDeleted, heapAgain);
    QVERIFY2(!kMemoryIsMeasurable || double(heapAgain) - double(heapDeleted) < 512 * 1024,
             qPrintable(QString("a round of 10000 rows leaves %1 bytes behind")
                            .arg(double(heapAgain) - double(heapDeleted))));
    QVERIFY(settledDescriptors() <= fdsBefore);
}

int main(int argc, char **argv)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath("device.f32");
    if (::mkfifo(QFile::encodeName(fifo).constData(), 0600) != 0)
        qFatal("cannot make a FIFO for the disk driver");
    qputenv("SDL_AUDIODRIVER", "disk");
    qputenv("SDL_DISKAUDIODELAY", "0");
    qputenv("SDL_DISKAUDIOFILE", QFile::encodeName(fifo));
    OutputChecker output;
    checker = &output;
    output.start(fifo);

    int status;
    {
        QApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("Sorvano"));
        SoakTest test;
        status = QTest::qExec(&test, argc, argv);
    }
    output.stop(fifo);
    return status;
}

#include "tst_soak.moc"

// The Decode command through the real window on the real engine.
#include "Manifest.h"
#include "RealWindow.h"
#include "TestToolkit.h"
#include "WindowFixture.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QLabel>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

class DecodeCommandRealTest : public QObject, private RealWindow
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void decodesWhileAnotherRowPlays();
    void damagedSourceReported();
    void trackRowDecodesItsSamples();

private:
    void decode(const QString &destination)
    {
        prompts.saveAnswers.push_back(destination);
        form->findChild<QToolButton *>("DecodeToolButton")->click();
    }

    QTemporaryDir dir;
};

void DecodeCommandRealTest::init()
{
    showWindow();
    QVERIFY2(prompts.messages.isEmpty(), "the engine starts on the dummy driver");
}

void DecodeCommandRealTest::cleanup()
{
    form.reset();
}

void DecodeCommandRealTest::decodesWhileAnotherRowPlays()
{
    const QString hires = fixturePath("s24-stereo-96k-c5000.ape");
    const QString mono = fixturePath("s16-mono-22k-c2000.ape");
    open(QStringList{hires, mono});
    QCOMPARE(rowCount(), 2);
    select(1);
    form->PlayToolButtonClick();
    QCOMPARE(form->CurrentIndex(), 1);

    select(0);
    const QString dest = dir.filePath("hires.wav");
    decode(dest);
    QCOMPARE(prompts.errorReports, QStringList());
    QCOMPARE(prompts.messageTexts(),
             QStringList{QStringLiteral("Done, the output file is \"%1\".").arg(dest)});
    QCOMPARE(form->CurrentIndex(), 1);

    QFile f(dest);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    QCOMPARE(bytes.size(), 44 + 1152000);
    QCOMPARE(uint8_t(bytes[34]), uint8_t(24)); // bits per sample
    QCOMPARE(QCryptographicHash::hash(bytes.mid(44), QCryptographicHash::Md5).toHex(),
             QByteArray("ad7fb0b5760809676698143de7329749"));
}

void DecodeCommandRealTest::damagedSourceReported()
{
    const QString damaged = apeCorruptDir() + "/cut-50pct.ape";
    open(QStringList{damaged});
    QCOMPARE(rowCount(), 1);
    select(0);
    const QString dest = dir.filePath("damaged.wav");
    decode(dest);
    QCOMPARE(prompts.errorReports,
             QStringList{QStringLiteral("Cannot decode file \"%1\".").arg(damaged)});
    QVERIFY(prompts.messages.isEmpty());
    QVERIFY(!QFile::exists(dest));
    QVERIFY(form->findChild<QLabel *>("DecodePanel")->isHidden());
    QVERIFY(form->FormCloseQuery());
}

// A track of a 24-bit image in the middle of its APE frames: exactly its
// samples, under the name of its number and title.
void DecodeCommandRealTest::trackRowDecodesItsSamples()
{
    const QString data = QStringLiteral(SORVANO_TEST_DATA "/cue/");
    QMap<QString, QString> track;
    for (const auto &row : Manifest::load(data + "manifest.tsv").rows)
        if (row["sheet"] == "a6-48k-24bit.cue" && row["track"] == "3")
            track = row;
    open(QStringList{data + "a6-48k-24bit.cue"});
    QCOMPARE(rowCount(), 4);
    select(2);
    const QString dest = dir.filePath("three.wav");
    decode(dest);
    QCOMPARE(prompts.proposedSavePaths, QStringList{data + "03 - " + track["title"] + ".wav"});
    QCOMPARE(prompts.errorReports, QStringList());
    QCOMPARE(prompts.messageTexts(),
             QStringList{QStringLiteral("Done, the output file is \"%1\".").arg(dest)});
    const QByteArray bytes = readFile(dest);
    QCOMPARE(bytes.size(), 44 + track["frames"].toLongLong() * 6);
    QCOMPARE(QCryptographicHash::hash(bytes.mid(44), QCryptographicHash::Md5).toHex(),
             track["pcm_md5"].toLatin1());
}

SORVANO_WINDOW_TEST_MAIN(DecodeCommandRealTest)
#include "tst_decodecommand_real.moc"

// The Verify command: checks the selected row's file, its stored MD5 and
// every frame, while the window stays usable.
#include "logic/VerifyReport.h"
#include "window/PlayerForms.h"

#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <atomic>
#include <exception>
#include <thread>

namespace {

// How often the panel follows the verify, and the loop looks whether it ended.
constexpr int kPanelTickMs = 100;

} // namespace

void TPlayerForm::VerifyToolButtonClick(QObject *)
{
    Guarded([&] {
        const int selected = SelectedRowOrAsk();
        if (selected < 0)
            return;
        const PlaylistModel::Row &row = *RowAt(selected);
        const QString path = row.path;
        const std::optional<audio::VerifyResult> result = VerifyFileShowingProgress(row.fileName());
        if (!result)
            return;
        const VerifyMessage message = verifyMessage(path, *result);
        FPrompts.message(message.error ? MessageKind::Error : MessageKind::Information,
                         message.text);
    });
}

std::optional<audio::VerifyResult>
TPlayerForm::VerifyFileShowingProgress(const QByteArray &fileName)
{
    const std::filesystem::path file(fileName.toStdString());
    std::atomic<int> percent{-1};
    std::atomic<bool> cancel{false};
    std::atomic<bool> done{false};
    audio::VerifyResult result;
    std::exception_ptr failure;
    bool ending = false;

    ShowProgressPanel();
    try {
        // The decoding runs on threads of its own, so the window's events go
        // on in a loop here rather than between blocks as a decode's do.
        // That loop also ends when the program is asked to end: the verify
        // is then cancelled, since it has nothing to lose.
        QEventLoop loop;
        audio::VerifyOptions options;
        options.progress = [&](int p) {
            percent = p;
            return !cancel.load();
        };
        struct Join
        {
            std::thread &thread;
            std::atomic<bool> &cancel;
            ~Join()
            {
                cancel = true;
                thread.join();
            }
        };
        std::thread worker([&, options] {
            try {
                result = FVerifyFile(file, options);
            } catch (...) {
                failure = std::current_exception();
            }
            done = true;
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
        const Join join{worker, cancel};
        QTimer tick;
        int shown = -1;
        connect(&tick, &QTimer::timeout, &loop, [&] {
            const int p = percent.load();
            if (p != shown && p >= 0) {
                shown = p;
                DecodePanel->setText(QStringLiteral("Verifying ... %1%").arg(p));
            }
            if (done)
                loop.quit();
        });
        tick.start(kPanelTickMs);
        if (!done)
            loop.exec();
        ending = !done;
    } catch (...) {
        failure = std::current_exception();
    }
    HideProgressPanel();
    if (failure)
        std::rethrow_exception(failure);
    if (ending || result.status == audio::VerifyResult::Status::Cancelled)
        return std::nullopt;
    return result;
}

#pragma once

// What the tests share: the fixtures (fixturePath, from Manifest.h), whole
// files read and written, streams opened the way the window opens them, an
// engine that is freed however a test ends, and streams that are too. Header-only beside
// Manifest.cpp, so that the sanitized test, which links only the engine and
// Qt, can use it as well.
#include "Manifest.h"
#include "audio/Engine.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtGlobal>

#include <optional>
#include <string>

// The whole file, or nothing when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Replaces the file's contents; false unless all of bytes were written.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Opens path as the window does: a UTF-16 name with kFlagUnicodePath.
inline audio::StreamHandle openStream(audio::IAudioEngine &engine, const QString &path,
                                      uint32_t flags = 0)
{
    const std::u16string wide = path.toStdU16String();
    return engine.ApeStreamCreateFile(false, wide.c_str(), 0, 0, flags | audio::kFlagUnicodePath);
}

// An engine initialised for as long as the session lives. A test checks
// initialised() where it would have checked Init.
//
// Init runs at the first use, inside a test function: a session that is a
// member of the test object would otherwise start the audio thread before
// QtTest sets up, and QtTest's setenv then races the getenv of that thread
// (a crash in glibc, seen about once in a hundred starts).
class EngineSession
{
public:
    explicit EngineSession(int device = -1, uint32_t freq = 44100, uint32_t flags = 0,
                           void *window = nullptr)
        : device_(device), freq_(freq), flags_(flags), window_(window)
    {
    }
    ~EngineSession()
    {
        // Free must succeed on an engine that Init started; the destructor
        // cannot fail a test function, so it ends the run instead.
        if (initialised_.value_or(false) && !engine_.Free())
            qFatal("Free() failed on an initialised engine");
    }
    EngineSession(const EngineSession &) = delete;
    EngineSession &operator=(const EngineSession &) = delete;

    bool initialised() { return started(); }
    audio::Engine &operator*()
    {
        started();
        return engine_;
    }
    audio::Engine *operator->() { return &**this; }

private:
    bool started()
    {
        if (!initialised_)
            initialised_ = engine_.Init(device_, freq_, flags_, window_);
        return *initialised_;
    }

    audio::Engine engine_;
    int device_;
    uint32_t freq_;
    uint32_t flags_;
    void *window_;
    std::optional<bool> initialised_;
};

// A stream freed when it goes out of scope, so that a failed check leaves
// nothing open. Freeing it earlier by hand is fine: handles are never reused.
class ScopedStream
{
public:
    ScopedStream(audio::IAudioEngine &engine, const QString &path, uint32_t flags = 0)
        : engine_(engine), handle_(openStream(engine, path, flags))
    {
    }
    ~ScopedStream()
    {
        if (handle_ != 0)
            engine_.StreamFree(handle_);
    }
    ScopedStream(const ScopedStream &) = delete;
    ScopedStream &operator=(const ScopedStream &) = delete;

    operator audio::StreamHandle() const { return handle_; }

private:
    audio::IAudioEngine &engine_;
    audio::StreamHandle handle_;
};

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
class EngineSession
{
public:
    explicit EngineSession(int device = -1, uint32_t freq = 44100, uint32_t flags = 0,
                           void *window = nullptr)
        : initialised_(engine_.Init(device, freq, flags, window))
    {
    }
    ~EngineSession()
    {
        // Free must succeed on an engine that Init started; the destructor
        // cannot fail a test function, so it ends the run instead.
        if (initialised_ && !engine_.Free())
            qFatal("Free() failed on an initialised engine");
    }
    EngineSession(const EngineSession &) = delete;
    EngineSession &operator=(const EngineSession &) = delete;

    bool initialised() const { return initialised_; }
    audio::Engine &operator*() { return engine_; }
    audio::Engine *operator->() { return &engine_; }

private:
    audio::Engine engine_;
    bool initialised_;
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

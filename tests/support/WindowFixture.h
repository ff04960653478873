#pragma once

#include "PlayerWindow.h"
#include "ScriptedEngine.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <memory>

// A main window on a scripted engine with scripted prompts.
struct WindowFixture : PlayerWindow<ScriptedEngine>
{
    std::unique_ptr<QTemporaryDir> dir;

    // A fresh engine, prompts and file folder; the window is made by create().
    void reset()
    {
        form.reset();
        engine = ScriptedEngine();
        prompts = ScriptedPrompts();
        dir = std::make_unique<QTemporaryDir>();
    }

    // A file of `bytes` bytes in the fixture's folder (the scripted engine
    // never reads it; the Open command only needs it to exist).
    QString makeFile(const QString &name, int bytes = 10) const
    {
        const QString path = dir->filePath(name);
        QFile f(path);
        if (f.open(QIODevice::WriteOnly))
            f.write(QByteArray(bytes, 'x'));
        return path;
    }
    QStringList makeFiles(int count) const
    {
        QStringList paths;
        for (int i = 0; i < count; ++i)
            paths << makeFile(QStringLiteral("row%1.ape").arg(i));
        return paths;
    }
};

// main() for window tests: a QApplication titled as the program is.
#define SORVANO_WINDOW_TEST_MAIN(TestClass)                                                        \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        QApplication app(argc, argv);                                                              \
        QCoreApplication::setApplicationName(QStringLiteral("Sorvano"));                           \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }

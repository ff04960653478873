#pragma once

#include "ScriptedEngine.h"
#include "ScriptedPrompts.h"
#include "app/PlayerForms.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <memory>

// A main window on a scripted engine with scripted prompts.
struct WindowFixture
{
    ScriptedEngine engine;
    ScriptedPrompts prompts;
    std::unique_ptr<TPlayerForm> form;
    std::unique_ptr<QTemporaryDir> dir;

    // A fresh engine, prompts and file folder; the window is made by create().
    void reset()
    {
        form.reset();
        engine = ScriptedEngine();
        prompts = ScriptedPrompts();
        dir = std::make_unique<QTemporaryDir>();
    }
    void create() { form = std::make_unique<TPlayerForm>(engine, prompts); }

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

    template <typename T> T *child(const char *name) const
    {
        return form->findChild<T *>(QString::fromLatin1(name));
    }
    QTreeWidget *list() const { return child<QTreeWidget>("ListView"); }
    int rowCount() const { return list()->topLevelItemCount(); }
    QString rowPath(int i) const { return list()->topLevelItem(i)->text(0); }
    audio::StreamHandle rowStream(int i) const
    {
        return list()->topLevelItem(i)->data(0, Qt::UserRole).value<audio::StreamHandle>();
    }
    // Index of the selected row, or -1.
    int selectedIndex() const
    {
        const auto rows = list()->selectionModel()->selectedRows();
        return rows.isEmpty() ? -1 : rows.first().row();
    }
    void select(int i)
    {
        list()->selectionModel()->select(list()->model()->index(i, 0),
                                         QItemSelectionModel::ClearAndSelect |
                                             QItemSelectionModel::Rows);
    }
    void clearSelection() { list()->selectionModel()->clearSelection(); }
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

#pragma once

#include "ScriptedPrompts.h"
#include "logic/PlaylistModel.h"
#include "window/PlayerForms.h"

#include <QTreeView>
#include <memory>

// A main window on an engine of the test's choosing, its dialogs answered by
// script, and the play list as tests and the benchmark read and drive it.
// The window is declared last, so it is destroyed before the engine and
// prompts it uses.
template <typename Engine> struct PlayerWindow
{
    Engine engine;
    ScriptedPrompts prompts;
    std::unique_ptr<TPlayerForm> form;

    void create() { form = std::make_unique<TPlayerForm>(engine, prompts); }

    template <typename T> T *child(const char *name) const
    {
        return form->findChild<T *>(QString::fromLatin1(name));
    }
    QTreeView *list() const { return child<QTreeView>("ListView"); }
    const PlaylistModel *playlist() const
    {
        return qobject_cast<const PlaylistModel *>(list()->model());
    }
    int rowCount() const { return playlist()->rowCount(); }
    QString rowPath(int i) const { return playlist()->rowAt(i)->path; }
    audio::StreamHandle rowStream(int i) const { return playlist()->rowAt(i)->stream; }
    // What the list shows in a cell.
    QString rowText(int i, int column) const
    {
        return list()->model()->index(i, column).data().toString();
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

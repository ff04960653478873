#pragma once

#include "ScriptedPrompts.h"
#include "window/PlayerForms.h"

#include <QTreeWidget>
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
    QTreeWidget *list() const { return child<QTreeWidget>("ListView"); }
    int rowCount() const { return list()->topLevelItemCount(); }
    QString rowPath(int i) const { return list()->topLevelItem(i)->text(0); }
    audio::StreamHandle rowStream(int i) const
    {
        return list()->topLevelItem(i)->data(0, Qt::UserRole).template value<audio::StreamHandle>();
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

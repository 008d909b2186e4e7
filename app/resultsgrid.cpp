#include "resultsgrid.h"

#include "resultsdelegate.h"

#include <QKeyEvent>
#include <QMenu>

ResultsGrid::ResultsGrid(QWidget *parent)
    : QListView(parent)
{
    // The results are drawn by a delegate from what each row holds: no
    // widget per photo.
    setItemDelegate(new ResultsDelegate(this));
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this, &ResultsGrid::show_menu);
    connect(this, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex &index) { emit open_requested(index.row()); });
}

void ResultsGrid::tick_selected(Qt::CheckState state)
{
    if (!model())
        return;
    QModelIndexList entries = selectionModel()->selectedIndexes();
    if (entries.isEmpty() && currentIndex().isValid())
        entries.append(currentIndex());
    for (const QModelIndex &entry : std::as_const(entries))
        model()->setData(entry, state, Qt::CheckStateRole);
}

void ResultsGrid::keyPressEvent(QKeyEvent *event)
{
    const QModelIndex current = currentIndex();
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Select:
        if (current.isValid())
            tick_selected(current.data(Qt::CheckStateRole).toInt() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
        event->accept();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (current.isValid())
            emit open_requested(current.row());
        event->accept();
        return;
    default:
        QListView::keyPressEvent(event);
    }
}

void ResultsGrid::show_menu(const QPoint &at)
{
    const QModelIndex under = indexAt(at);
    if (!under.isValid())
        return;
    // As in a file manager: the menu acts on the selection the pointer is in,
    // or on the entry under it alone.
    if (!selectionModel()->isSelected(under))
        selectionModel()->setCurrentIndex(under, QItemSelectionModel::ClearAndSelect);
    QMenu menu(this);
    const QAction *tick = menu.addAction(tr("Tick"));
    const QAction *untick = menu.addAction(tr("Untick"));
    menu.addSeparator();
    const QAction *open = menu.addAction(tr("Open larger view"));
    const QAction *chosen = menu.exec(viewport()->mapToGlobal(at));
    if (chosen == tick)
        tick_selected(Qt::Checked);
    else if (chosen == untick)
        tick_selected(Qt::Unchecked);
    else if (chosen == open)
        emit open_requested(under.row());
}

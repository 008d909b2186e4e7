#pragma once

#include <QListView>

// The grid of found photos, drawn by a ResultsDelegate over a model whose
// rows are checkable (a ResultsModel, or a proxy over one). It selects as a
// file manager's icons do; Space ticks (every selected entry, as the current
// one's opposite), Enter or a double click asks for the larger view, and the
// context menu ticks, unticks or opens.
class ResultsGrid : public QListView
{
    Q_OBJECT

public:
    explicit ResultsGrid(QWidget *parent = nullptr);

    // Ticks or unticks every selected entry (the current one when none is).
    void tick_selected(Qt::CheckState state);

signals:
    // The user asks for the larger view of the photo in row.
    void open_requested(int row);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void show_menu(const QPoint &at);
};

#include "messages.h"

#include <QMessageBox>
#include <QWidget>

namespace {

// Boxes belong to the window, whichever page asks.
QWidget *window_of(QWidget *widget)
{
    return widget ? widget->window() : nullptr;
}

} // namespace

bool ask(QWidget *parent, const QString &title, const QString &text)
{
    return QMessageBox::information(window_of(parent), title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}

void inform(QWidget *parent, const QString &text)
{
    QMessageBox::information(window_of(parent), QString(), text);
}

#pragma once

#include <QString>

class QWidget;

// The window's message boxes: empty titles unless one is given, parented to
// the window of the widget that asks.

// Every question's Yes gives something up (a scan, its results, the
// window): No is the default, so Enter gives up nothing. Whether Yes was pressed.
bool ask(QWidget *parent, const QString &title, const QString &text);

void inform(QWidget *parent, const QString &text);

#pragma once

#include <QString>

class QMessageBox;
class QWidget;

// The window's message boxes: empty titles unless one is given, parented to
// the window of the widget that asks.

// Every question's Yes gives something up (a scan, its results, the
// window): No is the default, so Enter gives up nothing. Whether Yes was pressed.
bool ask(QWidget *parent, const QString &title, const QString &text);

void inform(QWidget *parent, const QString &text);

// Makes box the question ask() asks, for a caller that must close it itself.
void make_question(QMessageBox &box, const QString &title, const QString &text);

// What closing the window asks: what is lost when a scan runs or the files
// found (videos of them videos) were not restored, else the plain question.
QString close_question_text(bool scanning, int files, int videos, bool restored);
// What going back to the devices asks when the files found were not restored.
QString go_back_question_text(int files, int videos);

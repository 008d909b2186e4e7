#include "messages.h"

#include <QCoreApplication>
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

void make_question(QMessageBox &box, const QString &title, const QString &text)
{
    box.setIcon(QMessageBox::Information);
    box.setWindowTitle(title);
    box.setText(text);
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
}

QString close_question_text(bool scanning, int photos, bool restored)
{
    const auto tr = [](const char *text) { return QCoreApplication::translate("MainWindow", text); };
    if (scanning && photos > 0)
        return tr("The scan is still running, and the %1 found so far have not been restored. Stop the scan, exit "
                  "and discard them?")
            .arg(photos == 1 ? tr("1 photo") : tr("%1 photos").arg(photos));
    if (scanning)
        return tr("The scan is still running. Stop it and exit?");
    if (!restored && photos == 1)
        return tr("The photo found has not been restored. Exit and discard it?");
    if (!restored && photos > 1)
        return tr("The %1 photos found have not been restored. Exit and discard them?").arg(photos);
    return tr("Are you sure want to exit?");
}

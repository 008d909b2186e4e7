#include "messages.h"

#include "progresstext.h"

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

QString close_question_text(bool scanning, int files, int videos, bool restored)
{
    const auto tr = [](const char *text) { return QCoreApplication::translate("MainWindow", text); };
    const FoundKinds kinds = found_kinds(files, videos);
    if (scanning && files > 0)
        return tr("The scan is still running, and the %1 found so far have not been restored. Stop the scan, exit "
                  "and discard them?")
            .arg(found_count_text(kinds, files));
    if (scanning)
        return tr("The scan is still running. Stop it and exit?");
    if (!restored && files == 1)
        return tr("The %1 found has not been restored. Exit and discard it?").arg(found_noun(kinds, files));
    if (!restored && files > 1)
        return tr("The %1 found have not been restored. Exit and discard them?").arg(found_count_text(kinds, files));
    return tr("Are you sure want to exit?");
}

QString go_back_question_text(int files, int videos)
{
    const auto tr = [](const char *text) { return QCoreApplication::translate("ScanPage", text); };
    const FoundKinds kinds = found_kinds(files, videos);
    // One video is named as one; photos keep the words they always had.
    if (kinds == FoundKinds::Videos && files == 1)
        return tr("The video found has not been restored. Go back and discard it?");
    return tr("The %1 found have not been restored. Go back and discard them?").arg(found_noun(kinds, qMax(files, 2)));
}

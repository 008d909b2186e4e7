#include "finishpage.h"
#include "ui_finishpage.h"

#include "messages.h"

#include <QDesktopServices>
#include <QDir>
#include <QUrl>

FinishPage::FinishPage(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::FinishPage)
{
    ui->setupUi(this);
    ui->restoredNames->hide();
    ui->summaryLabel->setTextFormat(Qt::PlainText);
}

FinishPage::~FinishPage()
{
    delete ui;
}

void FinishPage::show_report(const PhotoRecovery::Report &report)
{
    const PhotoRecovery::Counts &counts = report.counts;
    const int written = counts.written, failed = counts.failed, renamed = counts.renamed, present = counts.present;
    const int cancelled = report.cancelled;
    recovered_folder = report.folder;
    QStringList lines;
    if (written == 0 && failed == 0 && present == 0 && cancelled > 0)
        lines << tr("No photo was written: the recovery was cancelled.");
    else if (written == 0)
        lines << tr("No new photo was written into this folder:");
    else if (written == 1)
        lines << tr("1 photo was written into this folder:");
    else
        lines << tr("%1 photos were written into this folder:").arg(written);
    // A path has no spaces to wrap at: shorten it in the middle instead.
    const QString path = QDir::toNativeSeparators(report.folder);
    lines << ui->summaryLabel->fontMetrics().elidedText(path, Qt::ElideMiddle, ui->summaryLabel->width() - 4);
    ui->summaryLabel->setToolTip(path);
    if (renamed == 1)
        lines << tr("1 of them was saved under another name, because a different file had its name.");
    else if (renamed > 1)
        lines << tr("%1 of them were saved under other names, because different files had their names.")
                     .arg(renamed);
    if (present == 1)
        lines << tr("1 photo was in this folder already, byte for byte, and was not written again.");
    else if (present > 1)
        lines << tr("%1 photos were in this folder already, byte for byte, and were not written again.").arg(present);
    if (failed == 1)
        lines << tr("1 photo could not be written.");
    else if (failed > 1)
        lines << tr("%1 photos could not be written.").arg(failed);
    if (cancelled == 1)
        lines << tr("1 photo was not written, because the recovery was cancelled.");
    else if (cancelled > 1)
        lines << tr("%1 photos were not written, because the recovery was cancelled.").arg(cancelled);
    if (written > 0)
        lines << QString() << tr("Each photo's file date is the date it was taken, where the photo records one.");
    ui->summaryLabel->setText(lines.join(QLatin1Char('\n')));
    ui->openFolderButton->setEnabled(!report.folder.isEmpty());

    ui->restoredNames->setPlainText(report.names);
    ui->restoredNames->setVisible(!report.names.isEmpty());
}

void FinishPage::on_openFolderButton_clicked()
{
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(recovered_folder)))
        inform(this, tr("No file manager could be started to open the folder:\n%1")
                         .arg(QDir::toNativeSeparators(recovered_folder)));
}

void FinishPage::on_pushButton_9_clicked()
{
    emit back_requested();
}

void FinishPage::on_pushButton_3_clicked()
{
    emit close_requested();
}

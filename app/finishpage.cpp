#include "finishpage.h"
#include "ui_finishpage.h"

#include "messages.h"

#include <QDesktopServices>
#include <QDir>
#include <QUrl>

namespace {

// A photo's file takes the date in its EXIF data; a video's keeps the time
// its entry on the card had, as a photo without that date does.
QString file_date_text(FoundKinds kinds)
{
    switch (kinds) {
    case FoundKinds::Photos:
        break;
    case FoundKinds::Videos:
        return FinishPage::tr("Each video's file date is the one it had on the card, where the card still records it.");
    case FoundKinds::PhotosAndVideos:
        return FinishPage::tr("Each photo's file date is the date it was taken, where the photo records one; each "
                              "video's is the one it had on the card.");
    }
    return FinishPage::tr("Each photo's file date is the date it was taken, where the photo records one.");
}

} // namespace

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

void FinishPage::show_report(const PhotoRecovery::Report &report, const QString &stopped_scan, FoundKinds kinds)
{
    const PhotoRecovery::Counts &counts = report.counts;
    const int written = counts.written, failed = counts.failed, renamed = counts.renamed, present = counts.present;
    const int cancelled = report.cancelled;
    const auto one = [kinds] { return found_noun(kinds, 1); };
    const auto many = [kinds](int files) { return found_count_text(kinds, files); };
    recovered_folder = report.folder;
    QStringList lines;
    if (written == 0 && failed == 0 && present == 0 && cancelled > 0)
        lines << tr("No %1 was written: the recovery was cancelled.").arg(one());
    else if (written == 0)
        lines << tr("No new %1 was written into this folder:").arg(one());
    else if (written == 1)
        lines << tr("1 %1 was written into this folder:").arg(one());
    else
        lines << tr("%1 were written into this folder:").arg(many(written));
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
        lines << tr("1 %1 was in this folder already, byte for byte, and was not written again.").arg(one());
    else if (present > 1)
        lines << tr("%1 were in this folder already, byte for byte, and were not written again.").arg(many(present));
    if (failed == 1)
        lines << tr("1 %1 could not be written.").arg(one());
    else if (failed > 1)
        lines << tr("%1 could not be written.").arg(many(failed));
    if (cancelled == 1)
        lines << tr("1 %1 was not written, because the recovery was cancelled.").arg(one());
    else if (cancelled > 1)
        lines << tr("%1 were not written, because the recovery was cancelled.").arg(many(cancelled));
    // Not everything was searched: the card must not be formatted yet.
    if (!stopped_scan.isEmpty())
        lines << QString() << stopped_scan;
    if (written > 0)
        lines << QString() << file_date_text(kinds);
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

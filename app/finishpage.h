#pragma once

#include "photorecovery.h"
#include "progresstext.h"

#include <QString>
#include <QWidget>

namespace Ui {
class FinishPage;
}

// The page after a recovery: what was written into which folder, the photos
// saved under other names, already there or not written, a button that opens
// the folder again, "Go back" to the results and "Close".
class FinishPage : public QWidget
{
    Q_OBJECT

public:
    explicit FinishPage(QWidget *parent = nullptr);
    ~FinishPage() override;

    // stopped_scan says how far a scan that was stopped got; empty after a
    // whole scan. kinds are those of the files ticked, which the counts name.
    void show_report(const PhotoRecovery::Report &report, const QString &stopped_scan = QString(),
                     FoundKinds kinds = FoundKinds::Photos);

signals:
    void back_requested();
    void close_requested();

private slots:
    void on_openFolderButton_clicked();
    void on_pushButton_9_clicked();
    void on_pushButton_3_clicked();

private:
    Ui::FinishPage *ui = nullptr;
    QString recovered_folder;
};

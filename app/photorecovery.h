#pragma once

#include "foundimage.h"
#include "rawaccess.h"
#include "recoverysession.h"
#include "removabledevice.h"

#include <QMap>
#include <QObject>
#include <QString>

#include <optional>

class OpenVolume;
class QAbstractItemModel;
class QProgressDialog;
class QWidget;

// "Restore...": asks for a folder, refuses one on the scanned device, and
// writes the ticked photos and videos of the results into it, in name order,
// with a progress dialog that can cancel; then tells the user which could
// not be written and which were saved under other names. The dialogs and
// messages name the files as what they are: photos, videos, or both.
class PhotoRecovery : public QObject
{
    Q_OBJECT

public:
    // What a recovery did: files written now (those under other names
    // included), photos written under other names, photos not written
    // because the folder held them already byte for byte, photos that failed.
    using Counts = RecoverySession::Counts;
    struct Report
    {
        Counts counts;
        int cancelled = 0; // ticked photos not tried because the recovery was cancelled
        QString folder;
        // Every photo saved under another name, already in the folder or not
        // written, under a heading each; empty when there are none.
        QString names;
    };

    // window parents the dialogs; access opens the device again.
    PhotoRecovery(QWidget *window, const RawAccess &access);

    // Writes the ticked rows of results (offsets under the model's offset
    // role) as found by a scan of device, through the scan's session, which
    // gave them the names the results show. Nothing
    // when no photo was tried: none is ticked, the folder choice was
    // cancelled or refused, or the device could not be opened (the user is
    // told why).
    std::optional<Report> run(const QAbstractItemModel &results, const RemovableDevice &device,
                              const QMap<qint64, FoundImage> &found_images, RecoverySession &session);

private:
    void collect_checked_files(const QAbstractItemModel &results);
    // Writes the ticked photos into directory; returns the message about
    // the failed and renamed ones, empty when there is nothing to say.
    QString recover_checked_files(OpenVolume volume, const QString &directory, const QString &noun, int &tried);
    // The kinds of the ticked files, one for each.
    QList<MediaKind> checked_kinds() const;

    QWidget *window;
    RawAccess raw_access;
    QMap<qint64, FoundImage> found_images;
    RecoverySession *recovery = nullptr;
    QMap<QString, qint64> recover_files; // the session gives every photo of a scan a name of its own
    QProgressDialog *recover_progress = nullptr;
    QString restored_names;
};

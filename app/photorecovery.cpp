#include "photorecovery.h"

#include "folderdialog.h"
#include "messages.h"
#include "openvolume.h"
#include "photowriter.h"
#include "progresstext.h"
#include "resultsmodel.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProgressDialog>
#include <QRegularExpression>

#include <QHash>

#include <algorithm>
#include <climits>
#include <utility>

namespace {

// At most this many names are listed in the message about failed files.
constexpr int listed_failures = 20;

// Lines of the scrollable list on the final page, after a heading.
QString listing(const QString &heading, const QStringList &names)
{
    return names.isEmpty() ? QString() : heading + QLatin1Char('\n') + names.join(QLatin1Char('\n'));
}

FoundKinds kinds_among(const QList<MediaKind> &kinds)
{
    return found_kinds(int(kinds.size()), int(std::count(kinds.cbegin(), kinds.cend(), MediaKind::Video)));
}

// "photos", "videos" or "photos and videos": what the files of these kinds are.
QString noun_of(const QList<MediaKind> &kinds)
{
    return found_noun(kinds_among(kinds), 2);
}

// "%n photo(s) could not be recovered into %1:" as the window always said
// it of photos; of videos, "2 videos could not be recovered into %1:".
QString failed_text(const QList<MediaKind> &kinds, const QString &folder)
{
    const int count = int(kinds.size());
    const FoundKinds found = kinds_among(kinds);
    if (found == FoundKinds::Photos)
        return PhotoRecovery::tr("%n photo(s) could not be recovered into %1:", nullptr, count).arg(folder);
    return PhotoRecovery::tr("%1 could not be recovered into %2:").arg(found_count_text(found, count), folder);
}

QString renamed_text(const QList<MediaKind> &kinds)
{
    const int count = int(kinds.size());
    const FoundKinds found = kinds_among(kinds);
    if (found == FoundKinds::Photos)
        return PhotoRecovery::tr("%n photo(s) were saved under other names, because files of their names with other "
                                 "contents were already in the folder:",
                                 nullptr, count);
    if (count == 1)
        return PhotoRecovery::tr("%1 was saved under another name, because a file of its name with other contents "
                                 "was already in the folder:")
            .arg(found_count_text(found, count));
    return PhotoRecovery::tr("%1 were saved under other names, because files of their names with other contents "
                             "were already in the folder:")
        .arg(found_count_text(found, count));
}

} // namespace

PhotoRecovery::PhotoRecovery(QWidget *window, const RawAccess &access)
    : window(window)
    , raw_access(access)
{
}

std::optional<PhotoRecovery::Report> PhotoRecovery::run(const QAbstractItemModel &results,
                                                        const RemovableDevice &scanned,
                                                        const QMap<qint64, FoundImage> &found,
                                                        RecoverySession &session)
{
    collect_checked_files(results);
    if (recover_files.isEmpty()) {
        inform(window, tr("Please select files to recover"));
        return std::nullopt;
    }

    found_images = found;
    const QString noun = noun_of(checked_kinds());
    const QString directory = FolderDialog::choose(window, tr("Recover %1 to directory").arg(noun), QDir::homePath());
    window->activateWindow();
    if (directory.isEmpty())
        return std::nullopt;

    recovery = &session;
    if (session.open_folder(directory) == RecoverySession::Refusal::OnScannedVolume) {
        inform(window, tr("This folder is on the device the %1 are recovered from. Writing there can overwrite "
                          "the deleted %1 before they are recovered.\nPlease choose a folder on another drive.")
                           .arg(noun));
        return std::nullopt;
    }
    OpenVolume volume(scanned.raw_path, raw_access);
    if (!volume.is_open()) {
        inform(window, tr("The device could not be opened to recover the %1.\n%2")
                           .arg(noun, volume_platform::failure_text(volume.failure())));
        return std::nullopt;
    }

    int tried = 0;
    const QString message = recover_checked_files(std::move(volume), directory, noun, tried);
    recover_progress->hide();
    recover_progress->deleteLater();
    recover_progress = nullptr;
    if (!message.isEmpty())
        inform(window, message);
    return Report{session.counts(), int(recover_files.size()) - tried, directory, restored_names};
}

void PhotoRecovery::collect_checked_files(const QAbstractItemModel &results)
{
    recover_files.clear();
    for (int row = 0; row < results.rowCount(); ++row) {
        const QModelIndex entry = results.index(row, 0);
        if (entry.data(Qt::CheckStateRole).toInt() == Qt::Checked)
            recover_files.insert(entry.data(Qt::DisplayRole).toString(),
                                 entry.data(ResultsModel::OffsetRole).toLongLong());
    }
}

QList<MediaKind> PhotoRecovery::checked_kinds() const
{
    QList<MediaKind> kinds;
    for (qint64 offset : recover_files)
        kinds.append(found_images.value(offset).kind);
    return kinds;
}

// Writes the files of recover_files in name order with the progress dialog
// showing, each checked against what the scan found; returns what the user
// must be told about the failed and renamed ones. tried counts the photos
// attempted before a cancel. The volume is closed when the writing ends,
// finished or cancelled, before the user is told anything.
QString PhotoRecovery::recover_checked_files(OpenVolume volume, const QString &directory, const QString &noun,
                                             int &tried)
{
    recover_progress = new QProgressDialog(tr("Recovering %1").arg(noun), QStringLiteral("Cancel"), 0,
                                           int(recover_files.size()));
    recover_progress->setWindowTitle(QStringLiteral("DodurEdivezav"));
    recover_progress->setFixedWidth(300);
    recover_progress->setModal(true);
    recover_progress->show();

    QStringList failed;
    QStringList reasons;
    QStringList renamed;
    QStringList present;
    QStringList with_holes;
    QList<MediaKind> failed_kinds;
    QList<MediaKind> renamed_kinds;
    QHash<QString, MediaKind> kind_asked; // the results of sync() name their files only
    const auto note = [&](const PhotoWriter::Result &result) {
        const MediaKind kind = kind_asked.value(result.asked, MediaKind::JpegPhoto);
        if (result.outcome != PhotoWriter::Outcome::Failed && result.outcome != PhotoWriter::Outcome::Present
            && result.unreadable_bytes > 0)
            with_holes.append(tr("%1 (%n byte(s))", nullptr, int(qMin<qint64>(result.unreadable_bytes, INT_MAX)))
                                  .arg(result.name));
        if (result.outcome == PhotoWriter::Outcome::Failed) {
            failed.append(result.asked);
            failed_kinds.append(kind);
            const QString why = result.failure == PhotoWriter::Failure::TargetUnwritable
                    && !QFileInfo(directory).isWritable()
                ? tr("You have no permission to write in this folder.")
                : PhotoWriter::failure_text(result.failure);
            if (!reasons.contains(why))
                reasons.append(why);
        } else if (result.outcome == PhotoWriter::Outcome::Renamed) {
            renamed.append(tr("%1 as %2").arg(result.asked, result.name));
            renamed_kinds.append(kind);
        } else if (result.outcome == PhotoWriter::Outcome::Present) {
            present.append(result.name == result.asked ? result.asked : tr("%1 as %2").arg(result.asked, result.name));
        }
    };
    int counter = 0;
    for (auto file = recover_files.constBegin(); file != recover_files.constEnd(); ++file) {
        const FoundImage image = found_images.value(file.value());
        // A video of gigabytes keeps the window painting while it is copied,
        // and "Cancel" stops it there (it fails); a photo is finished first.
        const PhotoWriter::Result result = image.kind == MediaKind::Video
            ? recovery->copy(image, volume.handle(),
                             [this] {
                                 QCoreApplication::processEvents();
                                 return !recover_progress->wasCanceled();
                             })
            : recovery->copy(image, volume.handle());
        kind_asked.insert(result.asked, image.kind);
        if (result.outcome == PhotoWriter::Outcome::Failed || result.outcome == PhotoWriter::Outcome::Present)
            note(result); // the others are told once they are on the disk
        recover_progress->setValue(counter++);
        tried = counter;
        if (recover_progress->wasCanceled())
            break;
        QCoreApplication::processEvents();
    }
    // Once for all the photos: a slow stick is not made to wait on each file.
    for (const PhotoWriter::Result &result : recovery->sync())
        note(result);

    // Every name goes on the final page's list; the message names the first.
    const QStringList lists{listing(tr("Saved under other names:"), renamed),
                            listing(tr("Already in the folder:"), present),
                            listing(tr("Written with bytes the card could not give, as zeros:"), with_holes),
                            listing(tr("Not written:"), failed)};
    restored_names = lists.filter(QRegularExpression(QStringLiteral("."))).join(QStringLiteral("\n\n"));
    const auto first_names = [](QStringList names) {
        if (names.size() > listed_failures) {
            const int more = int(names.size()) - listed_failures;
            names = names.mid(0, listed_failures);
            names.append(tr("and %n more, all listed on the last page", nullptr, more));
        }
        return names.join(QLatin1Char('\n'));
    };
    QStringList parts;
    if (!failed.isEmpty())
        parts.append(failed_text(failed_kinds, QDir::toNativeSeparators(directory))
                     + QLatin1Char('\n') + first_names(failed) + QStringLiteral("\n\n") + reasons.join(QLatin1Char('\n')));
    if (!renamed.isEmpty())
        parts.append(renamed_text(renamed_kinds) + QLatin1Char('\n') + first_names(renamed));
    if (!with_holes.isEmpty())
        parts.append(tr("%n file(s) were written with parts the card could not give; those bytes are zeros, so "
                        "a video shows a flaw there:",
                        nullptr, int(with_holes.size()))
                     + QLatin1Char('\n') + first_names(with_holes));
    return parts.join(QStringLiteral("\n\n"));
}

#pragma once

#include "salvagingreader.h"
#include "foundimage.h"
#include "volumeplatform.h"
#include "writebehind.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QList>
#include <QMultiHash>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// Writes recovered photos into one folder, for the window and for
// velvora-scan alike. A photo counts as written only when every byte reached
// its file and the file holds exactly the length and CRC-32 the scan found;
// anything else leaves no file behind. A file already in the folder is never
// replaced: when a photo's name is taken by a file with other bytes, the photo
// goes under the next free number after the highest of its prefix there
// (IMAGE_NNNN for photos, VIDEO_NNNN for videos), or,
// under its original name, with a suffix before the extension (-2, -3). A
// photo whose very bytes are already in a numbered file of the folder (or in
// a file of its own name) is not written again and counts as present, so
// recovering the same photos twice makes no copies and says so.
//
// Every file is made, checked and removed through the folder opened once
// (volume_platform's folder calls): a name is one entry of that folder, and
// a link planted under a photo's name is never followed.
//
// Written means on the disk: a photo is counted only once sync() has put its
// file's data and the folder's entry on the disk. Syncing once for a batch of
// photos, not after each, lets the disk take them at its own pace: a slow USB
// stick is not made to wait on every file.
class PhotoWriter
{
    Q_DECLARE_TR_FUNCTIONS(PhotoWriter)

public:
    enum class Outcome { Written, Renamed, Present, Failed };
    enum class Failure {
        None,
        SourceUnreadable, // the volume could not be read where the photo lies
        SourceChanged,    // the volume no longer holds the bytes the scan found there
        TargetFull,       // the folder's disk is full, or the file would outgrow a limit
        TargetUnwritable, // the file could not be made or written
        Stopped           // the user stopped the recovery while the file was being copied
    };
    struct Result
    {
        Outcome outcome = Outcome::Failed;
        Failure failure = Failure::None;
        QString path; // the file the photo is in, when not Failed (for Present, the file already there)
        QString name; // its name in the folder
        QString asked; // the name it was to have
        // Bytes of it the volume could not give, written as zeros: the runs
        // the scan could not read, and any that failed in the copy.
        qint64 unreadable_bytes = 0;
    };
    // The photo's bytes in order: fills up to capacity bytes and returns the
    // count, 0 when there are no more, -1 when they cannot be read, -2 when
    // the copy is to stop.
    using Reader = std::function<qint64(char *buffer, qint64 capacity)>;
    static constexpr qint64 stop_reading = -2;
    // Asked before each chunk of a copy from the volume: false stops it (a
    // video of gigabytes takes a while), and the file fails as Stopped.
    using KeepGoing = std::function<bool()>;

    static constexpr qint64 chunk_size = 1024 * 1024;

    explicit PhotoWriter(const QString &directory);
    ~PhotoWriter();
    Q_DISABLE_COPY(PhotoWriter)

    // Whether the folder could be opened; when not, every photo fails.
    bool is_open() const { return folder != volume_platform::invalid_handle; }
    // Whether a file can be made in the folder (one is made and removed).
    bool can_create();

    // The photo from bytes already in hand: the very bytes whose CRC-32 the
    // scan took, so only their length is checked against it. taken, when
    // given, is the EXIF date the scan read from them (invalid: none), so
    // they are not read for it again. The file is made and named at once;
    // its data goes to the disk past the page cache on a thread of its own
    // (WriteBehind), and a write that fails there fails the photo at the sync.
    Result write(const QString &name, const FoundImage &image, const QByteArray &bytes,
                 const std::optional<QDateTime> &taken = std::nullopt);
    // The photo read again from the open volume at the place the scan found it.
    Result copy(const QString &name, const FoundImage &image, volume_platform::Handle volume,
                const KeepGoing &keep_going = {});
    // The same from any volume. Runs the scan could not read are zeros, as
    // are sectors that fail now (SalvagingReader): the copy goes on. With none
    // failing now, the file is checked against the scan's CRC-32 as ever;
    // with some, it can no longer be, and only its length is.
    Result copy(const QString &name, const FoundImage &image, const SalvagingReader::ReadAt &read_at,
                const KeepGoing &keep_going = {});
    // The photo from any source of its bytes; the others come here.
    Result write_from(const QString &name, const FoundImage &image, const Reader &reader);

    // Puts every photo written since the last sync on the folder's disk: each
    // file's data, then the folder's entries once for all. Returns their
    // results as they now stand; a photo the disk did not take is Failed and
    // its file removed. Photos are counted as written only here.
    QList<Result> sync();
    int unsynced() const { return int(pending.size()); }
    qint64 unsynced_bytes() const;

    // Photos on the disk so far: written counts those under other names too;
    // present counts the photos found already in the folder, byte for byte.
    int written() const { return written_count; }
    int renamed() const { return renamed_count; }
    int present() const { return present_count; }
    int failed() const { return failed_count; }
    // Bytes the scan read that the copies could not (written as zeros).
    qint64 unreadable_in_copies() const { return unreadable_in_copies_count; }

    static QString failure_text(Failure failure);
    // IMAGE_0007.JPG, or IMAGE_0007.partial.JPG for a photo of which only
    // the top part could be recovered.
    static QString photo_name(int number, bool partial = false);
    // The numbered name of a found file: IMAGE_0007.JPG or IMAGE_0007.HEIC
    // for a photo, VIDEO_0007.MP4 (MOV, 3GP, AVI) for a video.
    static QString numbered_name(const FoundImage &image, int number);
    static QString numbered_name(const QString &prefix, int number, bool partial, const QString &extension);
    // The name a photo of that original name takes when the name is taken
    // number - 1 times: IMG_0001.JPG, IMG_0001-2.JPG, IMG_0001-3.JPG; within
    // max_bytes of UTF-8.
    static QString variant_of(const QString &name, int number, int max_bytes = 255);

private:
    bool name_taken(const QString &name) const;
    bool holds_photo(const QString &name, const FoundImage &image) const;
    QString next_free_name(const QString &asked, const FoundImage &image);
    QString path_of(const QString &name) const;
    void note_name(const QString &name, qint64 size = -1);
    QString name_holding(const FoundImage &image) const;
    Result count(Result result);
    Result hold_until_synced(Result result, qint64 length, bool created,
                             volume_platform::Handle file = volume_platform::invalid_handle, quint64 ticket = 0);
    // bytes, when given, are the photo itself; else reader supplies them
    // (from source, when it is read back from a volume).
    Result write_out(const QString &name, const FoundImage &image, const Reader &reader, const QByteArray *bytes,
                     const std::optional<QDateTime> &date_taken = std::nullopt,
                     const SalvagingReader *source = nullptr);

    volume_platform::Handle make_file(const FoundImage &image, Result *result);
    Result hand_over(volume_platform::Handle file, const FoundImage &image, const QByteArray &bytes,
                     const std::optional<QDateTime> &date_taken, Result result);
    Result discard(volume_platform::Handle file, Result result, Failure failure);
    // result made (to be synced), file still open or not; exact: the file
    // is the photo found, byte for byte
    Result written(Result result, const FoundImage &image, bool exact, volume_platform::Handle file,
                   quint64 ticket = 0);
    static QDateTime file_time(const FoundImage &image, const QDateTime &taken);
    static Failure put_read(volume_platform::Handle file, const FoundImage &image, const Reader &reader, QByteArray *head,
                            const SalvagingReader *source);

    QString directory;
    volume_platform::Handle folder = volume_platform::invalid_handle;
    int longest_name = 255; // bytes, as the folder's file system takes them
    QHash<QString, int> highest_numbers; // by prefix: IMAGE, VIDEO
    QMultiHash<qint64, QString> names_by_size; // the numbered files, for finding a photo already there
    // The CRC-32 of each file this writer made: a dense card holds many photos
    // of one length, and reading each of them again for every new one made
    // writing quadratic.
    QHash<QString, quint32> crc_by_written_name;
    struct Unsynced
    {
        Result result;
        qint64 length;
        bool created; // by this writer, so removed when it cannot be synced
        // Still open from its writing, so the sync needs no second open;
        // invalid once closed.
        volume_platform::Handle file = volume_platform::invalid_handle;
        quint64 ticket = 0; // its data's write behind, when it went that way
    };
    QList<Unsynced> pending;
    std::unique_ptr<WriteBehind> behind; // made for the first photo from bytes in hand
    // Files kept open until their sync at most: the window syncs once for
    // a whole recovery, and the process has a limit of descriptors.
    static constexpr int most_kept_open = 64;
    int kept_open = 0;
    int written_count = 0;
    int renamed_count = 0;
    int present_count = 0;
    int failed_count = 0;
    qint64 unreadable_in_copies_count = 0;
};

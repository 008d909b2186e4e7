#pragma once

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QImage>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>

class QProcess;

// Checks videos (MP4, MOV, 3GP, AVI) and HEIC photos and makes their
// thumbnails with FFmpeg and libheif. The libraries read hostile bytes, so
// they run in a helper process (velvora-media-probe) with a memory limit,
// which gets the file's bytes from this one through a pipe: it never opens
// the card itself. One helper serves check after check; a check that crashes
// it or overruns its time costs only that check, and the next one starts a
// new helper.
class MediaProbe
{
    Q_DECLARE_TR_FUNCTIONS(MediaProbe)

public:
    enum class Kind { Video, Image };

    struct Result
    {
        bool sound = false;     // the file checks out: index found and first frame, or primary image, decoded
        QString failure;        // why not
        QString format;         // the reader and codec, for example "mov,mp4,m4a,3gp,3g2,mj2 h264"
        qint64 duration_ms = -1;
        QSize size;             // pixels of the first frame or the image
        QImage thumbnail;       // RGB, within the side asked for
        QDateTime created;      // a video's creation time, when it records one
        QByteArray exif;        // a HEIC photo's EXIF data, from its TIFF header on
    };

    // Reads up to count bytes of the file at offset (from the file's first
    // byte) into buffer; the count read, or -1 when they cannot be read.
    using Reader = std::function<qint64(qint64 offset, char *buffer, qint64 count)>;
    using KeepGoing = std::function<bool()>;

    static constexpr int default_time_limit_ms = 15000;
    static constexpr qint64 default_memory_limit = qint64(1) << 30;

    MediaProbe();
    ~MediaProbe();
    MediaProbe(const MediaProbe &) = delete;
    MediaProbe &operator=(const MediaProbe &) = delete;

    void set_time_limit(int ms) { time_limit_ms = ms; }
    // The helper's address space; the libraries are mapped into it too. A
    // helper running under another limit is ended.
    void set_memory_limit(qint64 bytes);
    // Asked while waiting: false ends the check at once (as a failure).
    void set_keep_going(KeepGoing keep_going) { this->keep_going = std::move(keep_going); }

    Result check(Kind kind, qint64 length, const Reader &read, int thumbnail_side = 160);
    // The same check, for a picture to show large: its thumbnail may be up
    // to largest_preview_side pixels a side (the file's own size at most).
    Result preview(Kind kind, qint64 length, const Reader &read, int side);

    static constexpr int largest_preview_side = 2560;

    // Helpers started so far: one, plus one for each that crashed or was ended.
    int helpers_started() const { return started; }

    // The helper beside the running program, or in ../libexec from it.
    static QString helper_path();
    // False in builds whose helper runs without a memory limit (the sanitizer's).
    static bool limits_memory();

private:
    Result request(char tag, Kind kind, qint64 length, const Reader &read, int side);
    bool ensure_running();
    void end_helper();
    bool take(void *buffer, qint64 count);
    bool take_string(QString *text);
    bool answer_read(const Reader &read, qint64 length);
    bool take_answer(Result &result, int largest_side);
    Result failed(const QString &why);

    std::unique_ptr<QProcess> helper;
    int time_limit_ms = default_time_limit_ms;
    qint64 memory_limit = default_memory_limit;
    KeepGoing keep_going;
    QDeadlineTimer deadline;
    QString failure_text;
    int started = 0;
};

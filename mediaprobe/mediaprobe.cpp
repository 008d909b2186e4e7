#include "mediaprobe.h"

#include "mediaprobeprotocol.h"
#include "volumeplatform.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace proto = media_probe_protocol;

namespace {

constexpr int poll_ms = 100;

} // namespace

MediaProbe::MediaProbe() = default;

MediaProbe::~MediaProbe()
{
    end_helper();
}

QString MediaProbe::helper_path()
{
    const QString here = QCoreApplication::applicationDirPath();
    const QString beside = QDir(here).filePath(QStringLiteral("velvora-media-probe"));
    if (QFileInfo(beside).isExecutable())
        return beside;
    return QDir(here).filePath(QStringLiteral("../libexec/velvora-media-probe"));
}

void MediaProbe::set_memory_limit(qint64 bytes)
{
    if (bytes != memory_limit)
        end_helper();
    memory_limit = bytes;
}

bool MediaProbe::limits_memory()
{
#ifdef VELVORA_HELPER_UNLIMITED
    return false;
#else
    return true;
#endif
}

bool MediaProbe::ensure_running()
{
    if (helper && helper->state() == QProcess::Running)
        return true;
    end_helper();
    helper = std::make_unique<QProcess>();
    helper->setProgram(helper_path());
    helper->setStandardErrorFile(QProcess::nullDevice());
#ifndef VELVORA_HELPER_UNLIMITED
    volume_platform::limit_child_memory(*helper, memory_limit);
#endif
    helper->start(QIODevice::ReadWrite);
    ++started;
    if (!helper->waitForStarted(int(qMax(qint64(1), deadline.remainingTime())))) {
        failure_text = tr("The video checker could not be started.");
        end_helper();
        return false;
    }
    return true;
}

void MediaProbe::end_helper()
{
    if (!helper)
        return;
    if (helper->state() != QProcess::NotRunning) {
        helper->kill();
        helper->waitForFinished(-1);
    }
    helper.reset();
}

static_assert(MediaProbe::largest_preview_side == proto::largest_preview);

MediaProbe::Result MediaProbe::check(Kind kind, qint64 length, const Reader &read, int thumbnail_side)
{
    return request(proto::Check, kind, length, read, qBound(1, thumbnail_side, int(proto::largest_thumbnail)));
}

MediaProbe::Result MediaProbe::preview(Kind kind, qint64 length, const Reader &read, int side)
{
    return request(proto::Preview, kind, length, read, qBound(1, side, int(proto::largest_preview)));
}

MediaProbe::Result MediaProbe::request(char tag, Kind kind, qint64 length, const Reader &read, int side)
{
    failure_text.clear();
    deadline = QDeadlineTimer(time_limit_ms);
    if (length <= 0)
        return failed(tr("The file is empty."));
    if (!ensure_running())
        return failed(failure_text);
    const quint8 wire_kind = kind == Kind::Image ? proto::Image : proto::Video;
    helper->write(&tag, 1);
    helper->write(reinterpret_cast<const char *>(&wire_kind), 1);
    helper->write(reinterpret_cast<const char *>(&length), sizeof length);
    const qint32 wire_side = side;
    helper->write(reinterpret_cast<const char *>(&wire_side), sizeof wire_side);
    for (;;) {
        char reply = 0;
        if (!take(&reply, 1))
            return failed(failure_text);
        if (reply == proto::Read) {
            if (!answer_read(read, length))
                return failed(tr("The video checker asked for what it should not."));
            continue;
        }
        Result result;
        if (reply != proto::Answer || !take_answer(result, side))
            return failed(failure_text.isEmpty() ? tr("The video checker sent what it should not.") : failure_text);
        return result;
    }
}

// The helper is ended whenever a check goes wrong: what it holds is unknown.
MediaProbe::Result MediaProbe::failed(const QString &why)
{
    end_helper();
    Result result;
    result.failure = why.isEmpty() ? tr("The video checker ended unexpectedly.") : why;
    return result;
}

bool MediaProbe::take(void *buffer, qint64 count)
{
    while (helper->bytesAvailable() < count) {
        if (keep_going && !keep_going()) {
            failure_text = tr("The check was stopped.");
            return false;
        }
        const qint64 left = deadline.remainingTime();
        if (left == 0) {
            failure_text = tr("The video checker took too long.");
            return false;
        }
        const int wait = left < 0 ? poll_ms : int(qMin<qint64>(left, poll_ms));
        if (!helper->waitForReadyRead(wait) && helper->state() == QProcess::NotRunning
            && helper->bytesAvailable() < count)
            return false;
    }
    return helper->read(static_cast<char *>(buffer), count) == count;
}

bool MediaProbe::take_string(QString *text)
{
    quint32 length = 0;
    if (!take(&length, sizeof length) || length > proto::longest_string)
        return false;
    QByteArray bytes(length, Qt::Uninitialized);
    if (!take(bytes.data(), length))
        return false;
    *text = QString::fromUtf8(bytes);
    return true;
}

bool MediaProbe::answer_read(const Reader &read, qint64 length)
{
    qint64 offset = 0;
    qint64 count = 0;
    if (!take(&offset, sizeof offset) || !take(&count, sizeof count) || offset < 0 || count < 0
        || count > proto::largest_read)
        return false;
    count = qMin(count, qMax<qint64>(0, length - offset));
    QByteArray bytes(count, Qt::Uninitialized);
    qint64 got = 0;
    while (got < count) {
        const qint64 n = read(offset + got, bytes.data() + got, count - got);
        if (n <= 0)
            break;
        got += n;
    }
    const qint64 answer = got > 0 || count == 0 ? got : -1;
    helper->write(reinterpret_cast<const char *>(&answer), sizeof answer);
    if (answer > 0)
        helper->write(bytes.constData(), answer);
    return true;
}

// A thumbnail larger than the side asked for is out of bounds.
bool MediaProbe::take_answer(Result &result, int largest_side)
{
    quint8 sound = 0;
    qint32 width = 0;
    qint32 height = 0;
    qint32 thumb_width = 0;
    qint32 thumb_height = 0;
    if (!take(&sound, 1) || !take(&result.duration_ms, sizeof result.duration_ms) || !take(&width, sizeof width)
        || !take(&height, sizeof height) || !take_string(&result.format) || !take_string(&result.failure)
        || !take(&thumb_width, sizeof thumb_width) || !take(&thumb_height, sizeof thumb_height))
        return false;
    if (width < 0 || height < 0 || thumb_width < 0 || thumb_height < 0 || thumb_width > largest_side
        || thumb_height > largest_side || sound > 1)
        return false;
    result.sound = sound == 1;
    result.size = QSize(width, height);
    if (thumb_width > 0 && thumb_height > 0) {
        QImage thumbnail(thumb_width, thumb_height, QImage::Format_RGB888);
        for (int y = 0; y < thumb_height; ++y) {
            if (!take(thumbnail.scanLine(y), qint64(thumb_width) * 3))
                return false;
        }
        result.thumbnail = thumbnail;
    }
    QString created;
    quint32 exif_size = 0;
    if (!take_string(&created) || !take(&exif_size, sizeof exif_size) || exif_size > proto::largest_exif)
        return false;
    result.exif = QByteArray(exif_size, Qt::Uninitialized);
    if (!take(result.exif.data(), exif_size))
        return false;
    result.created = QDateTime::fromString(created, Qt::ISODateWithMs);
    if (result.sound && result.failure.isEmpty() == false)
        result.failure.clear();
    if (!result.sound && result.failure.isEmpty())
        result.failure = tr("The file does not check out.");
    return true;
}

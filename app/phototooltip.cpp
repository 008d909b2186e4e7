#include "phototooltip.h"

#include "safename.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QStringList>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

// The picture coding as its makers call it.
QString codec_name(const QString &codec)
{
    static const QHash<QString, QString> names = {
        {QStringLiteral("h264"), QStringLiteral("H.264")},       {QStringLiteral("hevc"), QStringLiteral("HEVC")},
        {QStringLiteral("mjpeg"), QStringLiteral("Motion JPEG")}, {QStringLiteral("mpeg4"), QStringLiteral("MPEG-4")},
        {QStringLiteral("av1"), QStringLiteral("AV1")},           {QStringLiteral("vp9"), QStringLiteral("VP9")},
    };
    return names.value(codec, codec.toUpper());
}

} // namespace

QString video_duration(qint64 milliseconds)
{
    const qint64 seconds = qMax<qint64>(0, (milliseconds + 500) / 1000);
    const QString two_digit_seconds = QStringLiteral("%1").arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (seconds < 3600)
        return QStringLiteral("%1:%2").arg(seconds / 60).arg(two_digit_seconds);
    return QStringLiteral("%1:%2:%3").arg(seconds / 3600).arg(seconds / 60 % 60, 2, 10, QLatin1Char('0')).arg(two_digit_seconds);
}

QString photo_kind_code(const QString &name, MediaKind kind)
{
    if (kind != MediaKind::Video)
        return kind == MediaKind::HeicPhoto ? QStringLiteral("HEIC") : QStringLiteral("JPEG");
    static const QStringList containers = {QStringLiteral("MP4"), QStringLiteral("MOV"), QStringLiteral("AVI"),
                                           QStringLiteral("3GP"), QStringLiteral("M4V")};
    const QString suffix = QFileInfo(name).suffix().toUpper();
    return containers.contains(suffix) ? suffix : media_kind_extension(kind);
}

QString photo_kind_text(const QString &name, const PhotoFacts &facts)
{
    const QString code = photo_kind_code(name, facts.kind);
    if (!facts.is_video())
        return tr("%1 photo").arg(code);
    QString text = tr("%1 video").arg(code);
    if (!facts.codec.isEmpty())
        text += QStringLiteral(" (%1)").arg(SafeName::for_display(codec_name(facts.codec)));
    if (facts.duration_ms >= 0)
        text += QStringLiteral(", ") + video_duration(facts.duration_ms);
    return text;
}

QString photo_date_text(const PhotoFacts &facts)
{
    const QDateTime taken = facts.date_taken();
    if (!taken.isValid())
        return {};
    const QLocale locale;
    // A camera's EXIF date is its local time; a video records UTC.
    const QDateTime shown = facts.exif.date_taken().isValid() ? taken : taken.toLocalTime();
    return (facts.exif.date_taken().isValid() ? tr("Taken %1 at %2") : tr("Recorded %1 at %2"))
        .arg(locale.toString(shown.date(), QLocale::LongFormat), locale.toString(shown.time(), QLocale::ShortFormat));
}

QString photo_byte_size(qint64 bytes)
{
    const QLocale locale;
    return tr("%1 (%2 bytes)")
        .arg(locale.formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat), locale.toString(bytes));
}

QString photo_origin(const PhotoFacts &facts)
{
    if (!facts.origin.is_known())
        return tr("Original name not known; found by its content.");
    return tr("%1, deleted").arg(facts.origin.folder.isEmpty() ? QStringLiteral("/")
                                                                : SafeName::for_display(facts.origin.folder));
}

QString photo_tooltip(const QString &name, const PhotoFacts &facts)
{
    const QLocale locale;
    // A made-up name must not pass for the camera's.
    QStringList lines{name, photo_origin(facts), photo_kind_text(name, facts)};
    if (facts.pixel_size.isValid())
        lines << tr("%1 x %2 pixels").arg(facts.pixel_size.width()).arg(facts.pixel_size.height());
    lines << photo_byte_size(facts.length);
    lines << tr("On the card at byte %1 (%2 in)")
                 .arg(locale.toString(facts.offset),
                      locale.formattedDataSize(facts.offset, 1, QLocale::DataSizeSIFormat));
    if (const QString date = photo_date_text(facts); !date.isEmpty())
        lines << date;
    const QString camera = facts.exif.camera();
    if (!camera.isEmpty())
        lines << tr("Camera: %1").arg(SafeName::for_display(camera));
    if (facts.origin.is_known()) {
        // the times its entry kept
        const auto time_line = [&](const char *text, const QDateTime &time) {
            if (time.isValid())
                lines << tr(text).arg(locale.toString(time.toLocalTime(), QLocale::ShortFormat));
        };
        time_line(QT_TRANSLATE_NOOP("MainWindow", "Modified %1"), facts.origin.modified);
        time_line(QT_TRANSLATE_NOOP("MainWindow", "Created %1"), facts.origin.created);
    }
    if (facts.partial)
        lines << tr("Only its top part could be recovered.");
    if (facts.damaged)
        lines << tr("Recovered whole, but a few of its bytes were damaged on the card: it shows a flaw from there on.");
    if (facts.no_preview && facts.kind == MediaKind::JpegPhoto)
        lines << tr("No preview: the photo is too large to decode while scanning. It is recovered all the same.");
    else if (facts.no_preview)
        lines << tr("No preview could be made of it. It is recovered all the same.");
    return lines.join(QLatin1Char('\n'));
}

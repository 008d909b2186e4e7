#include "progresstext.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QLocale>
#include <QStringList>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("ScanPage", text);
}

// "38 MB/s", with a decimal below 10 MB/s; decimal megabytes, as drives are sold.
QString speed_text(double bytes_per_second)
{
    const double mb = bytes_per_second / 1e6;
    return tr("%1 MB/s").arg(QString::number(mb, 'f', mb < 10.0 ? 1 : 0));
}

QString time_left_text(qint64 seconds)
{
    // Seconds under a minute, then the nearest whole minute: short enough to
    // leave room for the count, and never a minute for the last seconds.
    if (seconds < 60)
        return tr("%1 s left").arg(qMax<qint64>(1, seconds));
    const qint64 minutes = (seconds + 30) / 60;
    if (minutes < 60)
        return tr("%1 min left").arg(minutes);
    return tr("%1 h %2 min left").arg(minutes / 60).arg(minutes % 60);
}

// "251 of 1,024 MB", in decimal megabytes as drives are sold.
QString megabytes_of(qint64 part, qint64 whole)
{
    const QLocale locale;
    return tr("%1 of %2 MB").arg(locale.toString(qRound64(double(part) / 1e6)),
                                 locale.toString(qRound64(double(whole) / 1e6)));
}

QString percent_text(float percent)
{
    // asprintf formats in the C locale: always a point, whatever the user's locale.
    return QString::asprintf("%.02f", double(percent));
}

} // namespace

QString photo_count_text(int files, int videos)
{
    const int photos = files - videos;
    const QString photo_text = photos == 1 ? tr("1 photo") : tr("%1 photos").arg(photos);
    if (videos <= 0)
        return photo_text;
    const QString video_text = videos == 1 ? tr("1 video") : tr("%1 videos").arg(videos);
    return photos > 0 ? tr("%1, %2").arg(photo_text, video_text) : video_text;
}

FoundKinds found_kinds(int files, int videos)
{
    if (videos <= 0)
        return FoundKinds::Photos;
    return videos >= files ? FoundKinds::Videos : FoundKinds::PhotosAndVideos;
}

QString found_noun(FoundKinds kinds, int files)
{
    const bool one = files == 1;
    switch (kinds) {
    case FoundKinds::Photos:
        return one ? tr("photo") : tr("photos");
    case FoundKinds::Videos:
        return one ? tr("video") : tr("videos");
    case FoundKinds::PhotosAndVideos:
        break;
    }
    return one ? tr("photo or video") : tr("photos and videos");
}

QString found_count_text(FoundKinds kinds, int files)
{
    return tr("%1 %2").arg(files).arg(found_noun(kinds, files));
}

QString selection_text(int shown, int ticked, qint64 ticked_bytes, int ticked_hidden)
{
    if (ticked == 0)
        return tr("%1 shown, none ticked").arg(shown);
    const QString size = QLocale().formattedDataSize(ticked_bytes, 1, QLocale::DataSizeSIFormat);
    if (ticked_hidden > 0)
        return tr("%1 shown, %2 ticked (%3; %4 hidden)").arg(shown).arg(ticked).arg(size).arg(ticked_hidden);
    return tr("%1 shown, %2 ticked (%3)").arg(shown).arg(ticked).arg(size);
}

QString progress_text(float percent, int photos, std::optional<double> speed, std::optional<qint64> left,
                      const QFontMetrics &metrics, int width, int videos)
{
    // asprintf formats in the C locale: always a point, whatever the user's locale.
    const QString share = QString::asprintf("%.02f", double(percent)) + QLatin1Char('%');
    const QString scanning = tr("Scanning %1%").arg(QString::asprintf("%.02f", double(percent)));

    QStringList candidates;
    if (speed && left) {
        const QString count = photo_count_text(photos, videos);
        const QString rate = speed_text(*speed);
        const QString time = time_left_text(*left);
        candidates << tr("%1 - %2, %3, %4").arg(scanning, count, rate, time)
                   << tr("%1 - %2, %3, %4").arg(share, count, rate, time)
                   << tr("%1 - %2, %3").arg(share, count, time) << tr("%1 - %2").arg(share, time);
    } else if (photos > 0) {
        candidates << tr("%1 - %2").arg(scanning, photo_count_text(photos, videos))
                   << tr("%1 - %2").arg(share, photo_count_text(photos, videos));
    }
    candidates << scanning;
    for (const QString &text : std::as_const(candidates)) {
        if (metrics.horizontalAdvance(text) <= width)
            return text;
    }
    return share;
}

QString stopped_status_text(float percent, qint64 read_bytes, qint64 total_bytes)
{
    return tr("Stopped at %1% (%2); the rest was not searched")
        .arg(percent_text(percent), megabytes_of(read_bytes, total_bytes));
}

QString stopped_scan_sentence(float percent, qint64 read_bytes, qint64 total_bytes, bool resumable)
{
    const QString text = tr("The scan was stopped at %1% (%2): the rest of the card was not searched, and photos "
                            "there are not listed.")
                             .arg(percent_text(percent), megabytes_of(read_bytes, total_bytes));
    if (!resumable)
        return text;
    return text + QLatin1Char('\n')
        + tr("Go back and press \"Resume scan\" to search the rest before the card is used again.");
}

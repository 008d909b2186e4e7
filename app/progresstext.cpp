#include "progresstext.h"

#include <QCoreApplication>
#include <QFontMetrics>
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
    // Whole minutes, rounded up: short enough to leave room for the count.
    const qint64 minutes = qMax<qint64>(1, (seconds + 59) / 60);
    if (minutes < 60)
        return tr("%1 min left").arg(minutes);
    return tr("%1 h %2 min left").arg(minutes / 60).arg(minutes % 60);
}

} // namespace

QString photo_count_text(int count)
{
    return count == 1 ? tr("1 photo") : tr("%1 photos").arg(count);
}

QString progress_text(float percent, int photos, std::optional<double> speed, std::optional<qint64> left,
                      const QFontMetrics &metrics, int width)
{
    // asprintf formats in the C locale: always a point, whatever the user's locale.
    const QString share = QString::asprintf("%.02f", double(percent)) + QLatin1Char('%');
    const QString scanning = tr("Scanning %1%").arg(QString::asprintf("%.02f", double(percent)));

    QStringList candidates;
    if (speed && left) {
        const QString count = photo_count_text(photos);
        const QString rate = speed_text(*speed);
        const QString time = time_left_text(*left);
        candidates << tr("%1 - %2, %3, %4").arg(scanning, count, rate, time)
                   << tr("%1 - %2, %3, %4").arg(share, count, rate, time)
                   << tr("%1 - %2, %3").arg(share, count, time) << tr("%1 - %2").arg(share, time);
    } else if (photos > 0) {
        candidates << tr("%1 - %2").arg(scanning, photo_count_text(photos))
                   << tr("%1 - %2").arg(share, photo_count_text(photos));
    }
    candidates << scanning;
    for (const QString &text : std::as_const(candidates)) {
        if (metrics.horizontalAdvance(text) <= width)
            return text;
    }
    return share;
}

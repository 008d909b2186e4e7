#include "scanprogress.h"

#include "progresstext.h"

#include <QLabel>
#include <QLocale>
#include <QProgressBar>

#include <climits>

void ScanProgress::reset()
{
    last_percent = 0.0f;
    bytes_read = 0;
    unreadable = 0;
    stopped_early = false;
    resumed_from = 0;
    unreadable_before = 0;
}

void ScanProgress::resume_at(qint64 offset)
{
    resumed_from = offset;
    unreadable_before = unreadable;
    stopped_early = false;
}

void ScanProgress::start_clock(qint64 device_bytes)
{
    scan_clock.start();
    scan_rate.start(device_bytes, 0, resumed_from);
}

void ScanProgress::stop_clock()
{
    scan_clock.invalidate();
}

void ScanProgress::update(qint64 done, qint64 total, quint32 bytes_per_sector)
{
    last_percent = total > 0 ? float(double(done) * 100.0 / double(total)) : 0.0f;
    bytes_read = done * qMax<quint32>(bytes_per_sector, 1);
    if (scan_clock.isValid())
        scan_rate.update(bytes_read, scan_clock.elapsed());
}

void ScanProgress::show(QLabel *label, QProgressBar *bar, int photos, int videos) const
{
    const QFontMetrics metrics = label->fontMetrics();
    const auto line = [&](int width) {
        return progress_text(last_percent, photos, scan_rate.bytes_per_second(), scan_rate.seconds_left(), metrics,
                             width, videos);
    };
    // The text stands beside the bar, where it is read whatever part of the
    // bar is filled; the bar itself carries the whole line for screen readers.
    const QString whole = line(INT_MAX);
    const QString text = line(label->contentsRect().width() - 2 * label->margin());
    bar->setFormat(whole);
    label->setText(text);
    // The whole line stays at hand when there is no room for it.
    label->setToolTip(whole == text ? QString() : whole);
    bar->setToolTip(label->toolTip());
}

QString ScanProgress::with_unreadable(const QString &text) const
{
    if (unreadable <= 0)
        return text;
    return tr("%1 (%2 unreadable)").arg(text, QLocale().formattedDataSize(unreadable, 1));
}

QString ScanProgress::unreadable_tip() const
{
    return tr("%n byte(s) of the device could not be read; photos stored there are lost.", nullptr,
              int(qMin<qint64>(unreadable, INT_MAX)));
}

QString ScanProgress::stopped_status(qint64 device_bytes) const
{
    return stopped_status_text(last_percent, bytes_read, device_bytes);
}

QString ScanProgress::stopped_sentence(qint64 device_bytes, bool resumable) const
{
    return stopped_early ? stopped_scan_sentence(last_percent, bytes_read, device_bytes, resumable) : QString();
}

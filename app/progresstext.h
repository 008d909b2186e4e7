#pragma once

#include <QString>

#include <optional>

class QFontMetrics;

// "1 photo", "312 photos".
QString photo_count_text(int count);

// "Scanning 45.67% - 312 photos, 38 MB/s, 12 min left", shortened until it
// fits width in metrics: first the word "Scanning", then the speed, then the
// count. Speed and time left are left out while they are not known yet.
QString progress_text(float percent, int photos, std::optional<double> bytes_per_second,
                      std::optional<qint64> seconds_left, const QFontMetrics &metrics, int width);

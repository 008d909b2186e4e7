#pragma once

#include <QString>

#include <optional>

class QFontMetrics;

// "1 photo", "312 photos"; with videos among the files, "3 photos, 5
// videos", or "5 videos" when all are.
QString photo_count_text(int files, int videos = 0);

// What a set of found files holds, for the words that name them.
enum class FoundKinds { Photos, Videos, PhotosAndVideos };
// Of files found, videos of them are videos; none found counts as photos.
FoundKinds found_kinds(int files, int videos);
// "photos", "videos" or "photos and videos"; for one file "photo", "video"
// or "photo or video".
QString found_noun(FoundKinds kinds, int files);
// "1 photo", "3 photos", "3 videos", "3 photos and videos".
QString found_count_text(FoundKinds kinds, int files);

// "120 shown, 52 ticked (85.2 MB)", and when ticked photos are filtered out
// of the view "(85.2 MB; 12 hidden)"; "120 shown, none ticked".
QString selection_text(int shown, int ticked, qint64 ticked_bytes, int ticked_hidden);

// "Scanning 45.67% - 312 photos, 38 MB/s, 12 min left", shortened until it
// fits width in metrics: first the word "Scanning", then the speed, then the
// count. Speed and time left are left out while they are not known yet.
// photos counts every file found, videos those of them that are videos.
QString progress_text(float percent, int photos, std::optional<double> bytes_per_second,
                      std::optional<qint64> seconds_left, const QFontMetrics &metrics, int width, int videos = 0);

// "Stopped at 24.53% (251 of 1,024 MB); the rest was not searched": the
// status of a scan stopped after read_bytes of total_bytes.
QString stopped_status_text(float percent, qint64 read_bytes, qint64 total_bytes);

// The same said whole, for the status's tooltip and the last page, with
// how to go on when the scan can be resumed.
QString stopped_scan_sentence(float percent, qint64 read_bytes, qint64 total_bytes, bool resumable);

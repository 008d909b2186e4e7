#pragma once

#include <QByteArray>
#include <QStringList>

namespace testsupport {

// The same photograph with EXIF tags written by exiftool, given as its
// assignments (for example "-DateTimeOriginal=2021:07:04 15:30:12",
// "-Orientation=6" with "-n"). Empty when exiftool cannot be run.
QByteArray with_exif_tags(const QByteArray &jpeg, const QStringList &assignments);

} // namespace testsupport

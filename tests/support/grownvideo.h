#pragma once

#include <QString>

namespace testsupport {

// A card image at path holding one video of size bytes at offset, zeros
// around it, the image ending 1 MiB after it: the camera's MP4 with its
// index at the front (MVI_0002.MP4 of camera_media()) whose last box, the
// frames' mdat, is grown with zeros. ffmpeg leaves an 8-byte free box
// before mdat for this: the two headers become one 64-bit header in place,
// so the index still points at the frames. The image is sparse, so a video
// of gigabytes costs no disk. False with why when it cannot be made here.
bool write_grown_video_card(const QString &path, qint64 size, qint64 offset, QString *why);

} // namespace testsupport

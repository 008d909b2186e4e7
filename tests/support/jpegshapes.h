#pragma once

#include <QByteArray>
#include <QImage>

// Real photos with marker shapes spliced into them, for the tests that feed
// the same shapes to every part that reads a JPEG's markers.
namespace testsupport {

// The photo with bytes put in front of the first marker of code: a header
// marker is found by stepping over the segments before the first scan, the
// end of image (D9) at the photo's end. Empty when there is no such marker.
QByteArray with_bytes_before(const QByteArray &jpeg, uchar code, const QByteArray &bytes);

// A CMYK photo as Adobe's programs write one (an APP14 segment, the inks
// inverted), encoded by libjpeg itself: no command-line encoder takes CMYK.
QByteArray cmyk_jpeg(const QImage &picture, int quality = 85);

} // namespace testsupport

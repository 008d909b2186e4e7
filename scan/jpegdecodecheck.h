#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QtGlobal>

// Decodes a JPEG stream from memory with libjpeg-turbo and says whether it
// decodes cleanly and, when it does not, how far its data was good. The same
// decode makes the thumbnail: the decoder scales in the DCT, so a whole photo
// costs one scaled decode.
class JpegDecodeCheck
{
public:
    struct Result
    {
        bool clean = false;            // every row decoded, no warning, ended at its end-of-image marker
        qint64 fault_position = -1;    // bytes consumed when the first fault was met; -1 when clean
        int mcu_rows = 0;              // rows of blocks (MCU rows) in the image
        int rows_before_fault = 0;     // MCU rows output before the first fault (all of them when clean)
        QImage thumbnail;              // null when the header could not be read
    };

    // Decodes the whole stream; the thumbnail is scaled to thumbnail_size
    // without keeping the aspect ratio (empty size: no thumbnail).
    static Result check(const QByteArray &jpeg, QSize thumbnail_size = QSize(160, 107));

    struct Coefficients
    {
        bool clean = false;          // no warning up to the end-of-image marker
        bool complete = false;       // a progressive stream: every scan of its progression was there
        bool ran_out = false;        // the first fault was the end of the bytes
        qint64 fault_position = -1;  // bytes consumed when the first fault was met
        qint64 end_position = -1;    // bytes consumed up to and with the end-of-image marker, when clean
    };

    // Reads the stream's coefficients without making pixels: the cheap way
    // to learn whether, and where, a progressive photo's data goes wrong.
    static Coefficients read_coefficients(const QByteArray &jpeg);
};

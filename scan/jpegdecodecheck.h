#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QtGlobal>

#include <functional>

// Decodes a JPEG stream from memory with libjpeg-turbo and says whether it
// decodes cleanly and, when it does not, how far its data was good. The same
// decode makes the thumbnail: the decoder scales in the DCT, so a whole photo
// costs one scaled decode.
class JpegDecodeCheck
{
public:
    // Memory all decoders of a scan may hold at once, and what one decode of
    // a sequential stream needs beside its output at most (a few rows of
    // blocks of the widest photo a camera makes). Every decompressor is made
    // with a limit (libjpeg's max_memory_to_use): a stream that needs more
    // fails as over budget instead of taking it.
    static constexpr qint64 memory_budget = 72 * 1024 * 1024;
    static constexpr qint64 working_memory = 16 * 1024 * 1024;

    // Ends a decode early when it returns true; asked every few rows.
    using Interrupt = std::function<bool()>;

    struct Result
    {
        bool clean = false;            // every row decoded, no warning, ended at its end-of-image marker
        qint64 fault_position = -1;    // bytes consumed when the first fault was met; -1 when clean
        int mcu_rows = 0;              // rows of blocks (MCU rows) in the image
        int rows_before_fault = 0;     // MCU rows output before the first fault (all of them when clean)
        QImage thumbnail;              // null when the header could not be read
        bool over_budget = false;      // needs more memory than allowed, or more pixels than a camera makes
        bool interrupted = false;
        // Every row came from the stream's own data: it neither ran out nor
        // met its end-of-image marker before its last row of blocks, and no
        // more than a few bytes were left over (a few wrong bits put the
        // coding out of step for a while; cut short, most rows are grey).
        bool reached_frame_end = false;
    };

    // Decodes the whole stream; the thumbnail is scaled to thumbnail_size
    // without keeping the aspect ratio (empty size: no thumbnail).
    // memory_limit: what libjpeg may set aside for this decode, the picture
    // made counted in; scaling: how the decoder's picture is brought to
    // thumbnail_size.
    static Result check(const QByteArray &jpeg, QSize thumbnail_size = QSize(160, 107),
                        qint64 memory_limit = memory_budget, const Interrupt &interrupted = {},
                        Qt::TransformationMode scaling = Qt::FastTransformation);

    struct Coefficients
    {
        bool clean = false;          // no warning up to the end-of-image marker
        bool complete = false;       // a progressive stream: every scan of its progression was there
        bool ran_out = false;        // the first fault was the end of the bytes
        qint64 fault_position = -1;  // bytes consumed when the first fault was met
        qint64 end_position = -1;    // bytes consumed up to and with the end-of-image marker, when clean
        bool over_budget = false;
        bool interrupted = false;
    };

    // Reads the stream's coefficients without making pixels: the cheap way
    // to learn whether, and where, a progressive photo's data goes wrong.
    // stop_at_fault: end at the first sign of corrupt data instead of
    // reading on through the rest (all a trial join needs to know).
    static Coefficients read_coefficients(const QByteArray &jpeg, const Interrupt &interrupted = {},
                                          qint64 memory_limit = memory_budget, bool stop_at_fault = false);
};

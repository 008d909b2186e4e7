#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

// Judges the places where a photo put together from pieces goes from one
// piece to the next by its pixels: it decodes the rows of pixels on both
// sides of each join and compares the step across it with the steps between
// rows of blocks just above it, which are the photo's own. Data from the
// wrong place shows as a jump; a join in a flat or dark area shows nothing
// either way and proves nothing.
class JpegSeamCheck
{
public:
    enum class Verdict {
        Continuous, // the picture runs on across every join
        Weak,       // a join lies where the picture is too flat to tell
        Broken      // the picture jumps at a join, or does not decode there
    };

    // joins: for each join, the MCU of the photo's first scan (all of its
    // components interleaved) where the next piece's data begins. Only the
    // rows next to the joins are made; libjpeg may set aside memory_limit.
    // A join in the first row of blocks has no rows of the photo above it;
    // when the pieces' order is known (a file system's), the steps between
    // the rows of blocks below it stand in for them (foreign data shows a
    // jump against its own steps too); otherwise it proves nothing.
    enum class FirstRow { ProvesNothing, JudgedByRowsBelow };
    static Verdict judge(const QByteArray &jpeg, const QList<int> &joins, qint64 memory_limit,
                         FirstRow first_row = FirstRow::ProvesNothing);

    // Whether a scan of a photo of several scans meets the next marker with
    // its data spent more than a row of MCUs before the scan's end: data of
    // another photo run into a scan from a sector boundary on rarely fills
    // it, while a few changed bytes put the coding out of step by a few
    // blocks, within the scan's last row. False when libjpeg may not set
    // aside the photo's coefficients within memory_limit.
    static bool scan_ends_rows_early(const QByteArray &jpeg, qint64 memory_limit);

    // A step across a join at most this many times the photo's own, plus
    // step_slack levels, is continuous.
    static constexpr double step_ratio = 2.5;
    static constexpr double step_slack = 6.0;
    // Rows above a join that vary less than this (mean levels between
    // neighbouring pixels and rows) are too flat to prove a join.
    static constexpr double flat_below = 1.5;
};

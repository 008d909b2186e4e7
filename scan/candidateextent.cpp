#include "candidateextent.h"

#include "jpegentropywalker.h"
#include "jpegframelimits.h"
#include "sectorscreen.h"

namespace {

constexpr qint64 sector = SectorScreen::sector;

qint64 ceil_sector(qint64 at)
{
    return (at + sector - 1) / sector * sector;
}

} // namespace

qint64 CandidateExtent::useful_length(const char *candidate, qint64 length, qint64 window, qint64 progressive_limit,
                                      const std::function<bool()> &stopped)
{
    const auto *bytes = reinterpret_cast<const uchar *>(candidate);
    if (!JpegFrameLimits::could_hold(JpegFrameLimits::read(bytes, length), length + window))
        return 0; // a frame no camera makes, or more than its bytes could code
    JpegEntropyWalker walker;
    walker.set_interrupt(stopped);
    if (walker.parse_header(bytes, length)) {
        // A piece ends before the first sector no entropy-coded data could
        // fill: zeros or text behind a header are not walked.
        qint64 end = ceil_sector(walker.entropy_start());
        while (end + sector <= length && SectorScreen::could_be_entropy_data(bytes + end, walker.has_later_scans()))
            end += sector;
        end = qMin(end + sector, length);
        JpegEntropyWalker::State state = walker.start_state();
        qint64 fault = end;
        if (walker.walk(state, bytes, end, -1, &fault) == JpegEntropyWalker::Outcome::Interrupted)
            fault = state.pos;
        return qMin(end, ceil_sector(fault) + sector);
    }
    // A progressive photo: its first scan must have begun.
    const QByteArray head = QByteArray::fromRawData(candidate, qMin<qint64>(length, 1024 * 1024));
    uchar frame = 0;
    if (SectorScreen::first_scan_at(head, head.size(), &frame) > 0 && frame == 0xC2)
        return qMin<qint64>(length, progressive_limit);
    return 0;
}

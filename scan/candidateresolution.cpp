#include "candidateresolution.h"

#include "jpegcarver.h"
#include "jpegdecodecheck.h"
#include "thumbnailqueue.h"

#include <iterator>
#include <optional>

CandidateResolution::CandidateResolution(const Context &context, QMap<qint64, qint64> found_runs)
    : context(context)
    , found_runs(std::move(found_runs))
{
}

void CandidateResolution::resolve(const Candidate &candidate)
{
    const qint64 offset = candidate.offset;
    const qint64 length = candidate.length;
    FreeSpaceAssembly::Result along;
    if (context.view->allocation.is_known() && context.search_enabled && assemble_along_free_space(offset, &along))
        return;
    const QByteArray stream = context.read(offset, length);
    if (stream.size() < FragmentSearch::sector || !FragmentSearch::could_be_photo(stream))
        return;
    FragmentSearch search([this](qint64 at, qint64 count) { return context.read(at, count); },
                          [this](qint64 at) { return occupied_until(at); }, context.stopped);
    search.set_search_enabled(context.search_enabled);
    // Damaged where it lies, as far as its own bytes tell: only pieces close
    // by could still make it a photo in pieces, so the search looks only there.
    search.set_near_only(candidate.whole_if_alone);
    const FragmentSearch::Outcome outcome = search.resolve(offset, stream);
    if (context.stopped())
        return;
    if (!outcome.pieces.isEmpty() && offer_assembled(outcome))
        return;
    if (candidate.whole_if_alone)
        offer_damaged(offset, stream);
    else
        offer_leading_part(offset, stream, outcome, along);
}

// Whole as the card holds it, with its flaw: what the user wants of a photo
// a few of whose bytes went wrong, rather than its top part.
void CandidateResolution::offer_damaged(qint64 offset, const QByteArray &stream)
{
    const JpegDecodeCheck::Result decode = JpegDecodeCheck::check(stream, context.thumbnail_pixels);
    if (decode.thumbnail.isNull())
        return;
    PhotoFacts facts = ThumbnailQueue::facts(offset, stream);
    facts.damaged = true;
    offer({{offset, stream.size()}}, false, decode.thumbnail, stream, facts);
}

// A file system fills free space in order, so on a volume whose allocation
// is known a photo in pieces lies along the free clusters from its start:
// its deleted entry's own chain (exFAT's contiguous files, a FAT chain that
// survived) is tried first, then the free clusters read back to back,
// skipping live files and photos found, through or around the clusters of
// other deleted files, any number of pieces.
bool CandidateResolution::assemble_along_free_space(qint64 offset, FreeSpaceAssembly::Result *along)
{
    const FileEntry *entry = context.view->deleted_entry_at(offset, 1);
    if (entry && !entry->runs.isEmpty() && entry->runs.first().offset == offset && offer_if_whole(entry->runs))
        return true;
    FreeSpaceAssembly assembly(
        *context.view, context.volume_end, [this](qint64 at, qint64 count) { return context.read(at, count); },
        [this](qint64 at) { return occupied_until(at); }, [this](qint64 at) { return free_until(at); },
        context.stopped);
    *along = assembly.follow(offset, entry);
    return along->whole && offer_whole(along->pieces, along->stream);
}

// Reads the runs in order until a JPEG stream from their first byte ends or
// is given up; offers it when it decodes cleanly.
bool CandidateResolution::offer_if_whole(const VolumeExtents &runs)
{
    std::optional<qint64> length;
    bool given_up = false;
    JpegCarver along([&length](const char *, qint64 stream_length, qint64 at) {
        if (at == 0 && !length)
            length = stream_length;
    });
    along.set_give_up_handler([&given_up](const char *, qint64, qint64 at, JpegCarver::GiveUp) {
        if (at == 0)
            given_up = true;
    });
    QByteArray bytes;
    for (const VolumeExtent &run : runs) {
        for (qint64 done = 0; done < run.length && !length && !given_up && !context.stopped();) {
            const QByteArray chunk = context.read(run.offset + done, qMin<qint64>(run.length - done, 1024 * 1024));
            if (chunk.isEmpty())
                return false;
            bytes.append(chunk);
            along.feed(chunk.constData(), chunk.size());
            done += chunk.size();
        }
    }
    if (!length && !given_up)
        along.finish();
    if (!length)
        return false;
    bytes.truncate(*length);
    VolumeExtents pieces;
    qint64 left = *length;
    for (const VolumeExtent &run : runs) {
        if (left <= 0)
            break;
        pieces.append({run.offset, qMin(run.length, left)});
        left -= pieces.last().length;
    }
    return offer_whole(pieces, bytes);
}

bool CandidateResolution::offer_whole(const VolumeExtents &pieces, const QByteArray &bytes)
{
    if (pieces.size() < 2)
        return false; // whole in one piece it would not have been broken: something else is wrong with it
    const JpegDecodeCheck::Result decode = JpegDecodeCheck::check(bytes, context.thumbnail_pixels);
    if (!decode.clean || FragmentSearch::first_unlikely_sector(bytes) >= 0)
        return false;
    offer(pieces, false, decode.thumbnail, bytes, ThumbnailQueue::facts(pieces.first().offset, bytes));
    return true;
}

bool CandidateResolution::offer_assembled(const FragmentSearch::Outcome &outcome)
{
    const JpegDecodeCheck::Result decode = JpegDecodeCheck::check(outcome.stream, context.thumbnail_pixels);
    if (!decode.clean)
        return false; // a wrong join is worse than none
    offer(outcome.pieces, false, decode.thumbnail, outcome.stream,
               ThumbnailQueue::facts(outcome.pieces.first().offset, outcome.stream));
    return true;
}

// The bytes before the data went wrong, as a file of their own, when they
// hold at least one row of blocks: along the free space they may run on
// over further pieces, else they are the candidate's own.
void CandidateResolution::offer_leading_part(qint64 offset, const QByteArray &stream, const FragmentSearch::Outcome &outcome,
                                             const FreeSpaceAssembly::Result &along)
{
    qint64 valid = outcome.valid_length;
    bool enough_rows = outcome.valid_mcu_rows >= 1;
    if (outcome.valid_mcu_rows < 0 || valid >= stream.size()) {
        // The walker cannot follow this stream (progressive) or found nothing
        // wrong: libjpeg's decode says where it goes wrong.
        const JpegDecodeCheck::Result whole = JpegDecodeCheck::check(stream, context.thumbnail_pixels);
        const qint64 fault = whole.clean ? stream.size() : qMin<qint64>(whole.fault_position, stream.size());
        valid = first_foreign_sector(stream, fault);
        if (outcome.valid_mcu_rows < 0 && !whole.clean)
            valid = qMin(valid, start_of_scan_before(stream, fault));
        if (whole.clean && FragmentSearch::first_unlikely_sector(stream) < 0)
            return; // nothing wrong with it after all
        enough_rows = outcome.valid_mcu_rows < 0 ? FragmentSearch::scans_within(stream, valid) >= 2
                                                 : whole.rows_before_fault >= 1;
    }
    if (!enough_rows)
        valid = 0;
    if (along.stream.size() > valid && offer_part(along.pieces, along.stream))
        return;
    if (valid > 0)
        offer_part({{offset, valid}}, stream.left(valid));
}

bool CandidateResolution::offer_part(const VolumeExtents &pieces, const QByteArray &part)
{
    uchar frame = 0;
    if (pieces.isEmpty() || FragmentSearch::first_scan_at(part, -1, &frame) < 0)
        return false;
    const JpegDecodeCheck::Result decode = JpegDecodeCheck::check(part, context.thumbnail_pixels);
    const bool progressive = frame == 0xC2;
    if (decode.thumbnail.isNull()
        || (progressive ? FragmentSearch::scans_within(part, part.size()) < 2 : decode.rows_before_fault < 1))
        return false;
    offer(pieces, true, decode.thumbnail, part, ThumbnailQueue::facts(pieces.first().offset, part));
    return true;
}

// The sector boundary before which a stream's data is its own: no later than
// the decoder's fault, and no later than the first sector after its first
// scan began that no JPEG data could fill.
qint64 CandidateResolution::first_foreign_sector(const QByteArray &stream, qint64 fault)
{
    const qint64 unlikely = FragmentSearch::first_unlikely_sector(stream, fault);
    const qint64 end = unlikely >= 0 ? unlikely : fault;
    return end / FragmentSearch::sector * FragmentSearch::sector;
}

// Where the progressive scan that the decoder was reading at its fault
// begins. Each scan covers the whole picture, so libjpeg meets another
// photo's bytes only at the next marker after them, however many sectors
// on: the scans before this one ended exactly at the markers that follow
// them, which foreign bytes almost never do, but this one's data may be
// foreign from any sector. A fault at a marker (its two bytes read) lies in
// the scan before it.
qint64 CandidateResolution::start_of_scan_before(const QByteArray &stream, qint64 fault)
{
    const qint64 before = fault - 3;
    return before < 0 ? 0 : qMax<qint64>(0, stream.lastIndexOf("\xFF\xDA", before));
}

// The end of the free run holding offset: the next used bytes or photo found.
qint64 CandidateResolution::free_until(qint64 offset)
{
    qint64 end = context.view->allocation.free_until(offset);
    const auto next_found = found_runs.upperBound(offset);
    if (next_found != found_runs.cend())
        end = qMin(end, next_found.key());
    note(starts, offset + 1, end);
    return end;
}

qint64 CandidateResolution::occupied_until(qint64 offset)
{
    auto run = found_runs.upperBound(offset);
    if (run != found_runs.constBegin()) {
        --run;
        if (run.value() > offset) {
            note(covered, run.key(), offset + 1);
            return run.value();
        }
    }
    note(covered, offset, offset + 1);
    return context.view->allocation.used_until(offset);
}

void CandidateResolution::offer(const VolumeExtents &pieces, bool partial, const QImage &thumbnail,
                                const QByteArray &bytes, const PhotoFacts &facts)
{
    offered.append({pieces, partial, thumbnail, bytes, facts});
}

bool CandidateResolution::depends_on(const VolumeExtents &pieces) const
{
    for (const VolumeExtent &piece : pieces)
        if (meets(covered, piece.offset, piece.end()) || meets(starts, piece.offset, piece.offset + 1))
            return true;
    return false;
}

// Adds [from, to) to intervals, merged with those it meets or nearly meets.
// to may be the largest offset there is (free to the volume's end), so the
// gap is taken off the other side.
void CandidateResolution::note(QMap<qint64, qint64> &intervals, qint64 from, qint64 to)
{
    if (to <= from)
        return;
    auto at = intervals.upperBound(from);
    if (at != intervals.begin() && std::prev(at).value() >= from - merge_gap) {
        --at;
        from = at.key();
        to = qMax(to, at.value());
        at = intervals.erase(at);
    }
    while (at != intervals.end() && at.key() - merge_gap <= to) {
        to = qMax(to, at.value());
        at = intervals.erase(at);
    }
    intervals.insert(from, to);
}

// Whether [from, to) overlaps any of intervals.
bool CandidateResolution::meets(const QMap<qint64, qint64> &intervals, qint64 from, qint64 to)
{
    auto at = intervals.upperBound(from);
    if (at != intervals.begin() && std::prev(at).value() > from)
        return true;
    return at != intervals.end() && at.key() < to;
}

#include "freespaceassembly.h"

#include "fragmentsearch.h"
#include "jpegcarver.h"
#include "jpegdecodecheck.h"
#include "jpegentropywalker.h"
#include "jpegframelimits.h"
#include "jpegseamcheck.h"
#include "sectorscreen.h"

#include <algorithm>
#include <limits>
#include <optional>

FreeSpaceAssembly::FreeSpaceAssembly(const FileSystemView &view, qint64 volume_end, Reader reader,
                                     Occupied occupied, FreeUntil free_until, Stopped stopped)
    : view(view)
    , volume_end(volume_end)
    , cache(std::move(reader))
    , occupied(std::move(occupied))
    , free_until(std::move(free_until))
    , stopped(std::move(stopped))
{
}

FreeSpaceAssembly::Result FreeSpaceAssembly::follow(qint64 from, const FileEntry *own)
{
    start = from;
    own_entry = own;
    trials = 0;
    work = 0;
    allowed = 0;
    if (occupied(start) > start)
        return {}; // a live file's or a photo's found: none of this photo's
    Trial best = run_trial({});
    allowed = work_allowed(best);
    // Each round tries the places met before the data went wrong the other
    // way, latest first, and keeps the first path whose data goes further.
    while (!best.clean && !best.unproven && !over_budget()) {
        bool further = false;
        for (const Detours &detours : alternatives(best)) {
            if (over_budget())
                break;
            Trial trial = run_trial(detours);
            if (trial.clean || trial.sound > best.sound) {
                best = std::move(trial);
                further = true;
                break;
            }
        }
        if (!further)
            break;
    }
    if (best.clean && best.path.size() >= 2)
        return {leading_extents(best.path, best.stream.size()), best.stream, true};
    return leading_part(best);
}

FreeSpaceAssembly::Trial FreeSpaceAssembly::run_trial(const Detours &detours)
{
    ++trials;
    Trial trial;
    trial.detours = detours;
    trial.path = path_from(detours, &trial.places);
    work += run_work * trial.path.size();
    carve_along(trial);
    work += trial.stream.size();
    judge(trial);
    return trial;
}

// Paths cost what they read and decode; a photo of a few pieces costs a few
// of its own lengths, whatever the number of places on its way.
qint64 FreeSpaceAssembly::work_allowed(const Trial &first) const
{
    qint64 can_be = reach;
    if (own_entry && own_entry->size > 0) {
        can_be = own_entry->size;
    } else {
        const JpegFrameLimits::Frame frame = JpegFrameLimits::read(first.stream);
        if (frame.valid && !frame.arithmetic)
            can_be = frame.blocks * bytes_per_block;
    }
    return passes * std::clamp<qint64>(can_be, 64 * 1024, reach);
}

bool FreeSpaceAssembly::over_budget() const
{
    return work >= allowed || (stopped && stopped());
}

// The free bytes from the photo's start on, back to back, around live
// files, photos found and the places gone around.
VolumeExtents FreeSpaceAssembly::path_from(const Detours &detours, QList<Place> *places) const
{
    VolumeExtents path;
    qint64 at = start;
    qint64 taken = 0;
    while (taken < reach && at < volume_end && path.size() < most_runs) {
        const qint64 held = occupied(at);
        if (held > at) {
            at = held;
            continue;
        }
        if (at != start) {
            const QList<qint64> ends = ends_of_other_runs(at);
            if (!ends.isEmpty()) {
                if (places->isEmpty() || places->last().at != at)
                    places->append({at, taken, ends});
                const auto detour = detours.constFind(at);
                if (detour != detours.cend() && detour.value() > at) {
                    at = detour.value();
                    continue;
                }
            }
        }
        const qint64 end = std::min({free_until(at), volume_end, view.allocation.next_deleted_after(at)});
        const qint64 take = std::min(end - at, reach - taken);
        if (take <= 0)
            break;
        if (!path.isEmpty() && path.last().end() == at)
            path.last().length += take;
        else
            path.append({at, take});
        taken += take;
        at += take;
    }
    return path;
}

QList<qint64> FreeSpaceAssembly::ends_of_other_runs(qint64 at) const
{
    QList<qint64> ends;
    for (qint64 end : view.allocation.deleted_ends_at(at)) {
        const bool own = own_entry && own_entry->runs.contains(VolumeExtent{at, end - at});
        if (!own && end > at && !ends.contains(end))
            ends.append(end);
    }
    std::sort(ends.begin(), ends.end());
    return ends;
}

// Reads the path in order until a JPEG stream from its first byte ends, is
// given up, or runs into a sector no JPEG data could fill.
void FreeSpaceAssembly::carve_along(Trial &trial)
{
    constexpr qint64 step = 256 * 1024;
    std::optional<qint64> length;
    std::optional<qint64> given_up;
    JpegCarver along([&length](const char *, qint64 stream_length, qint64 at) {
        if (at == 0 && !length)
            length = stream_length;
    });
    along.set_give_up_handler([&given_up](const char *, qint64 sound_length, qint64 at, JpegCarver::GiveUp) {
        if (at == 0 && !given_up)
            given_up = sound_length;
    });
    QByteArray &bytes = trial.stream;
    bool foreign = false;
    qint64 screened = -1; // sectors before it passed the screen; -1 until the first scan begins
    const auto screen_new_sectors = [&bytes, &screened] {
        if (screened < 0) {
            const qint64 scan = SectorScreen::first_scan_at(bytes);
            if (scan < 0)
                return false;
            screened = (scan + 2 + SectorScreen::sector - 1) / SectorScreen::sector * SectorScreen::sector;
        }
        const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
        for (; screened + SectorScreen::sector <= bytes.size(); screened += SectorScreen::sector) {
            if (!SectorScreen::could_be_entropy_data(data + screened, true, std::numeric_limits<int>::max())
                || (screened >= SectorScreen::sector && SectorScreen::turns_flat_at(data + screened)))
                return true;
        }
        return false;
    };
    for (const VolumeExtent &run : std::as_const(trial.path)) {
        for (qint64 done = 0; done < run.length && !length && !given_up && !foreign;) {
            if (stopped && stopped())
                return;
            const QByteArray chunk = cache.read(run.offset + done, std::min(run.length - done, step));
            if (chunk.isEmpty())
                break;
            bytes.append(chunk);
            if (bytes.size() < 4 || !JpegCarver::is_start_signature(reinterpret_cast<const uchar *>(bytes.constData()))) {
                bytes.clear(); // no photo starts here
                return;
            }
            along.feed(chunk.constData(), chunk.size());
            done += chunk.size();
            foreign = screen_new_sectors();
        }
        if (length || given_up || foreign)
            break;
    }
    if (length) {
        bytes.truncate(*length);
        trial.ended = true;
    } else if (given_up) {
        bytes.truncate(*given_up);
    }
}

// How far the stream's data is its own: up to the first sector no JPEG data
// could fill and the decoder's first fault.
void FreeSpaceAssembly::judge(Trial &trial) const
{
    const QByteArray &bytes = trial.stream;
    const qint64 unlikely = SectorScreen::first_unlikely_sector(bytes);
    trial.sound = unlikely >= 0 ? unlikely : bytes.size();
    const JpegDecodeCheck::Coefficients read =
        JpegDecodeCheck::read_coefficients(unlikely >= 0 ? bytes.left(unlikely) : bytes, stopped,
                                           JpegDecodeCheck::memory_budget, true);
    trial.clean = trial.ended && unlikely < 0 && read.clean;
    if (!read.clean && !read.ran_out && read.fault_position >= 0)
        trial.sound = std::min(trial.sound, read.fault_position);
    if (trial.clean)
        judge_seams(trial);
}

// A path that decodes to its end may still hold another file's data from a
// join on: its pixels must run on across every join, judged as the fragment
// search judges its joins. A jump at a join is where the data goes wrong; a
// join where the picture is too flat to tell, or a last piece of a few bytes,
// proves nothing, so only the part above it is sure. Streams
// the walker cannot follow (progressive, components in scans of their own)
// are judged by their decoding alone.
void FreeSpaceAssembly::judge_seams(Trial &trial) const
{
    const QByteArray &bytes = trial.stream;
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    JpegEntropyWalker walker;
    if (!walker.parse_header(data, bytes.size()) || walker.has_later_scans())
        return;
    QList<qint64> at;  // the joins, in bytes of the stream
    QList<int> mcus;   // the MCU each join's data begins in
    JpegEntropyWalker::State state = walker.start_state();
    qint64 in_stream = 0;
    for (const VolumeExtent &piece : std::as_const(trial.path)) {
        if (in_stream > walker.entropy_start() && in_stream < bytes.size()) {
            if (walker.walk(state, data, in_stream) != JpegEntropyWalker::Outcome::NeedData || state.scan > 0) {
                // The walker reads the data otherwise than the decoder: no
                // seam past here can be placed, so none is proven.
                trial.clean = false;
                trial.unproven = true;
                trial.sound = std::min(trial.sound, in_stream);
                return;
            }
            at.append(in_stream);
            mcus.append(state.mcu);
        }
        in_stream += piece.length;
    }
    if (mcus.isEmpty())
        return;
    const auto fail_at = [&trial](qint64 join, bool unproven) {
        trial.clean = false;
        trial.unproven = unproven;
        trial.sound = std::min(trial.sound, join);
    };
    // The path follows the file system's order rather than a search among
    // thousands of sectors, so a last piece is judged by its seam, whatever
    // rows it covers; only a few bytes show too little of one.
    const bool short_last = bytes.size() - at.last() < FragmentSearch::smallest_proof;
    constexpr auto rows_below = JpegSeamCheck::FirstRow::JudgedByRowsBelow;
    if (JpegSeamCheck::judge(bytes, mcus, JpegDecodeCheck::working_memory, rows_below) == JpegSeamCheck::Verdict::Continuous) {
        if (short_last)
            fail_at(at.last(), true);
        return;
    }
    // The first join that does not run on ends what is sure. The joins up
    // to one run on together only while each does, so the first is halved
    // for: a path of many pieces costs a few decodes, not one a join.
    qsizetype holding = 0, failing = mcus.size(); // joins [0, holding) run on; [0, failing) do not
    while (failing - holding > 1) {
        const qsizetype middle = (holding + failing) / 2;
        if (JpegSeamCheck::judge(bytes, mcus.first(middle), JpegDecodeCheck::working_memory, rows_below)
            == JpegSeamCheck::Verdict::Continuous)
            holding = middle;
        else
            failing = middle;
    }
    const JpegSeamCheck::Verdict verdict = JpegSeamCheck::judge(bytes, {mcus[holding]}, JpegDecodeCheck::working_memory, rows_below);
    fail_at(at[holding], verdict != JpegSeamCheck::Verdict::Broken);
}

// The ways to go at the places met before the data went wrong, latest
// first: around a place gone through (to the end of each run there), or
// through a place gone around.
QList<FreeSpaceAssembly::Detours> FreeSpaceAssembly::alternatives(const Trial &trial) const
{
    QList<Detours> ways;
    int places = 0;
    for (auto place = trial.places.crbegin(); place != trial.places.crend() && places < places_tried; ++place) {
        if (place->in_stream > trial.sound)
            continue;
        ++places;
        const auto detour = trial.detours.constFind(place->at);
        if (detour != trial.detours.cend()) {
            Detours through = trial.detours;
            through.remove(place->at);
            ways.append(through);
        }
        for (qint64 end : place->ends) {
            if (detour != trial.detours.cend() && detour.value() == end)
                continue;
            Detours around = trial.detours;
            around.insert(place->at, end);
            ways.append(around);
        }
    }
    return ways;
}

// The trial's sound bytes to a sector boundary, and no further than a join
// shortly before where the data went wrong: the foreign data begins there.
FreeSpaceAssembly::Result FreeSpaceAssembly::leading_part(const Trial &trial) const
{
    qint64 length = trial.sound / SectorScreen::sector * SectorScreen::sector;
    qint64 join = 0;
    qint64 in_stream = 0;
    for (const VolumeExtent &piece : trial.path) {
        if (in_stream > 0 && in_stream < length)
            join = in_stream;
        in_stream += piece.length;
    }
    for (const Place &place : trial.places)
        if (!trial.detours.contains(place.at) && place.in_stream < length)
            join = std::max(join, place.in_stream);
    if (join > 0 && length - join < doubt_after_join)
        length = join;
    length = std::min<qint64>(length, trial.stream.size());
    return {leading_extents(trial.path, length), trial.stream.left(length), false};
}

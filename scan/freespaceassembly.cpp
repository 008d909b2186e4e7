#include "freespaceassembly.h"

#include "jpegcarver.h"
#include "jpegdecodecheck.h"
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
    if (occupied(start) > start)
        return {}; // a live file's or a photo's found: none of this photo's
    Trial best = run_trial({});
    // Each round tries the places met before the data went wrong the other
    // way, latest first, and keeps the first path whose data goes further.
    while (!best.clean && trials < most_trials && !(stopped && stopped())) {
        bool further = false;
        for (const Detours &detours : alternatives(best)) {
            if (trials >= most_trials || (stopped && stopped()))
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
        return {cut(best.path, best.stream.size()), best.stream, true};
    return leading_part(best);
}

FreeSpaceAssembly::Trial FreeSpaceAssembly::run_trial(const Detours &detours)
{
    ++trials;
    Trial trial;
    trial.detours = detours;
    trial.path = path_from(detours, &trial.places);
    carve_along(trial);
    judge(trial);
    return trial;
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
    return {cut(trial.path, length), trial.stream.left(length), false};
}

VolumeExtents FreeSpaceAssembly::cut(const VolumeExtents &path, qint64 length)
{
    VolumeExtents pieces;
    for (const VolumeExtent &run : path) {
        if (length <= 0)
            break;
        pieces.append({run.offset, std::min(run.length, length)});
        length -= pieces.last().length;
    }
    return pieces;
}

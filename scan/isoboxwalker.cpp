#include "isoboxwalker.h"

#include "isoboxtypes.h"

#include <QString>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace {

constexpr auto fourcc = &IsoBoxTypes::fourcc;
constexpr auto be32 = &IsoBoxTypes::be32;
constexpr auto be64 = &IsoBoxTypes::be64;

constexpr int ftyp_prefix = 64;
constexpr int hdlr_prefix = 12; // version and flags, pre_defined, handler type
constexpr qint64 largest_ftyp = 4096;

} // namespace

IsoBoxWalker::IsoBoxWalker(qint64 volume_size, FileHandler handler)
    : SectorWalker(volume_size, 8)
    , handler(std::move(handler))
{
}

QString IsoBoxWalker::suffix_of(Kind kind)
{
    switch (kind) {
    case Kind::Mov:
        return QStringLiteral("MOV");
    case Kind::ThreeGp:
        return QStringLiteral("3GP");
    case Kind::Heic:
        return QStringLiteral("HEIC");
    case Kind::Mp4:
        break;
    }
    return QStringLiteral("MP4");
}

bool IsoBoxWalker::is_start(const uchar *at, qint64 available, bool *strong)
{
    if (available < 8)
        return false;
    const quint32 size = be32(reinterpret_cast<const char *>(at));
    const quint32 type = be32(reinterpret_cast<const char *>(at + 4));
    if (strong)
        *strong = type == fourcc("ftyp");
    switch (type) {
    case fourcc("ftyp"):
        return size >= 16 && size <= largest_ftyp && size % 4 == 0;
    case fourcc("wide"):
        return size == 8;
    case fourcc("mdat"):
        return size == 0 || size == 1 || size >= 8;
    case fourcc("moov"):
    case fourcc("free"):
        return size >= 8;
    default:
        return false;
    }
}

qint64 IsoBoxWalker::next_possible_start(const char *block, qint64 block_start, qint64 sector, qint64 end) const
{
    while (sector + 8 <= end && !is_start(reinterpret_cast<const uchar *>(block + (sector - block_start)), 8))
        sector += alignment;
    return sector;
}

// Opens a candidate at a sector start that looks like a file's first box.
// When all places are taken, an ftyp start takes the place of the oldest
// candidate that started otherwise; any other start waits for room.
void IsoBoxWalker::consider_start(qint64 sector, const char *at)
{
    bool strong = false;
    if (!is_start(reinterpret_cast<const uchar *>(at), 8, &strong))
        return;
    note_start(sector);
    remove_done();
    if (candidates.size() >= most_candidates) {
        auto weak = std::find_if(candidates.begin(), candidates.end(), [](const Candidate &c) { return !c.strong; });
        if (!strong || weak == candidates.end())
            return;
        candidates.erase(weak);
    }
    open_candidate(sector).strong = strong;
}

void IsoBoxWalker::take_held(Candidate &candidate)
{
    if (candidate.step == Candidate::Step::Prefix)
        take_prefix(candidate);
    else
        take_header(candidate);
}

void IsoBoxWalker::before_header(Candidate &candidate)
{
    if (candidate.step == Candidate::Step::Header)
        close_containers(candidate);
}

// Containers whose last child ended here are closed, and checked for what
// they must hold.
void IsoBoxWalker::close_containers(Candidate &candidate)
{
    while (candidate.depth > 0 && candidate.open[candidate.depth - 1].end == candidate.position) {
        const Candidate::Open closed = candidate.open[--candidate.depth];
        if (closed.type == fourcc("moov") && (!candidate.moov_has_header || candidate.tracks == 0)) {
            candidate.done = true; // a movie without its header or tracks plays nothing
            return;
        }
    }
}

void IsoBoxWalker::take_header(Candidate &candidate)
{
    const char *at = candidate.held.constData();
    if (candidate.step == Candidate::Step::Header) {
        const quint32 size = be32(at);
        candidate.box_type = be32(at + 4);
        candidate.box_start = candidate.position - 8;
        if (size == 1) {
            candidate.step = Candidate::Step::LargeSize;
            candidate.want = 16;
            return;
        }
        if (size == 0) {
            const qint64 header_end = candidate.box_start + 8;
            const qint64 end = known_end ? known_end(candidate.start, header_end - candidate.start) : -1;
            if (end <= candidate.box_start) {
                candidate.held.clear();
                if (candidate.depth == 0 && complete(candidate))
                    end_file(candidate);
                else
                    candidate.done = true;
                return;
            }
            take_box(candidate, end - candidate.box_start, 8);
        } else {
            take_box(candidate, size, 8);
        }
        candidate.held.clear();
        return;
    }
    // a 64-bit size after the type
    const quint64 size = be64(at + 8);
    candidate.step = Candidate::Step::Header;
    candidate.want = 8;
    take_box(candidate, size > quint64(volume_size) ? volume_size + 1 : qint64(size), 16);
    candidate.held.clear();
}

void IsoBoxWalker::take_box(Candidate &candidate, qint64 size, int header_length)
{
    candidate.step = Candidate::Step::Header;
    candidate.want = 8;
    const bool belongs = candidate.depth == 0 ? take_top_level_box(candidate, size, header_length)
                                              : take_child_box(candidate, size, header_length);
    if (!belongs || candidate.done)
        return;
    const quint32 parent = candidate.depth > 0 ? candidate.open[candidate.depth - 1].type : 0;
    const quint32 type = candidate.box_type;
    const qint64 payload = candidate.box_end - candidate.position;
    if (IsoBoxTypes::opens_into(parent, type) && candidate.depth < deepest) {
        candidate.open[candidate.depth++] = Candidate::Open{type, candidate.box_end, 0};
        // meta is a full box in ISO files: version and flags come before its children
        if (type == fourcc("meta") && payload >= 4)
            candidate.skip_until = candidate.position + 4;
        return;
    }
    int prefix = 0;
    if (type == fourcc("ftyp") && parent == 0)
        prefix = int(std::min<qint64>(payload, ftyp_prefix));
    else if (type == fourcc("hdlr") && (parent == fourcc("mdia") || parent == fourcc("meta")) && payload >= hdlr_prefix)
        prefix = hdlr_prefix; // a shorter one names no handler
    if (prefix >= 8) {
        candidate.step = Candidate::Step::Prefix;
        candidate.want = prefix;
        return;
    }
    candidate.skip_until = candidate.box_end;
}

// A top-level box either belongs to the file or ends it.
bool IsoBoxWalker::take_top_level_box(Candidate &candidate, qint64 size, int header_length)
{
    const quint32 type = candidate.box_type;
    const qint64 start = candidate.box_start;
    const bool first = candidate.top_boxes == 0;
    const bool fits = size >= header_length && size <= volume_size - start;
    bool belongs = fits && IsoBoxTypes::is_top_level_type(type) && (type != fourcc("ftyp") || first);
    // once whole, a file is followed by the next one: a box at a sector start
    // that can begin a file begins one
    if (complete(candidate) && start % alignment == 0) {
        char header[8];
        qToBigEndian(quint32(qMin<qint64>(size, 0xFFFFFFFF)), header);
        qToBigEndian(type, header + 4);
        if (is_start(reinterpret_cast<const uchar *>(header), 8))
            belongs = false;
    }
    if (type == fourcc("wide") && candidate.has_mdat)
        belongs = false;
    // a file holds one movie, and one data box unless it is fragmented
    if (type == fourcc("moov") && candidate.has_moov)
        belongs = false;
    if (type == fourcc("mdat") && candidate.has_mdat && candidate.has_moov)
        belongs = false;
    if (type == fourcc("meta") && candidate.has_meta)
        belongs = false;
    if (type == fourcc("ftyp") && (size < 16 || size > largest_ftyp))
        belongs = false;
    if (!belongs) {
        if (complete(candidate))
            end_file(candidate);
        else
            candidate.done = true;
        return false;
    }
    ++candidate.top_boxes;
    candidate.box_end = start + size;
    candidate.file_end = candidate.box_end;
    checksum(candidate, candidate.held.constData(), start, header_length);
    if (type == fourcc("moov"))
        candidate.has_moov = true;
    else if (type == fourcc("mdat"))
        candidate.has_mdat = true;
    else if (type == fourcc("meta"))
        candidate.has_meta = true;
    return true;
}

// A child lies wholly inside its parent, or the structure is broken.
bool IsoBoxWalker::take_child_box(Candidate &candidate, qint64 size, int header_length)
{
    Candidate::Open &parent = candidate.open[candidate.depth - 1];
    const qint64 start = candidate.box_start;
    if (size < header_length || size > parent.end - start || !IsoBoxTypes::is_type_name(candidate.box_type)) {
        candidate.done = true;
        return false;
    }
    candidate.box_end = start + size;
    ++parent.children;
    const quint32 type = candidate.box_type;
    if (parent.type == fourcc("moov")) {
        if (type == fourcc("mvhd"))
            candidate.moov_has_header = true;
        if (type == fourcc("trak") && ++candidate.tracks > most_tracks) {
            candidate.done = true;
            return false;
        }
    } else if (parent.type == fourcc("meta") && type == fourcc("iloc")) {
        candidate.has_item_locations = true;
    }
    return true;
}

void IsoBoxWalker::take_prefix(Candidate &candidate)
{
    const char *at = candidate.held.constData();
    const int size = int(candidate.held.size());
    if (candidate.box_type == fourcc("ftyp")) {
        candidate.major_brand = be32(at);
        bool av1 = false;
        for (int i = 0; i + 4 <= size; i += 4) {
            if (i == 4)
                continue; // the minor version
            candidate.heic_brand = candidate.heic_brand || IsoBoxTypes::is_heic_brand(be32(at + i));
            av1 = av1 || be32(at + i) == fourcc("avif") || be32(at + i) == fourcc("avis");
        }
        // AV1 pictures share the image brands; they are not HEIC photos
        if (av1)
            candidate.heic_brand = false;
    } else {
        const quint32 handler_type = be32(at + 8);
        const quint32 parent = candidate.open[candidate.depth - 1].type;
        if (parent == fourcc("meta") && handler_type == fourcc("pict"))
            candidate.picture_handler = true;
        else if (parent == fourcc("mdia") && handler_type == fourcc("vide"))
            ++candidate.video_tracks;
    }
    candidate.held.clear();
    candidate.step = Candidate::Step::Header;
    candidate.want = 8;
    candidate.skip_until = candidate.box_end;
}

bool IsoBoxWalker::complete(const Candidate &candidate) const
{
    if (candidate.depth != 0)
        return false;
    const bool movie = candidate.has_moov && candidate.has_mdat && candidate.tracks > 0;
    const bool image = candidate.has_meta && candidate.picture_handler && candidate.has_item_locations
                    && candidate.heic_brand && !candidate.has_moov;
    return movie || image;
}

void IsoBoxWalker::end_file(Candidate &candidate)
{
    candidate.done = true;
    Found found;
    fill_found(found, candidate);
    found.tracks = candidate.tracks;
    found.video_tracks = candidate.video_tracks;
    if (!candidate.has_moov)
        found.kind = Kind::Heic;
    else if (candidate.major_brand == fourcc("qt  ") || candidate.major_brand == 0)
        found.kind = Kind::Mov;
    else if ((candidate.major_brand >> 8) == (fourcc("3gp ") >> 8) || (candidate.major_brand >> 8) == (fourcc("3g2 ") >> 8))
        found.kind = Kind::ThreeGp;
    else
        found.kind = Kind::Mp4;
    if (handler)
        handler(found);
}

void IsoBoxWalker::bytes_end(Candidate &candidate, BytesEnd where)
{
    if (where == BytesEnd::AtGap) {
        // the file ended where the unreadable bytes begin
        if (candidate.held.isEmpty() && candidate.position == candidate.file_end && complete(candidate))
            end_file(candidate);
        return;
    }
    if (candidate.step == Candidate::Step::Prefix || candidate.position < candidate.skip_until)
        return;
    if (candidate.held.isEmpty())
        close_containers(candidate);
    // header bytes cut by the volume's end belong to nothing
    if (!candidate.done && complete(candidate))
        end_file(candidate);
}

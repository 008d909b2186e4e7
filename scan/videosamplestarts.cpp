#include "videosamplestarts.h"

#include "isoboxtypes.h"

#include <algorithm>

namespace {

constexpr auto fourcc = &IsoBoxTypes::fourcc;
constexpr auto be32 = &IsoBoxTypes::be32;
// Entries of each table read: 8 MiB each at most.
constexpr quint32 most_read = 1 << 20;
// Samples placed, over all tracks, before they are spread out.
constexpr size_t most_kept = 1 << 18;

struct Box
{
    quint32 type = 0;
    qint64 payload = 0; // offset of the payload in the movie's bytes
    qint64 end = 0;
};

// The children of the box whose payload lies in [from, end).
std::vector<Box> children(const QByteArray &bytes, qint64 from, qint64 end)
{
    std::vector<Box> boxes;
    for (qint64 at = from; at + 8 <= end && boxes.size() < 4096;) {
        qint64 size = be32(bytes.constData() + at);
        int header = 8;
        if (size == 1 && at + 16 <= end) {
            size = qint64(IsoBoxTypes::be64(bytes.constData() + at + 8));
            header = 16;
        }
        if (size < header || size > end - at)
            break;
        boxes.push_back({be32(bytes.constData() + at + 4), at + header, at + size});
        at += size;
    }
    return boxes;
}

const Box *find(const std::vector<Box> &boxes, quint32 type)
{
    const auto box = std::find_if(boxes.cbegin(), boxes.cend(), [type](const Box &b) { return b.type == type; });
    return box == boxes.cend() ? nullptr : &*box;
}

struct Track
{
    int length_size = 0;
    bool hevc = false;
    std::vector<qint64> chunk_offsets;
    std::vector<qint64> sizes;
    struct Run { quint32 first_chunk; quint32 per_chunk; };
    std::vector<Run> runs;
};

// The first sample entry's coding, and its NAL units' length size.
bool read_entry(const QByteArray &bytes, const Box &stsd, Track &track)
{
    if (stsd.end - stsd.payload < 16)
        return false;
    const qint64 entry = stsd.payload + 8;
    const quint32 format = be32(bytes.constData() + entry + 4);
    track.hevc = format == fourcc("hvc1") || format == fourcc("hev1");
    if (!track.hevc && format != fourcc("avc1") && format != fourcc("avc3"))
        return false;
    const qint64 entry_end = std::min<qint64>(stsd.end, entry + be32(bytes.constData() + entry));
    const std::vector<Box> inside = children(bytes, entry + 8 + 78, entry_end);
    const Box *config = find(inside, track.hevc ? fourcc("hvcC") : fourcc("avcC"));
    const qint64 at = track.hevc ? 21 : 4;
    if (!config || config->end - config->payload <= at)
        return false;
    track.length_size = (uchar(bytes.at(config->payload + at)) & 3) + 1;
    return track.length_size != 3;
}

bool read_tables(const QByteArray &bytes, const std::vector<Box> &stbl, Track &track, qint64 file_size)
{
    const char *data = bytes.constData();
    const Box *stsz = find(stbl, fourcc("stsz"));
    const Box *stsc = find(stbl, fourcc("stsc"));
    const Box *stco = find(stbl, fourcc("stco"));
    const Box *co64 = find(stbl, fourcc("co64"));
    if (!stsz || !stsc || (!stco && !co64) || stsz->end - stsz->payload < 12 || stsc->end - stsc->payload < 8)
        return false;
    const quint32 uniform = be32(data + stsz->payload + 4);
    const quint32 count = be32(data + stsz->payload + 8);
    if (!uniform && qint64(count) * 4 > stsz->end - stsz->payload - 12)
        return false;
    // no more samples than the file holds bytes for, and a bounded number read
    const qint64 samples = std::min<qint64>({count, uniform ? file_size / uniform : count, most_read});
    track.sizes.reserve(size_t(samples));
    for (qint64 i = 0; i < samples; ++i)
        track.sizes.push_back(uniform ? uniform : be32(data + stsz->payload + 12 + i * 4));
    const quint32 runs = be32(data + stsc->payload + 4);
    if (qint64(runs) * 12 > stsc->end - stsc->payload - 8)
        return false;
    for (quint32 i = 0; i < runs && i < most_read; ++i)
        track.runs.push_back({be32(data + stsc->payload + 8 + i * 12), be32(data + stsc->payload + 12 + i * 12)});
    const Box *offsets = co64 ? co64 : stco;
    const int width = co64 ? 8 : 4;
    const quint32 chunks = be32(data + offsets->payload + 4);
    if (qint64(chunks) * width > offsets->end - offsets->payload - 8)
        return false;
    for (quint32 i = 0; i < chunks && i < most_read; ++i) {
        const char *at = data + offsets->payload + 8 + qint64(i) * width;
        track.chunk_offsets.push_back(co64 ? qint64(IsoBoxTypes::be64(at) & 0x7FFFFFFFFFFFFFFF) : qint64(be32(at)));
    }
    return !track.runs.empty() && track.runs.front().first_chunk == 1;
}

// Each sample's place: its chunk's offset and the samples before it there.
void place_samples(const Track &track, qint64 file_size, std::vector<VideoSampleStarts::Sample> &out)
{
    size_t sample = 0;
    for (size_t run = 0; run < track.runs.size() && sample < track.sizes.size(); ++run) {
        const quint32 first = track.runs[run].first_chunk;
        const quint32 last = run + 1 < track.runs.size() ? track.runs[run + 1].first_chunk
                                                         : quint32(track.chunk_offsets.size() + 1);
        if (first < 1 || last < first)
            return;
        for (quint32 chunk = first; chunk < last && chunk <= track.chunk_offsets.size(); ++chunk) {
            qint64 at = track.chunk_offsets[chunk - 1];
            for (quint32 i = 0; i < track.runs[run].per_chunk && sample < track.sizes.size(); ++i, ++sample) {
                const qint64 size = track.sizes[sample];
                if (at < 0 || size <= 0 || at + size > file_size || out.size() >= most_kept)
                    return;
                out.push_back({at, size, track.length_size, track.hevc});
                at += size;
            }
        }
    }
}

} // namespace

std::vector<VideoSampleStarts::Sample> VideoSampleStarts::read(const QByteArray &movie, qint64 file_size)
{
    std::vector<Sample> samples;
    if (movie.size() < 8 || movie.size() > largest_movie || be32(movie.constData() + 4) != fourcc("moov"))
        return samples;
    for (const Box &trak : children(movie, 8, movie.size())) {
        if (trak.type != fourcc("trak"))
            continue;
        const std::vector<Box> in_trak = children(movie, trak.payload, trak.end);
        const Box *mdia = find(in_trak, fourcc("mdia"));
        if (!mdia)
            continue;
        const std::vector<Box> in_mdia = children(movie, mdia->payload, mdia->end);
        const Box *hdlr = find(in_mdia, fourcc("hdlr"));
        const Box *minf = find(in_mdia, fourcc("minf"));
        if (!hdlr || !minf || hdlr->end - hdlr->payload < 12
            || be32(movie.constData() + hdlr->payload + 8) != fourcc("vide"))
            continue;
        const std::vector<Box> in_minf = children(movie, minf->payload, minf->end);
        const Box *stbl = find(in_minf, fourcc("stbl"));
        if (!stbl)
            continue;
        const std::vector<Box> tables = children(movie, stbl->payload, stbl->end);
        const Box *stsd = find(tables, fourcc("stsd"));
        Track track;
        if (stsd && read_entry(movie, *stsd, track) && read_tables(movie, tables, track, file_size))
            place_samples(track, file_size, samples);
    }
    std::sort(samples.begin(), samples.end(), [](const Sample &a, const Sample &b) { return a.offset < b.offset; });
    if (samples.size() > size_t(most_samples)) {
        std::vector<Sample> spread;
        const size_t step = (samples.size() + most_samples - 1) / most_samples;
        for (size_t i = 0; i < samples.size(); i += step)
            spread.push_back(samples[i]);
        samples.swap(spread);
    }
    return samples;
}

bool VideoSampleStarts::plausible(const Sample &sample, const QByteArray &bytes)
{
    if (bytes.size() < sample.length_size + 2)
        return false;
    qint64 length = 0;
    for (int i = 0; i < sample.length_size; ++i)
        length = length << 8 | uchar(bytes.at(i));
    if (length < (sample.hevc ? 2 : 1) || length > sample.size - sample.length_size)
        return false;
    const uchar header = uchar(bytes.at(sample.length_size));
    if (header & 0x80)
        return false; // forbidden_zero_bit
    if (sample.hevc)
        return ((header >> 1) & 0x3F) < 48 && (uchar(bytes.at(sample.length_size + 1)) & 7) != 0; // a known type, temporal id + 1
    const int type = header & 0x1F;
    return type >= 1 && type <= 23;
}

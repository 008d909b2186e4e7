#include "volumereadcache.h"

#include <algorithm>

VolumeReadCache::VolumeReadCache(Reader reader)
    : reader(std::move(reader))
{
}

QByteArray VolumeReadCache::read(qint64 offset, qint64 length)
{
    QByteArray bytes;
    for (qint64 at = offset; at < offset + length;) {
        const qint64 first = at / chunk_size * chunk_size;
        auto hit = std::find_if(chunks.begin(), chunks.end(), [first](const Chunk &c) { return c.offset == first; });
        if (hit == chunks.end()) {
            if (chunks.size() >= chunks_kept)
                chunks.erase(chunks.begin());
            chunks.push_back({first, reader(first, chunk_size)});
            hit = chunks.end() - 1;
        } else {
            std::rotate(hit, hit + 1, chunks.end()); // most recent last
            hit = chunks.end() - 1;
        }
        const qint64 from = at - first;
        const qint64 take = qMin(offset + length - at, qint64(hit->bytes.size()) - from);
        if (take <= 0)
            break; // the end of the volume
        bytes.append(hit->bytes.constData() + from, take);
        at += take;
    }
    return bytes;
}

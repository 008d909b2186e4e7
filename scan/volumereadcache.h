#pragma once

#include <QByteArray>

#include <functional>
#include <vector>

// Reads bytes of a volume in whole MiB chunks and keeps the most recently
// used of them: the tries for one candidate read the same few MiB of the
// volume over and over.
class VolumeReadCache
{
public:
    // Bytes of the volume from offset; fewer at its end.
    using Reader = std::function<QByteArray(qint64 offset, qint64 length)>;

    static constexpr qint64 chunk_size = 1024 * 1024;
    static constexpr size_t chunks_kept = 16;

    explicit VolumeReadCache(Reader reader);

    // Bytes of the volume from offset; fewer at its end.
    QByteArray read(qint64 offset, qint64 length);
    void clear() { chunks.clear(); }

private:
    struct Chunk
    {
        qint64 offset;
        QByteArray bytes;
    };

    Reader reader;
    std::vector<Chunk> chunks; // least recently used first
};

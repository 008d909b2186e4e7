// velvora-bench-mediawalk [GIB]: the box and RIFF walkers over a volume of
// GIB GiB (default 4) in 4 MiB blocks, holding one video that fills nearly
// all of it (a 64-bit box size, as cameras write files over 4 GiB) amid
// random bytes. Prints the speed, the video found and the peak resident
// memory, which must not grow with the video's size.

#include "benchmemory.h"
#include "isoboxwalker.h"
#include "riffwalker.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QtEndian>

#include <cstdio>
#include <cstring>

namespace {

constexpr qint64 block = 4 << 20;

QByteArray box(const char *type, const QByteArray &payload)
{
    QByteArray header(8, '\0');
    qToBigEndian(quint32(payload.size() + 8), header.data());
    header.replace(4, 4, type, 4);
    return header + payload;
}

} // namespace

int main(int argc, char *argv[])
{
    const qint64 gib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 4;
    if (gib < 1) {
        std::fputs("usage: velvora-bench-mediawalk [GIB]\n", stderr);
        return 2;
    }
    const qint64 volume_size = gib << 30;
    QByteArray noise(block, Qt::Uninitialized);
    QRandomGenerator generator(7);
    generator.fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);

    // The video: ftyp at 1 MiB, its frames' box with a 64-bit size up to
    // 8 MiB before the end, its movie box after that.
    const qint64 video_start = 1 << 20;
    const QByteArray head = box("ftyp", QByteArray("isom\0\0\0\0isommp41", 16));
    const QByteArray movie =
        box("moov", box("mvhd", QByteArray(100, '\0'))
                        + box("trak", box("mdia", box("hdlr", QByteArray(8, '\0') + "vide" + QByteArray(12, '\0')))));
    const qint64 frames_start = video_start + head.size();
    const qint64 frames_end = volume_size - (8 << 20);
    QByteArray frames_header(16, '\0');
    qToBigEndian(quint32(1), frames_header.data());
    frames_header.replace(4, 4, "mdat", 4);
    qToBigEndian(quint64(frames_end - frames_start), frames_header.data() + 8);
    const QByteArray tail = movie + box("free", QByteArray(8, '\0'));

    qint64 found_offset = -1;
    qint64 found_length = 0;
    IsoBoxWalker boxes(volume_size, [&](const IsoBoxWalker::Found &file) {
        found_offset = file.offset;
        found_length = file.length;
    });
    RiffWalker riff(volume_size);
    const double start_mib = peak_resident_mib();
    QElapsedTimer timer;
    timer.start();
    QByteArray data = noise;
    for (qint64 at = 0; at < volume_size; at += block) {
        data = noise;
        data.detach();
        const auto place = [&](qint64 offset, const QByteArray &bytes) {
            if (offset >= at && offset < at + block)
                std::memcpy(data.data() + (offset - at), bytes.constData(),
                            size_t(qMin<qint64>(bytes.size(), at + block - offset)));
        };
        place(video_start, head);
        place(frames_start, frames_header);
        place(frames_end, tail);
        boxes.feed(data.constData(), block);
        riff.feed(data.constData(), block);
    }
    boxes.finish();
    riff.finish();
    const double seconds = timer.elapsed() / 1000.0;
    const qint64 expected_length = frames_end + tail.size() - video_start;
    std::printf("volume %lld GiB in %.2f s: %.0f MB/s (both walkers, data in memory)\n", gib, seconds,
                volume_size / 1e6 / seconds);
    std::printf("video found at %lld, %lld bytes (expected at %lld, %lld bytes): %s\n", found_offset, found_length,
                video_start, expected_length,
                found_offset == video_start && found_length == expected_length ? "PASS" : "WRONG");
    std::printf("peak resident memory %.1f MiB, grown by %.1f MiB during the walk (target: under 160)\n",
                peak_resident_mib(), peak_resident_mib() - start_mib);
    return found_offset == video_start && found_length == expected_length ? 0 : 1;
}

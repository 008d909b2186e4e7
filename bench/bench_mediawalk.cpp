// velvora-bench-mediawalk [GIB]: the box and RIFF walkers over a volume of
// GIB GiB (default 4) in 4 MiB blocks, holding one video that fills nearly
// all of it (a 64-bit box size, as cameras write files over 4 GiB) amid
// random bytes. Prints the speed, the video found and the peak resident
// memory, which must not grow with the video's size; then how long a stop
// takes to end a scan's check of a video under way on a slow card.

#include "benchmemory.h"
#include "containercarver.h"
#include "isoboxwalker.h"
#include "riffwalker.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QThread>
#include <QtEndian>

#include <atomic>
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

// The scan's side of a carver over a volume in memory whose reads back take
// read_ms each, as on a slow card. The first read back asks the scan to stop.
class SlowCardSink : public MediaCarver::Sink
{
public:
    SlowCardSink(QByteArray volume, int read_ms) : volume(std::move(volume)), read_ms(read_ms) {}

    bool take_candidate(MediaKind, const char *, qint64, qint64) override { return true; }
    bool take_extent(MediaKind, qint64, qint64, quint32, bool) override { return true; }
    QByteArray read_back(qint64 offset, qint64 length) override
    {
        if (!stop_asked.exchange(true))
            stop_clock.start();
        QThread::msleep(read_ms);
        return volume.mid(offset, length);
    }
    void take_broken(MediaKind, qint64, qint64, bool) override {}
    void take_frame(qint64) override {}
    qint64 deleted_file_end(qint64, qint64) override { return -1; }
    bool stopping() const override { return stop_asked; }

    QElapsedTimer stop_clock;

private:
    const QByteArray volume;
    const int read_ms;
    std::atomic<bool> stop_asked{false};
};

// Milliseconds from the stop to the carver handing back its checks, best of
// runs: what a stop adds to the scan's end.
qint64 stop_latency_ms(const QByteArray &video, int read_ms, int runs)
{
    qint64 best = -1;
    for (int run = 0; run < runs; ++run) {
        SlowCardSink sink(video, read_ms);
        ContainerCarver carver(MediaKind::Video, video.size(), QSize(160, 107));
        carver.set_sink(&sink);
        carver.reset(0);
        carver.feed(video.constData(), video.size());
        carver.finish();
        carver.take_all();
        const qint64 ms = sink.stop_clock.isValid() ? sink.stop_clock.elapsed() : -1;
        if (ms >= 0 && (best < 0 || ms < best))
            best = ms;
    }
    return best;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv); // the probe's helper is found beside the program
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

    // A check under way when the stop comes: a small movie read back at 50 ms
    // a read. The stop takes effect within the read under way and a poll of
    // the helper.
    constexpr int read_ms = 50;
    const QByteArray small = head + box("mdat", QByteArray(64 * 1024, '\x11')) + movie;
    const qint64 latency = stop_latency_ms(small, read_ms, 5);
    std::printf("stop during a check: the scan's checks end %lld ms after the stop (best of 5; reads of %d ms; "
                "target: under 500)\n",
                latency, read_ms);
    return found_offset == video_start && found_length == expected_length && latency >= 0 && latency < 500 ? 0 : 1;
}

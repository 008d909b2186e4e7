// Camera videos and HEIC photos: the box and RIFF walkers find each real file
// whole on a volume however it is cut into blocks, the probe checks them with
// FFmpeg and libheif in its helper, and hostile streams cost bounded work
// while the real files around them are still found.

#include "carvingvolume.h"
#include "faultyvolume.h"
#include "heicitemplaces.h"
#include "isoboxwalker.h"
#include "mediapieceassembly.h"
#include "mediacard.h"
#include "mediafiles.h"
#include "mediaprobe.h"
#include "photowriter.h"
#include "riffwalker.h"
#include "videosamplestarts.h"
#include "volumescan.h"
#include "testsupport.h"

#include <QtEndian>
#include <QtTest>

#include <zlib.h>

using namespace testsupport;

namespace {

struct Walked
{
    QList<QPair<qint64, qint64>> files; // offset, length
    QStringList suffixes;
    int wrong_crcs = 0; // files whose CRC-32, taken as they passed, is not that of their bytes
    int most_open = 0;
};

// Both walkers over the volume from offset from on, in blocks of cut bytes
// (the whole volume at once for 0).
Walked walk(const QByteArray &volume, qint64 cut, IsoBoxWalker::KnownEnd known_end = {}, qint64 from = 0)
{
    Walked walked;
    const auto check_crc = [&](qint64 offset, qint64 length, quint32 crc) {
        const QByteArray bytes = volume.mid(offset, length);
        if (crc != quint32(crc32_z(0, reinterpret_cast<const Bytef *>(bytes.constData()), size_t(bytes.size()))))
            ++walked.wrong_crcs;
    };
    IsoBoxWalker boxes(volume.size(), [&](const IsoBoxWalker::Found &file) {
        check_crc(file.offset, file.length, file.crc);
        walked.files.append({file.offset, file.length});
        walked.suffixes.append(IsoBoxWalker::suffix_of(file.kind));
    });
    boxes.set_known_end(known_end);
    RiffWalker riff(volume.size(), [&](const RiffWalker::Found &file) {
        check_crc(file.offset, file.length, file.crc);
        walked.files.append({file.offset, file.length});
        walked.suffixes.append(QStringLiteral("AVI"));
    });
    if (from > 0) {
        boxes.reset(from);
        riff.reset(from);
    }
    const qint64 step = cut > 0 ? cut : volume.size();
    for (qint64 at = from; at < volume.size(); at += step) {
        const qint64 n = qMin(step, volume.size() - at);
        boxes.feed(volume.constData() + at, n);
        riff.feed(volume.constData() + at, n);
        walked.most_open = qMax(walked.most_open, boxes.open_candidates());
    }
    boxes.finish();
    riff.finish();
    std::sort(walked.files.begin(), walked.files.end());
    return walked;
}

MediaProbe::Reader reader_of(const QByteArray &bytes)
{
    return [bytes](qint64 offset, char *buffer, qint64 count) -> qint64 {
        if (offset >= bytes.size())
            return 0;
        const qint64 n = qMin(count, bytes.size() - offset);
        std::memcpy(buffer, bytes.constData() + offset, size_t(n));
        return n;
    };
}

MediaProbe::Kind kind_of(const MediaFile &file)
{
    return file.video ? MediaProbe::Kind::Video : MediaProbe::Kind::Image;
}

// The offset of a top-level box of the type in an ISO file, or -1.
qint64 top_level_box(const QByteArray &file, const char *type)
{
    qint64 at = 0;
    while (at + 8 <= file.size()) {
        qint64 size = qFromBigEndian<quint32>(file.constData() + at);
        if (size == 1)
            size = qint64(qFromBigEndian<quint64>(file.constData() + at + 8));
        if (file.mid(at + 4, 4) == type)
            return at;
        if (size < 8)
            return -1;
        at += size;
    }
    return -1;
}

QByteArray with_zeros(QByteArray bytes, qint64 from, qint64 count)
{
    bytes.replace(from, count, QByteArray(count, '\0'));
    return bytes;
}

// The file-relative offset of a sector that lies wholly inside the payload
// of the top-level box of the type (three quarters through it, or the first
// whole one), or that holds the box's header; -1 when there is none.
qint64 sector_in_box(const QByteArray &file, const char *type, bool header)
{
    const qint64 at = top_level_box(file, type);
    if (at < 0)
        return -1;
    if (header)
        return at / 512 * 512;
    qint64 size = qFromBigEndian<quint32>(file.constData() + at);
    const qint64 header_length = size == 1 ? 16 : 8;
    if (size == 1)
        size = qint64(qFromBigEndian<quint64>(file.constData() + at + 8));
    for (const qint64 from : {at + header_length + (size - header_length) * 3 / 4, at + header_length}) {
        const qint64 sector = (from + 511) / 512 * 512;
        if (sector + 512 <= at + size)
            return sector;
    }
    return -1;
}

// The same in an AVI clip: a sector inside the data of a chunk halfway
// through its frames' list, or one holding the header of the chunk named.
qint64 sector_in_frames(const QByteArray &file, const char *chunk, bool header)
{
    if (header) {
        const qint64 id = file.indexOf(chunk) - (qstrcmp(chunk, "movi") == 0 ? 8 : 0);
        return id < 0 ? -1 : id / 512 * 512;
    }
    const qint64 list = file.indexOf("movi") - 8;
    if (list < 0)
        return -1;
    const qint64 end = list + 8 + qFromLittleEndian<quint32>(file.constData() + list + 4);
    QList<QPair<qint64, qint64>> frames; // data start, data end
    for (qint64 at = list + 12; at + 8 <= end;) {
        const qint64 size = qFromLittleEndian<quint32>(file.constData() + at + 4);
        frames.append({at + 8, at + 8 + size});
        at += 8 + size + (size & 1);
    }
    for (qsizetype i = frames.size() / 2; i < frames.size(); ++i) {
        const qint64 sector = (frames[i].first + 511) / 512 * 512;
        if (sector + 512 <= frames[i].second)
            return sector;
    }
    return -1;
}

// A file's bytes from its pieces on the volume.
QByteArray bytes_of(const QByteArray &volume, const VolumeExtents &pieces)
{
    QByteArray bytes;
    for (const VolumeExtent &piece : pieces)
        bytes += volume.mid(piece.offset, piece.length);
    return bytes;
}

// A movie box with a header and the given tracks.
QByteArray movie_with(const QByteArray &tracks)
{
    return iso_box("moov", iso_box("mvhd", QByteArray(100, '\0')) + tracks);
}

} // namespace

class MediaTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void walkers_find_each_file_data();
    void walkers_find_each_file();
    void probe_checks_data();
    void probe_checks();
    void probe_outlives_its_helpers();
    void hostile_streams_data();
    void hostile_streams();
    void exfat_camera_card_data();
    void exfat_camera_card();
    void unreadable_sector_inside_data();
    void unreadable_sector_inside();
    void wrong_piece_in_a_file_in_pieces_data();
    void wrong_piece_in_a_file_in_pieces();

private:
    MediaProbe probe;
};

void MediaTest::initTestCase()
{
    const QStringList missing = missing_media_tools();
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("needs %1 (scripts/setup-debian.sh installs them)").arg(missing.join(", "))));
    QVERIFY2(camera_media().size() == 9, "ffmpeg or heif-enc failed to make the camera's files");
}

void MediaTest::walkers_find_each_file_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("cut");
    QTest::addColumn<bool>("without_ftyp");
    for (const MediaFile &file : camera_media()) {
        for (const qint64 cut : {qint64(0), qint64(4) << 20, qint64(1499), qint64(7)}) {
            if (cut == 7 && file.bytes.size() > 200000)
                continue; // byte-sized blocks take long on the larger clips
            QTest::addRow("%s, blocks of %lld", qPrintable(file.name), cut) << file.name << cut << false;
        }
    }
    // QuickTime movies from older cameras start with wide and mdat
    QTest::addRow("DJI_0003.MOV without ftyp, blocks of 1499") << QStringLiteral("DJI_0003.MOV") << qint64(1499)
                                                               << true;
    QTest::addRow("all, back to back, blocks of 1499") << QString() << qint64(1499) << false;
    QTest::addRow("all, back to back, whole") << QString() << qint64(0) << false;
    // a scan that goes on where an earlier one ended, at the second file
    QTest::addRow("all, resumed at the second, blocks of 1499") << QStringLiteral("resume") << qint64(1499) << false;
}

// Each file among other bytes (noise, text, a photo, zeros) and the files
// one after another: found where it lies, whole, by the walker of its kind.
void MediaTest::walkers_find_each_file()
{
    QFETCH(QString, name);
    QFETCH(qint64, cut);
    QFETCH(bool, without_ftyp);
    CarvingVolume volume;
    QList<QPair<qint64, qint64>> expected;
    QStringList suffixes;
    volume.add_bytes(gap_bytes(Gap::Random, 3, 5));
    const bool resume = name == QLatin1String("resume");
    if (resume)
        name.clear();
    for (const MediaFile &file : camera_media()) {
        if (!name.isEmpty() && file.name != name)
            continue;
        const qint64 wide = top_level_box(file.bytes, "wide");
        QVERIFY(!without_ftyp || wide > 0);
        const QByteArray bytes = without_ftyp ? file.bytes.mid(wide) : file.bytes;
        expected.append({volume.bytes().size(), bytes.size()});
        suffixes.append(file.suffix);
        volume.add_bytes(bytes);
        if (!name.isEmpty()) {
            volume.add_bytes(gap_bytes(Gap::Text, 2));
            volume.add_photo(qt_jpeg(make_picture(64, 48, 3)));
        }
    }
    volume.add_bytes(gap_bytes(Gap::Zeros, 4));
    if (resume) {
        expected.removeFirst();
        suffixes.removeFirst();
    }
    const Walked walked = walk(volume.bytes(), cut, {}, resume ? expected.first().first : 0);
    QCOMPARE(walked.files, expected);
    QCOMPARE(walked.wrong_crcs, 0);
    if (!name.isEmpty())
        QCOMPARE(walked.suffixes, suffixes);
}

void MediaTest::probe_checks_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("sound");
    for (const MediaFile &file : camera_media())
        QTest::addRow("%s", qPrintable(file.name)) << file.name << file.bytes << true;

    const MediaFile *index_at_end = media_named(QStringLiteral("MVI_0001.MP4"));
    const MediaFile *index_at_front = media_named(QStringLiteral("MVI_0002.MP4"));
    const MediaFile *clip = media_named(QStringLiteral("PICT0005.AVI"));
    const MediaFile *heic = media_named(QStringLiteral("IMG_0006.HEIC"));
    QVERIFY(index_at_end && index_at_front && clip && heic);
    QTest::addRow("MP4 cut before its index") << index_at_end->name
                                              << index_at_end->bytes.left(top_level_box(index_at_end->bytes, "moov"))
                                              << false;
    const qint64 frames = top_level_box(index_at_front->bytes, "mdat");
    QTest::addRow("MP4 with its frames overwritten by zeros")
        << index_at_front->name << with_zeros(index_at_front->bytes, frames + 8, index_at_front->bytes.size() - frames - 8)
        << false;
    const qint64 movi = clip->bytes.indexOf("movi");
    QTest::addRow("AVI with its frames overwritten by zeros")
        << clip->name << with_zeros(clip->bytes, movi + 4, clip->bytes.size() - movi - 4) << false;
    const qint64 picture = top_level_box(heic->bytes, "mdat");
    QTest::addRow("HEIC with its picture overwritten by zeros")
        << heic->name << with_zeros(heic->bytes, picture + 8, heic->bytes.size() - picture - 8) << false;
    QTest::addRow("HEIC cut in half") << heic->name << heic->bytes.left(heic->bytes.size() / 2) << false;
}

// Sound files check out with their size, duration and a thumbnail of their
// shape; broken ones do not, and say why.
void MediaTest::probe_checks()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, sound);
    const MediaFile *file = media_named(name);
    const MediaProbe::Result result = probe.check(kind_of(*file), bytes.size(), reader_of(bytes), 160);
    QVERIFY2(result.sound == sound, qPrintable(result.failure));
    if (!sound) {
        QVERIFY(!result.failure.isEmpty());
        return;
    }
    QCOMPARE(result.size, QSize(file->width, file->height));
    QCOMPARE(result.thumbnail.size(), QSize(160, 160 * file->height / file->width));
    if (file->video) {
        QVERIFY2(qAbs(result.duration_ms - file->duration_ms) <= file->duration_ms / 10,
                 qPrintable(QString::number(result.duration_ms)));
        QCOMPARE(result.created, name == QLatin1String("MVI_0001.MP4")
                                     ? QDateTime::fromString(media_created, Qt::ISODate) : QDateTime());
        QVERIFY(result.exif.isEmpty());
    } else {
        QCOMPARE(result.duration_ms, qint64(-1));
        QVERIFY2(result.exif.contains(media_date_taken.toLatin1()), result.exif.toHex().constData());
        QVERIFY(result.exif.startsWith("II*") || result.exif.startsWith(QByteArray("MM\0*", 4)));
    }
    // the test patterns are far from a flat grey: the frame was really decoded
    const QImage gray = result.thumbnail.convertToFormat(QImage::Format_Grayscale8);
    int darkest = 255;
    int lightest = 0;
    for (int y = 0; y < gray.height(); ++y) {
        for (int x = 0; x < gray.width(); ++x) {
            darkest = qMin(darkest, int(gray.constScanLine(y)[x]));
            lightest = qMax(lightest, int(gray.constScanLine(y)[x]));
        }
    }
    QVERIFY2(lightest - darkest > 100, qPrintable(QStringLiteral("%1..%2").arg(darkest).arg(lightest)));
}

// One helper serves check after check; one that overruns its time or its
// memory is ended, and the next check gets a new one.
void MediaTest::probe_outlives_its_helpers()
{
    const MediaFile *movie = media_named(QStringLiteral("DJI_0003.MOV"));
    const MediaFile *heic = media_named(QStringLiteral("IMG_0006.HEIC"));
    MediaProbe own;
    QVERIFY(own.check(MediaProbe::Kind::Video, movie->bytes.size(), reader_of(movie->bytes)).sound);
    QVERIFY(own.check(MediaProbe::Kind::Image, heic->bytes.size(), reader_of(heic->bytes)).sound);
    QCOMPARE(own.helpers_started(), 1);

    // a reader that never answers in time
    own.set_time_limit(300);
    const MediaProbe::Result slow = own.check(MediaProbe::Kind::Video, movie->bytes.size(),
                                              [&](qint64 offset, char *buffer, qint64 count) {
                                                  QThread::msleep(400);
                                                  return reader_of(movie->bytes)(offset, buffer, count);
                                              });
    QVERIFY(!slow.sound);
    QVERIFY2(slow.failure.contains(QLatin1String("too long")), qPrintable(slow.failure));
    own.set_time_limit(MediaProbe::default_time_limit_ms);
    QVERIFY(own.check(MediaProbe::Kind::Video, movie->bytes.size(), reader_of(movie->bytes)).sound);
    QCOMPARE(own.helpers_started(), 2);

    if (!MediaProbe::limits_memory())
        QSKIP("the sanitizer build runs the helper without a memory limit");
    own.set_memory_limit(8 << 20);
    QVERIFY(!own.check(MediaProbe::Kind::Image, heic->bytes.size(), reader_of(heic->bytes)).sound);
    own.set_memory_limit(MediaProbe::default_memory_limit);
    QVERIFY(own.check(MediaProbe::Kind::Image, heic->bytes.size(), reader_of(heic->bytes)).sound);
}

void MediaTest::hostile_streams_data()
{
    QTest::addColumn<QByteArray>("hostile");
    QTest::addColumn<bool>("end_known");
    QTest::addColumn<bool>("walked");  // the walkers take it for a file
    QTest::addColumn<bool>("offered"); // and it checks out

    const QByteArray mdat = iso_box("mdat", QByteArray(3000, 'x'));
    const QByteArray trak = iso_box("trak", iso_box("mdia", iso_box("hdlr", QByteArray(24, '\0'))));
    QTest::newRow("size 0 with no end known") << iso_ftyp() + movie_with(trak) + iso_box("mdat", mdat, 0)
                                              << false << false << false;
    QTest::newRow("size 1 with a huge largesize")
        << iso_ftyp() + movie_with(trak) + iso_large_box("mdat", ~quint64(0) >> 1, mdat) << false << false << false;
    QTest::newRow("size 1 with a largesize below its header")
        << iso_ftyp() + movie_with(trak) + iso_large_box("mdat", 9, mdat) << false << false << false;
    QTest::newRow("size past the volume's end")
        << iso_ftyp() + iso_box("moov", trak, 0x7FFFFF00) << false << false << false;
    QTest::newRow("child past its parent")
        << iso_ftyp() + iso_box("moov", iso_box("mvhd", QByteArray(100, '\0'), 5000)) + mdat << false << false << false;
    QTest::newRow("boxes nested a thousand deep")
        << iso_ftyp() + movie_with(nested_boxes("trak", 1000)) + nested_boxes("moov", 1000) + mdat << false << false
        << false;
    QByteArray many_tracks;
    for (int i = 0; i < 100000; ++i)
        many_tracks += trak;
    QTest::newRow("a movie with 100000 tracks")
        << iso_ftyp() + movie_with(many_tracks) + mdat << false << false << false;
    QByteArray weak_starts;
    for (int i = 0; i < 1000; ++i)
        weak_starts += iso_box("free", QByteArray(504, char(i)), 0x7FFFFFF0);
    QTest::newRow("a thousand false starts") << weak_starts << false << false << false;
    QTest::newRow("RIFF with a size past the end") << QByteArray("RIFF\xF0\xFF\xFF\x7F" "AVI LIST", 16) << false
                                                   << false << false;

    // the frames' list of a clip is walked chunk by chunk
    const QByteArray frame = riff_chunk("00dc", QByteArray(100, 'f'));
    QTest::newRow("AVI frames' list past the file's end") << avi_with(frame, 0x7FFFFF00) << false << false
                                                          << false;
    QTest::newRow("AVI frame past its list's end")
        << avi_with(riff_chunk("00dc", frame, 5000)) << false << false << false;
    QTest::newRow("AVI frames' list of 100000 empty chunks")
        << avi_with(riff_chunk("00dc", {}).repeated(100000)) << false << true << false;
    QByteArray nested_lists;
    for (int i = 0; i < 1000; ++i)
        nested_lists = riff_chunk("LIST", "rec " + nested_lists);
    QTest::newRow("AVI lists nested a thousand deep in its frames' list")
        << avi_with(nested_lists) << false << true << false;
    QTest::newRow("HEIC meta boxes nested a thousand deep")
        << iso_ftyp("heic") + nested_boxes("meta", 1000) + mdat << false << false << false;

    // the index at the front, the frames' box with size 0: whole where its end is known
    const MediaFile *front = media_named(QStringLiteral("MVI_0002.MP4"));
    QByteArray open_ended = front->bytes;
    qToBigEndian(quint32(0), open_ended.data() + top_level_box(open_ended, "mdat"));
    QTest::newRow("size 0 with the end known") << open_ended << true << true << true;
}

// Hostile bytes first, then real files: the walkers keep their candidates
// bounded, report nothing of the hostile part (unless it is a real file),
// and still find every real file; the probe refuses the hostile bytes and
// goes on to check the real files.
void MediaTest::hostile_streams()
{
    QFETCH(QByteArray, hostile);
    QFETCH(bool, end_known);
    QFETCH(bool, walked);
    QFETCH(bool, offered);
    CarvingVolume volume;
    volume.add_bytes(hostile);
    QList<QPair<qint64, qint64>> expected;
    if (walked)
        expected.append({0, hostile.size()});
    for (const QString &name : {QStringLiteral("MVI_0001.MP4"), QStringLiteral("PICT0005.AVI")}) {
        const MediaFile *file = media_named(name);
        expected.append({volume.bytes().size(), file->bytes.size()});
        volume.add_bytes(file->bytes);
    }
    const IsoBoxWalker::KnownEnd known = [&](qint64 offset, qint64) { return offset == 0 ? hostile.size() : -1; };
    for (const qint64 cut : {qint64(0), qint64(4) << 20, qint64(1499)}) {
        const Walked by_walkers = walk(volume.bytes(), cut, end_known ? known : IsoBoxWalker::KnownEnd());
        QCOMPARE(by_walkers.files, expected);
        QCOMPARE(by_walkers.wrong_crcs, 0);
        QVERIFY(by_walkers.most_open <= IsoBoxWalker::most_candidates);
    }

    const MediaProbe::Result refused = probe.check(MediaProbe::Kind::Video, hostile.size(), reader_of(hostile));
    QCOMPARE(refused.sound, offered);
    const MediaFile *real = media_named(QStringLiteral("MVI_0001.MP4"));
    QVERIFY(probe.check(MediaProbe::Kind::Video, real->bytes.size(), reader_of(real->bytes)).sound);

    // The whole scan, with a photo after them: every real file back, the
    // hostile bytes offered only where they are a real file (and not where
    // only a deleted entry, which this volume has not, could tell its end).
    if (walked && (end_known || !offered))
        expected.removeFirst();
    volume.add_photo(qt_jpeg(make_picture(64, 48, 5)));
    expected.append({volume.whole_photos().last().offset, volume.whole_photos().last().bytes.size()});
    auto *faulty = new FaultyVolume(volume.bytes());
    RemovableDevice device;
    ScanOptions options;
    faulty->scan_with(device, options);
    options.kinds = {MediaKind::JpegPhoto, MediaKind::Video, MediaKind::HeicPhoto};
    VolumeScan scan(device, options);
    QVERIFY(scan.start());
    QVERIFY(scan.wait(300000));
    QList<QPair<qint64, qint64>> by_scan;
    for (const FoundImage &file : scan.files_found())
        by_scan.append({file.offset, file.length});
    std::sort(by_scan.begin(), by_scan.end());
    QCOMPARE(by_scan, expected);
}

void MediaTest::exfat_camera_card_data()
{
    QTest::addColumn<bool>("open_ended");
    QTest::addColumn<bool>("stop_in_a_check");
    QTest::addColumn<bool>("in_pieces");
    QTest::addColumn<bool>("photos_only"); // the clips are walked for their frames, no video offered
    QTest::newRow("as the camera left it") << false << false << false << false;
    QTest::newRow("stopped while a file is checked, then resumed") << false << true << false << false;
    QTest::newRow("a video's last box with size 0") << true << false << false << false;
    QTest::newRow("written into holes, in pieces") << false << false << true << false;
    QTest::newRow("written into holes, photos only") << false << false << true << true;
    QTest::newRow("stopped while a file is put together from pieces, then resumed") << false << true << true << false;
}

// On an exFAT card written as a camera writes it, every video and HEIC photo,
// deleted or live, is found where its bytes lie, whole, and checks out read
// from the card. A scan of the card for every kind then offers each deleted
// file, byte for byte under its entry's name, and nothing else: no live file,
// no frame of a Motion-JPEG clip (each clip has one at a sector boundary).
// A box of size 0 ends where its deleted entry says. A stop cuts the check
// under way short (the file it checks is not offered), and a resumed scan
// finds what is left. Files the driver wrote into holes come back whole from
// their pieces, and no frame of a clip in pieces, deleted or live, is
// offered, also when only photos are looked for. A stop
// while a file is put together from its pieces on a slow card (every read
// 20 ms from then on) ends the scan within half a second, and the file is
// put together by the resumed scan.
void MediaTest::exfat_camera_card()
{
    QFETCH(bool, open_ended);
    QFETCH(bool, stop_in_a_check);
    QFETCH(bool, in_pieces);
    QFETCH(bool, photos_only);
    QTemporaryDir folder;
    MediaCard card;
    QString why;
    if (!(in_pieces ? card.make_in_pieces(folder.path(), &why) : card.make(folder.path(), &why, open_ended)))
        QSKIP(qPrintable(why));
    const QByteArray image = read_file(card.image);
    if (in_pieces) {
        QCOMPARE(card.in_pieces, card.deleted.keys());
        for (const qint64 frame : {card.live_frame, card.deleted_frame})
            QVERIFY(frame % 512 == 0 && QImage::fromData(image.mid(frame, 64 << 10), "JPEG").width() == 320);
    }
    QMap<QString, QByteArray> media;
    for (const QMap<QString, QByteArray> *files : {&card.deleted, &card.live}) {
        for (auto file = files->cbegin(); file != files->cend(); ++file) {
            if (!file.key().endsWith(QLatin1String(".JPG")))
                media.insert(file.key(), file.value());
        }
    }
    QVERIFY2(card.deleted.size() == (in_pieces ? 4 : 8), qPrintable(card.deleted.keys().join(", ")));
    for (const QString &clip : in_pieces ? QStringList{} : QStringList{"PICT0005.AVI", "PICT0008.AVI"}) {
        const qint64 frame = image.indexOf(media.value(clip)) + media_named(clip)->aligned_frame;
        QVERIFY2(frame % 512 == 0 && QImage::fromData(image.mid(frame, 64 << 10), "JPEG").width() == 320,
                 qPrintable(clip + ": no frame where the JPEG carver looks"));
    }
    if (!open_ended && !stop_in_a_check && !in_pieces) {
        const Walked walked = walk(image, 4 << 20);
        QStringList found;
        for (const auto &[offset, length] : walked.files) {
            const QByteArray bytes = image.mid(offset, length);
            const QString name = media.key(bytes);
            QVERIFY2(!name.isEmpty(), qPrintable(QStringLiteral("%1 bytes at %2 are no file").arg(length).arg(offset)));
            found.append(name);
            const MediaProbe::Result checked = probe.check(kind_of(*media_named(name)), length, reader_of(bytes));
            QVERIFY2(checked.sound, qPrintable(name + ": " + checked.failure));
        }
        found.sort();
        QCOMPARE(found, media.keys());
    }

    auto *volume = new FaultyVolume(image);
    RemovableDevice device;
    ScanOptions options;
    volume->scan_with(device, options);
    options.kinds = {MediaKind::JpegPhoto, MediaKind::HeicPhoto};
    if (!photos_only)
        options.kinds.append(MediaKind::Video);
    VolumeScan scan(device, options);
    std::atomic<qint64> checked_at = -1;
    QSemaphore putting_together;
    if (stop_in_a_check && !in_pieces) {
        // the first read behind the raw scan is a check's
        volume->when_reading_again = [&](qint64 offset) {
            checked_at = offset;
            scan.stop();
        };
    } else if (stop_in_a_check) {
        // the first read of where a file in pieces starts, by its putting together
        QList<qint64> starts;
        for (const QString &name : std::as_const(card.in_pieces))
            starts.append(image.indexOf(card.deleted.value(name).left(4096)));
        volume->when_reading = [&, starts](qint64 offset) {
            qint64 none = -1;
            if (starts.contains(offset) && checked_at.compare_exchange_strong(none, offset)) {
                volume->every_read_ms = 20;
                putting_together.release();
            }
        };
    }
    QVERIFY(scan.start());
    if (stop_in_a_check && in_pieces) {
        QVERIFY(putting_together.tryAcquire(1, 60000));
        QThread::msleep(300);
        QVERIFY2(scan.is_running(), "the file was put together before the stop");
        QElapsedTimer clock;
        clock.start();
        scan.stop();
        QVERIFY(scan.wait(30000));
        qInfo("the scan ended %lld ms after the stop", clock.elapsed());
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed()))); // the target is 0.5 s
        volume->when_reading = {};
        volume->every_read_ms = 0;
    }
    QVERIFY(scan.wait(300000));
    QList<FoundImage> offered = scan.files_found();
    if (stop_in_a_check) {
        QCOMPARE(scan.summary().outcome, ScanSummary::Outcome::Stopped);
        QVERIFY(checked_at >= 0);
        for (const FoundImage &file : std::as_const(offered))
            QVERIFY2(file.offset != checked_at, "the check a stop came in finished all the same");
        options.resume = scan.resume_point();
        QVERIFY(options.resume.offset <= checked_at);
        volume->when_reading_again = {};
        VolumeScan resumed(device, options);
        QVERIFY(resumed.start());
        QVERIFY(resumed.wait(300000));
        offered = resumed.files_found();
    }
    QStringList names;
    for (const FoundImage &file : std::as_const(offered)) {
        const QString name = file.origin.name;
        QVERIFY2(card.deleted.contains(name), qPrintable(QStringLiteral("offered: %1 at %2").arg(name).arg(file.offset)));
        QVERIFY2(bytes_of(image, file.extents()) == card.deleted.value(name), qPrintable(name));
        QCOMPARE(file.extents().size() > 1, card.in_pieces.contains(name));
        QCOMPARE(file.kind, name.endsWith(QLatin1String(".HEIC")) ? MediaKind::HeicPhoto
                            : name.endsWith(QLatin1String(".JPG")) ? MediaKind::JpegPhoto
                                                                    : MediaKind::Video);
        names.append(name);
    }
    names.sort();
    QStringList expected = card.deleted.keys();
    if (photos_only)
        expected = expected.filter(QRegularExpression(QStringLiteral("\\.(JPG|HEIC)$")));
    QCOMPARE(names, expected);
}

void MediaTest::unreadable_sector_inside_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("sector"); // in the file
    QTest::addColumn<bool>("offered");
    QTest::addColumn<bool>("whole_copy");        // the same file, whole, follows
    QTest::addColumn<bool>("fails_when_copied"); // the sector after it fails too by the time it is copied
    const auto payload = [](const char *name) {
        const MediaFile *file = media_named(name);
        return file->riff ? sector_in_frames(file->bytes, "movi", false) : sector_in_box(file->bytes, "mdat", false);
    };
    const auto header = [](const char *name, const char *box) {
        const MediaFile *file = media_named(name);
        return file->riff ? sector_in_frames(file->bytes, box, true) : sector_in_box(file->bytes, box, true);
    };
    for (const char *name : {"MVI_0001.MP4", "MVI_0002.MP4", "DJI_0003.MOV", "IMG_0004.MOV", "PICT0005.AVI",
                             "IMG_0006.HEIC"})
        QTest::addRow("%s, a sector of its data", name) << QString::fromLatin1(name) << payload(name) << true << false
                                                        << false;
    QTest::newRow("MVI_0002.MP4, a sector of its data, then the file whole")
        << QStringLiteral("MVI_0002.MP4") << payload("MVI_0002.MP4") << true << true << false;
    QTest::newRow("MVI_0001.MP4, a sector of its data, one more failing when copied")
        << QStringLiteral("MVI_0001.MP4") << payload("MVI_0001.MP4") << true << false << true;
    // the index is found, the first frame cannot be decoded without the sector
    const MediaFile *first = media_named("MVI_0001.MP4");
    QTest::newRow("MVI_0001.MP4, a sector of its first frame")
        << first->name << (top_level_box(first->bytes, "mdat") + 1024) / 512 * 512 << false << false << false;
    QTest::newRow("MVI_0001.MP4, its moov header")
        << QStringLiteral("MVI_0001.MP4") << header("MVI_0001.MP4", "moov") << false << false << false;
    QTest::newRow("MVI_0002.MP4, its mdat header, then the file whole")
        << QStringLiteral("MVI_0002.MP4") << header("MVI_0002.MP4", "mdat") << false << true << false;
    // its frames are known as frames before the index is wanted
    QTest::newRow("PICT0005.AVI, its idx1 header")
        << QStringLiteral("PICT0005.AVI") << header("PICT0005.AVI", "idx1") << false << false << false;
    // the clip cannot be bounded, but its size says where its frames (the
    // first at a sector boundary) may lie: none is offered as a photo; a
    // sector inside its header list is passed over like a frame's
    QTest::newRow("PICT0005.AVI, its movi header")
        << QStringLiteral("PICT0005.AVI") << header("PICT0005.AVI", "movi") << false << false << false;
    const QByteArray &clip = media_named("PICT0005.AVI")->bytes;
    QTest::newRow("PICT0005.AVI, the header of a frame halfway")
        << QStringLiteral("PICT0005.AVI") << clip.indexOf("00dc", clip.size() / 2) / 512 * 512 << false << false << false;
    QTest::newRow("PICT0005.AVI, a sector of its header list")
        << QStringLiteral("PICT0005.AVI") << qint64(512) << true << false << false;
    QTest::newRow("IMG_0006.HEIC, its mdat header")
        << QStringLiteral("IMG_0006.HEIC") << header("IMG_0006.HEIC", "mdat") << false << false << false;
}

// A sector that cannot be read inside a payload the walkers pass over does
// not cost the file: it is offered marked damaged, with the sector as its
// hole, when the probe still finds its index and first frame; a whole copy
// of it elsewhere is offered too. Its copy writes the hole as zeros without
// reading it again, and a sector failing only then is zeros too, counted. A
// sector holding a header the walk needs ends the file: it is not offered.
// The photos around it come back either way.
void MediaTest::unreadable_sector_inside()
{
    QFETCH(QString, name);
    QFETCH(qint64, sector);
    QFETCH(bool, offered);
    QFETCH(bool, whole_copy);
    QFETCH(bool, fails_when_copied);
    const MediaFile *file = media_named(name);
    QVERIFY2(sector >= 0, "the file has no such sector");
    CarvingVolume volume;
    volume.add_photo(qt_jpeg(make_picture(64, 48, 1)));
    const qint64 at = volume.bytes().size();
    volume.add_bytes(file->bytes);
    const qint64 copy_at = volume.bytes().size();
    if (whole_copy)
        volume.add_bytes(file->bytes);
    volume.add_photo(qt_jpeg(make_picture(64, 48, 2)));
    const qint64 bad = at + sector;
    auto *faulty = new FaultyVolume(volume.bytes());
    faulty->bad_from = bad;
    faulty->bad_to = bad + 512;
    RemovableDevice device;
    ScanOptions options;
    faulty->scan_with(device, options);
    VolumeScan scan(device, options);
    QVERIFY(scan.start());
    QVERIFY(scan.wait(300000));
    QCOMPARE(scan.summary().unreadable_bytes, qint64(512));

    QList<qint64> expected{volume.whole_photos().first().offset, volume.whole_photos().last().offset};
    if (offered)
        expected.append(at);
    if (whole_copy)
        expected.append(copy_at);
    std::sort(expected.begin(), expected.end());
    QList<qint64> by_scan;
    const FoundImage *damaged = nullptr;
    for (const FoundImage &found : scan.files_found()) {
        by_scan.append(found.offset);
        QCOMPARE(found.damaged, found.offset == at);
        if (found.offset == at)
            damaged = &found;
        else if (found.kind != MediaKind::JpegPhoto)
            QCOMPARE(found.length, qint64(file->bytes.size()));
    }
    std::sort(by_scan.begin(), by_scan.end());
    QCOMPARE(by_scan, expected);
    QCOMPARE(scan.summary().damaged, offered ? 1 : 0);
    if (!offered)
        return;
    QVERIFY(damaged);
    QCOMPARE(damaged->length, qint64(file->bytes.size()));
    QCOMPARE(damaged->kind, file->video ? MediaKind::Video : MediaKind::HeicPhoto);
    QCOMPARE(damaged->unreadable, (VolumeExtents{{bad, 512}}));

    QTemporaryDir folder;
    PhotoWriter writer(folder.path());
    if (fails_when_copied)
        faulty->bad_to += 512;
    const int failed_before = *faulty->failed_reads;
    const PhotoWriter::Result written = writer.copy(name, *damaged, faulty->reader());
    QCOMPARE(writer.sync().size(), 1);
    QCOMPARE(written.outcome, PhotoWriter::Outcome::Written);
    QCOMPARE(written.unreadable_bytes, fails_when_copied ? 1024 : 512);
    QCOMPARE(writer.unreadable_in_copies(), fails_when_copied ? 512 : 0);
    QCOMPARE(writer.written(), 1);
    // the hole is not read again; a sector failing now is, a sector at a time
    QCOMPARE(*faulty->failed_reads - failed_before, fails_when_copied ? 2 : 0);
    QCOMPARE(read_file(written.path), with_zeros(file->bytes, sector, fails_when_copied ? 1024 : 512));
}

void MediaTest::wrong_piece_in_a_file_in_pieces_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("video");
    QTest::addColumn<bool>("noise"); // the wrong piece: noise, or a piece of the file itself from further on
    const QByteArray front = media_named(QStringLiteral("MVI_0002.MP4"))->bytes;
    const QByteArray end = media_named(QStringLiteral("MVI_0001.MP4"))->bytes;
    const QByteArray sliced = heic_in_slices(4);
    QTest::newRow("MP4, its index at the front: noise where a frame starts") << front << true << true;
    QTest::newRow("MP4, its index at the front: its own later frames") << front << true << false;
    QTest::newRow("MP4, its index at the end: noise where a frame starts") << end << true << true;
    QTest::newRow("HEIC photo in slices: noise where a slice starts") << sliced << false << true;
    QTest::newRow("HEIC photo in slices: its own later slice") << sliced << false << false;
}

// A deleted file in two pieces with another deleted file's run between
// them, then a live file's clusters: the path through that run (tried
// first, the fewest ways around) puts a wrong piece where a video sample or
// a picture's slice starts, and is refused by where the file's index puts
// its samples or slices; the path around it gives the file byte for byte.
void MediaTest::wrong_piece_in_a_file_in_pieces()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, video);
    QFETCH(bool, noise);
    QVERIFY(!file.isEmpty());
    // a sample or slice start past the file's first quarter
    qint64 start_at = -1;
    if (video) {
        const qint64 movie = top_level_box(file, "moov");
        const auto samples = VideoSampleStarts::read(file.mid(movie, qFromBigEndian<quint32>(file.constData() + movie)),
                                                     file.size());
        for (const VideoSampleStarts::Sample &sample : samples)
            start_at = start_at < 0 && sample.offset > file.size() / 4 ? sample.offset : start_at;
    } else {
        const qint64 meta = top_level_box(file, "meta");
        const auto places = HeicItemPlaces::read(file.mid(meta, qFromBigEndian<quint32>(file.constData() + meta)));
        QVERIFY2(places.extents.size() >= 2 && places.extents.at(1).coded, "no picture in slices");
        start_at = places.extents.at(1).offset;
    }
    QVERIFY(start_at > 0);
    const qint64 cut = start_at / 512 * 512, wrong = 1024, live = 4096, at = 64 * 1024;
    QByteArray wrong_piece = file.mid(cut + wrong, wrong);
    if (noise)
        QRandomGenerator(5).fillRange(reinterpret_cast<quint32 *>(wrong_piece.data()), wrong / 4);
    const QByteArray volume = QByteArray(at, '\0') + file.left(cut) + wrong_piece + QByteArray(live, 'L')
        + file.mid(cut) + QByteArray(64 * 1024, '\0');
    AllocationMap allocation;
    allocation.add_used(0, 4096);
    allocation.add_deleted(at + cut, wrong);
    allocation.add_used(at + cut + wrong, live);
    const auto read = [&volume](qint64 offset, qint64 length) { return volume.mid(offset, length); };
    const MediaProbe::Kind kind = video ? MediaProbe::Kind::Video : MediaProbe::Kind::Image;
    // the places alone refuse it, before the probe (which a wrong piece can pass) is asked
    for (const bool probed : {false, true}) {
        MediaPieceAssembly assembly(allocation, volume.size(), read);
        const auto checks_out = [&](const VolumeExtents &pieces) {
            return !probed || probe.check(kind, file.size(), reader_of(bytes_of(volume, pieces)), 16).sound;
        };
        const MediaPieceAssembly::Result found = assembly.follow(
            at, file.size(), {{at, file.size()}},
            video ? MediaPieceAssembly::Format::IsoVideo : MediaPieceAssembly::Format::IsoImage, checks_out);
        const VolumeExtents around{{at, cut}, {at + cut + wrong + live, file.size() - cut}};
        QCOMPARE(found.pieces, around);
        QCOMPARE(bytes_of(volume, found.pieces), file);
        QCOMPARE(found.crc, quint32(crc32_z(0, reinterpret_cast<const Bytef *>(file.constData()), size_t(file.size()))));
    }
}

QTEST_GUILESS_MAIN(MediaTest)
#include "tst_media.moc"

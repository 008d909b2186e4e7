#include "mediafiles.h"

#include "testsupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtEndian>

namespace testsupport {

namespace {

struct Recipe
{
    const char *name;
    const char *source;
    QStringList encode;
    qint64 duration_ms;
};

QStringList video_tools()
{
    return {QStringLiteral("ffmpeg"), QStringLiteral("heif-enc"), QStringLiteral("exiftool")};
}

// Two seconds of a test pattern with a tone, encoded as given.
bool make_video(const QString &path, const char *source, const QStringList &encode, qint64 duration_ms)
{
    QStringList arguments{QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"),
                          QStringLiteral("-y"), QStringLiteral("-f"), QStringLiteral("lavfi"),
                          QStringLiteral("-i"), QString::fromLatin1(source), QStringLiteral("-f"),
                          QStringLiteral("lavfi"), QStringLiteral("-i"),
                          QStringLiteral("sine=frequency=440:sample_rate=16000"), QStringLiteral("-t"),
                          QString::number(duration_ms / 1000.0), QStringLiteral("-threads"), QStringLiteral("1")};
    arguments += encode;
    arguments << path;
    return run_tool(QStringLiteral("ffmpeg"), arguments);
}

// From a JPEG with EXIF data, which heif-enc carries over; encoder takes
// x265 parameters.
bool make_heic(const QString &folder, const QString &path, int seed, const QStringList &encoder = {})
{
    const QString jpeg = QDir(folder).filePath(QStringLiteral("picture.jpg"));
    QStringList arguments{QStringLiteral("-q"), QStringLiteral("60"), jpeg, QStringLiteral("-o"), path};
    for (const QString &parameter : encoder)
        arguments << QStringLiteral("-p") << QStringLiteral("x265:") + parameter;
    return make_picture(400, 300, seed).save(jpeg, "JPEG", 95)
        && run_tool(QStringLiteral("exiftool"), {QStringLiteral("-q"), QStringLiteral("-overwrite_original"),
                                                 QStringLiteral("-DateTimeOriginal=") + media_date_taken, jpeg})
        && run_tool(QStringLiteral("heif-enc"), arguments);
}

// Where the clip's frames' list (LIST movi) starts, or -1.
qsizetype frames_list(const QByteArray &avi)
{
    qsizetype movi = avi.indexOf("movi");
    while (movi >= 8 && avi.mid(movi - 8, 4) != "LIST")
        movi = avi.indexOf("movi", movi + 4);
    return movi < 8 ? -1 : movi - 8;
}

// The first frame chunk of the list whose header ends after the offset given, or -1.
qsizetype frame_chunk(const QByteArray &avi, qsizetype list, qint64 after)
{
    qsizetype chunk = list + 12;
    while (chunk + 8 <= avi.size() && (chunk + 8 <= after || avi.mid(chunk + 2, 2) != "dc")) {
        const quint32 size = qFromLittleEndian<quint32>(avi.constData() + chunk + 4);
        chunk += 8 + size + (size & 1);
    }
    return chunk + 8 > avi.size() ? -1 : chunk;
}

// A JUNK chunk (8 bytes at least) which, put before the chunk at the offset
// given, brings that chunk's data to a 512-byte boundary.
QByteArray aligning_junk(qsizetype chunk)
{
    const qsizetype shift = 8 + (512 - (chunk + 8 + 8) % 512) % 512;
    QByteArray junk(shift, '\0');
    junk.replace(0, 4, QByteArray("JUNK"));
    qToLittleEndian(quint32(shift - 8), junk.data() + 4);
    return junk;
}

// Moves a Motion-JPEG clip's first frame to a 512-byte boundary of the file,
// where about one frame in 256 lies anyway, by a JUNK chunk before the
// frames' list (the index counts from that list, so it stays right). The
// frame's offset goes to frame_at.
QByteArray with_first_frame_aligned(QByteArray avi, qint64 *frame_at)
{
    const qsizetype list = frames_list(avi);
    const qsizetype chunk = list < 0 ? -1 : frame_chunk(avi, list, -1);
    if (chunk < 0)
        return {};
    const QByteArray junk = aligning_junk(chunk);
    avi.insert(list, junk);
    qToLittleEndian(quint32(qFromLittleEndian<quint32>(avi.constData() + 4) + junk.size()), avi.data() + 4);
    *frame_at = chunk + 8 + junk.size();
    return avi;
}

QList<MediaFile> make_camera_media()
{
    if (!missing_media_tools().isEmpty())
        return {};
    QTemporaryDir folder;
    if (!folder.isValid())
        return {};
    const QStringList h264{"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"};
    const QList<Recipe> recipes{
        {"MVI_0001.MP4", "testsrc=size=320x240:rate=25",
         h264 + QStringList{"-c:a", "aac", "-metadata", "creation_time=" + media_created}, 2000},
        {"MVI_0002.MP4", "testsrc2=size=320x240:rate=25",
         h264 + QStringList{"-c:a", "aac", "-movflags", "+faststart"}, 1000},
        {"DJI_0003.MOV", "smptebars=size=320x240:rate=25", h264 + QStringList{"-c:a", "pcm_s16le"}, 2000},
        {"IMG_0004.MOV", "rgbtestsrc=size=320x240:rate=25",
         {"-c:v", "libx265", "-preset", "ultrafast", "-tag:v", "hvc1", "-x265-params", "log-level=none", "-an"},
         1000},
        {"PICT0005.AVI", "testsrc=size=320x240:rate=10:decimals=2",
         {"-c:v", "mjpeg", "-q:v", "4", "-c:a", "pcm_s16le"}, 3000},
        {"MVI_0007.MP4", "mandelbrot=size=320x240:rate=25", h264 + QStringList{"-c:a", "aac"}, 1000},
        {"PICT0008.AVI", "smptehdbars=size=320x240:rate=10", {"-c:v", "mjpeg", "-q:v", "6", "-an"}, 2000},
    };
    QList<MediaFile> made;
    for (const Recipe &recipe : recipes) {
        MediaFile file;
        file.name = QString::fromLatin1(recipe.name);
        file.suffix = file.name.section(QLatin1Char('.'), -1);
        file.riff = file.suffix == QLatin1String("AVI");
        file.width = 320;
        file.height = 240;
        file.duration_ms = recipe.duration_ms;
        const QString path = folder.filePath(file.name);
        if (!make_video(path, recipe.source, recipe.encode, recipe.duration_ms))
            return {};
        file.bytes = read_file(path);
        if (file.riff)
            file.bytes = with_first_frame_aligned(file.bytes, &file.aligned_frame);
        made.append(file);
    }
    for (const auto &[name, seed] : {std::pair{"IMG_0006.HEIC", 77}, std::pair{"IMG_0009.HEIC", 78}}) {
        MediaFile heic;
        heic.name = QString::fromLatin1(name);
        heic.suffix = QStringLiteral("HEIC");
        heic.video = false;
        heic.width = 400;
        heic.height = 300;
        const QString path = folder.filePath(heic.name);
        if (!make_heic(folder.path(), path, seed))
            return {};
        heic.bytes = read_file(path);
        made.append(heic);
    }
    for (const MediaFile &file : made) {
        if (file.bytes.isEmpty())
            return {};
    }
    return made;
}

} // namespace

QByteArray heic_in_slices(int slices)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("sliced.heic"));
    return folder.isValid() && make_heic(folder.path(), path, 79, {QStringLiteral("slices=%1").arg(slices)})
        ? read_file(path)
        : QByteArray();
}

QStringList missing_media_tools()
{
    return missing_tools(video_tools());
}

const QList<MediaFile> &camera_media()
{
    static const QList<MediaFile> media = make_camera_media();
    return media;
}

const MediaFile *media_named(const QString &name)
{
    for (const MediaFile &file : camera_media()) {
        if (file.name == name)
            return &file;
    }
    return nullptr;
}

QByteArray iso_box(const char *type, const QByteArray &payload, qint64 size)
{
    QByteArray box(8, '\0');
    qToBigEndian(quint32(size < 0 ? payload.size() + 8 : size), box.data());
    box.replace(4, 4, type, 4);
    return box + payload;
}

QByteArray iso_large_box(const char *type, quint64 large_size, const QByteArray &payload)
{
    QByteArray box(16, '\0');
    qToBigEndian(quint32(1), box.data());
    box.replace(4, 4, type, 4);
    qToBigEndian(large_size, box.data() + 8);
    return box + payload;
}

QByteArray iso_ftyp(const char *major_brand)
{
    QByteArray payload(major_brand, 4);
    payload += QByteArray(4, '\0');
    payload += QByteArray(major_brand, 4) + QByteArray("mp41", 4);
    return iso_box("ftyp", payload);
}

QByteArray nested_boxes(const char *type, int depth)
{
    QByteArray boxes;
    for (int i = 0; i < depth; ++i)
        boxes = iso_box(type, boxes);
    return boxes;
}

QByteArray riff_chunk(const char *id, const QByteArray &payload, qint64 size)
{
    QByteArray chunk(8, '\0');
    chunk.replace(0, 4, QByteArray(id, 4));
    qToLittleEndian(quint32(size < 0 ? payload.size() : size), chunk.data() + 4);
    return chunk + payload + QByteArray(payload.size() % 2, '\0');
}

QByteArray avi_with(const QByteArray &frames, qint64 frames_size)
{
    const QByteArray header = riff_chunk("LIST", "hdrl" + riff_chunk("avih", QByteArray(56, '\0')));
    const QByteArray body = "AVI " + header + riff_chunk("LIST", "movi" + frames, frames_size < 0 ? -1 : frames_size + 4);
    return riff_chunk("RIFF", body);
}

QByteArray with_frame_aligned_after(const QByteArray &avi, qint64 after, qint64 *frame_at)
{
    const qsizetype list = avi.indexOf("LIST", 12);
    const qsizetype movi = frames_list(avi);
    const qsizetype chunk = list < 0 || movi < 0 ? -1 : frame_chunk(avi, movi, after);
    if (chunk < 0)
        return {};
    const QByteArray junk = aligning_junk(chunk);
    const qsizetype shift = junk.size();
    QByteArray out = avi;
    out.insert(chunk, junk);
    const auto grow = [&out, shift](qsizetype size_at) {
        qToLittleEndian(quint32(qFromLittleEndian<quint32>(out.constData() + size_at) + shift), out.data() + size_at);
    };
    grow(4);
    grow(movi + 4);
    // the index counts from the frames' list: entries after the JUNK move with it
    const qsizetype index = out.indexOf("idx1", movi + 8 + qFromLittleEndian<quint32>(out.constData() + movi + 4));
    if (index >= 0) {
        const quint32 count = qFromLittleEndian<quint32>(out.constData() + index + 4) / 16;
        for (quint32 i = 0; i < count && index + 8 + (i + 1) * 16 <= out.size(); ++i) {
            const qsizetype entry = index + 8 + i * 16;
            if (qFromLittleEndian<quint32>(out.constData() + entry + 8) >= quint32(chunk - movi - 8))
                grow(entry + 8);
        }
    }
    *frame_at = chunk + shift + 8;
    return out;
}

} // namespace testsupport

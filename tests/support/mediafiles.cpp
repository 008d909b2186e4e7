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

// From a JPEG with EXIF data, which heif-enc carries over.
bool make_heic(const QString &folder, const QString &path, int seed)
{
    const QString jpeg = QDir(folder).filePath(QStringLiteral("picture.jpg"));
    return make_picture(400, 300, seed).save(jpeg, "JPEG", 95)
        && run_tool(QStringLiteral("exiftool"), {QStringLiteral("-q"), QStringLiteral("-overwrite_original"),
                                                 QStringLiteral("-DateTimeOriginal=") + media_date_taken, jpeg})
        && run_tool(QStringLiteral("heif-enc"), {QStringLiteral("-q"), QStringLiteral("60"), jpeg,
                                                 QStringLiteral("-o"), path});
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

} // namespace testsupport

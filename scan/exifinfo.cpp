#include "exifinfo.h"

#include "jpegmarkerreader.h"

#include <QTimeZone>

#include <cstring>

namespace {

// Tags of IFD0 and of the EXIF sub-IFD.
constexpr quint16 tag_make = 0x010F;
constexpr quint16 tag_model = 0x0110;
constexpr quint16 tag_date_time = 0x0132;
constexpr quint16 tag_exif_ifd = 0x8769;
constexpr quint16 tag_date_time_original = 0x9003;
constexpr quint16 tag_offset_time = 0x9010;
constexpr quint16 tag_offset_time_original = 0x9011;

constexpr quint16 type_ascii = 2;
constexpr quint16 type_long = 4;

// Reads a TIFF structure with every offset checked against its size.
class TiffReader
{
public:
    TiffReader(const uchar *data, qsizetype size)
        : data(data)
        , size(size)
    {
        if (size >= 8 && data[0] == 'I' && data[1] == 'I')
            little = true;
        else if (!(size >= 8 && data[0] == 'M' && data[1] == 'M'))
            return;
        valid = u16(2) == 42;
    }

    bool is_valid() const { return valid; }
    quint32 first_ifd() const { return u32(4); }

    quint16 u16(qint64 at) const
    {
        if (at < 0 || at + 2 > size)
            return 0;
        return little ? quint16(data[at] | data[at + 1] << 8) : quint16(data[at] << 8 | data[at + 1]);
    }
    quint32 u32(qint64 at) const
    {
        if (at < 0 || at + 4 > size)
            return 0;
        const quint32 a = u16(at);
        const quint32 b = u16(at + 2);
        return little ? (b << 16 | a) : (a << 16 | b);
    }

    // Calls visit(tag, entry offset) for every entry of the IFD at ifd.
    template<class Visit>
    void entries(quint32 ifd, Visit visit) const
    {
        if (ifd < 8 || qint64(ifd) + 2 > size)
            return;
        const int count = u16(ifd);
        for (int i = 0; i < count; ++i) {
            const qint64 entry = qint64(ifd) + 2 + 12 * qint64(i);
            if (entry + 12 > size)
                return;
            visit(u16(entry), entry);
        }
    }

    QString ascii(qint64 entry) const
    {
        if (u16(entry + 2) != type_ascii)
            return {};
        const quint32 count = u32(entry + 4);
        const qint64 at = count <= 4 ? entry + 8 : qint64(u32(entry + 8));
        if (count == 0 || at < 0 || at + qint64(count) > size)
            return {};
        const auto *text = reinterpret_cast<const char *>(data + at);
        return QString::fromLatin1(text, qstrnlen(text, count)).trimmed();
    }

    quint32 long_value(qint64 entry) const { return u16(entry + 2) == type_long ? u32(entry + 8) : 0; }

private:
    const uchar *data;
    qsizetype size;
    bool little = false;
    bool valid = false;
};

// "YYYY:MM:DD HH:MM:SS", with the offset from UTC when the photo gives one ("+02:00").
QDateTime parse_date(const QString &text, const QString &offset)
{
    const QDateTime local = QDateTime::fromString(text.left(19), QStringLiteral("yyyy:MM:dd HH:mm:ss"));
    if (!local.isValid())
        return {};
    const QTime offset_time = QTime::fromString(offset.mid(1), QStringLiteral("HH:mm"));
    const bool ahead = offset.startsWith(QLatin1Char('+'));
    if (offset.size() != 6 || !offset_time.isValid() || (!ahead && !offset.startsWith(QLatin1Char('-'))))
        return local;
    const int seconds = offset_time.msecsSinceStartOfDay() / 1000;
    return QDateTime(local.date(), local.time(), QTimeZone(ahead ? seconds : -seconds));
}

// The TIFF structure inside the APP1 "Exif" segment, found by walking the
// segments from SOI to the first scan; empty when there is none.
QByteArrayView exif_tiff(QByteArrayView jpeg)
{
    const auto *at = reinterpret_cast<const uchar *>(jpeg.data());
    const qsizetype size = jpeg.size();
    if (size < 4 || at[0] != 0xFF || at[1] != JpegMarkerReader::soi)
        return {};
    // The leading bytes read from a file may end inside the segment: what
    // they hold of it is read.
    JpegMarkerReader markers(at, size, 2);
    while (markers.next(false) == JpegMarkerReader::Read::Marker) {
        const JpegMarker &marker = markers.marker();
        if (marker.code == JpegMarkerReader::sos || marker.code == JpegMarkerReader::eoi)
            return {};
        const qsizetype body_size = qMin<qsizetype>(marker.payload_length, size - marker.payload);
        if (marker.code == JpegMarkerReader::app1 && body_size > 6 && memcmp(at + marker.payload, "Exif\0\0", 6) == 0)
            return jpeg.sliced(marker.payload + 6, body_size - 6);
    }
    return {};
}

} // namespace

ExifInfo::ExifInfo(const QByteArray &jpeg)
{
    const QByteArrayView tiff = exif_tiff(jpeg);
    if (!tiff.isEmpty())
        read_tiff(reinterpret_cast<const uchar *>(tiff.data()), tiff.size());
}

ExifInfo ExifInfo::from_tiff(const QByteArray &tiff)
{
    ExifInfo info;
    info.read_tiff(reinterpret_cast<const uchar *>(tiff.constData()), tiff.size());
    return info;
}

void ExifInfo::read_tiff(const uchar *tiff, qsizetype size)
{
    const TiffReader reader(tiff, size);
    if (!reader.is_valid())
        return;
    found = true;

    QString date_time;
    QString date_time_original;
    QString offset_time;
    QString offset_time_original;
    quint32 exif_ifd = 0;
    reader.entries(reader.first_ifd(), [&](quint16 tag, qint64 entry) {
        switch (tag) {
        case tag_make: camera_make = reader.ascii(entry); break;
        case tag_model: camera_model = reader.ascii(entry); break;
        case tag_date_time: date_time = reader.ascii(entry); break;
        case tag_exif_ifd: exif_ifd = reader.long_value(entry); break;
        default: break;
        }
    });
    if (exif_ifd != reader.first_ifd()) {
        reader.entries(exif_ifd, [&](quint16 tag, qint64 entry) {
            switch (tag) {
            case tag_date_time_original: date_time_original = reader.ascii(entry); break;
            case tag_offset_time: offset_time = reader.ascii(entry); break;
            case tag_offset_time_original: offset_time_original = reader.ascii(entry); break;
            default: break;
            }
        });
    }
    taken = parse_date(date_time_original, offset_time_original);
    if (!taken.isValid())
        taken = parse_date(date_time, offset_time);
}

QString ExifInfo::camera() const
{
    if (camera_make.isEmpty())
        return camera_model;
    if (camera_model.isEmpty())
        return camera_make;
    // "NIKON CORPORATION" / "NIKON D750": the model already names the maker.
    const QString maker = camera_make.section(QLatin1Char(' '), 0, 0);
    if (camera_model.startsWith(maker, Qt::CaseInsensitive))
        return camera_model;
    return camera_make + QLatin1Char(' ') + camera_model;
}


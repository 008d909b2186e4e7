#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>
#include <QString>

// What a photo's EXIF data (its APP1 segment) says about it: when it was
// taken and with which camera. Read from the photo's own bytes; a photo
// without EXIF, or with EXIF that does not parse, yields empty facts.
class ExifInfo
{
public:
    ExifInfo() = default;
    // Reads the segments before the first scan of a JPEG stream.
    explicit ExifInfo(const QByteArray &jpeg);
    // Reads EXIF data given from its TIFF header on, as HEIC photos keep it.
    static ExifInfo from_tiff(const QByteArray &tiff);

    bool has_exif() const { return found; }
    // DateTimeOriginal, else DateTime; invalid when the photo has neither.
    // Local time unless the photo records its offset from UTC.
    QDateTime date_taken() const { return taken; }
    QString make() const { return camera_make; }
    QString model() const { return camera_model; }
    // Make and model as one name ("Canon EOS 80D"), without the make twice.
    QString camera() const;

    // EXIF lies in the leading segments; this many bytes always hold it.
    static constexpr qint64 leading_bytes = 256 * 1024;

private:
    void read_tiff(const uchar *tiff, qsizetype size);

    bool found = false;
    QDateTime taken;
    QString camera_make;
    QString camera_model;
};

Q_DECLARE_METATYPE(ExifInfo)

#include "mediakind.h"

#include <QCoreApplication>

QString media_kind_name(MediaKind kind)
{
    switch (kind) {
    case MediaKind::JpegPhoto:
        return QCoreApplication::translate("MediaKind", "JPEG photo");
    case MediaKind::HeicPhoto:
        return QCoreApplication::translate("MediaKind", "HEIC photo");
    case MediaKind::Video:
        return QCoreApplication::translate("MediaKind", "video");
    }
    return QString();
}

QString media_kind_extension(MediaKind kind)
{
    switch (kind) {
    case MediaKind::JpegPhoto:
        return QStringLiteral("JPG");
    case MediaKind::HeicPhoto:
        return QStringLiteral("HEIC");
    case MediaKind::Video:
        return QStringLiteral("MP4");
    }
    return QString();
}

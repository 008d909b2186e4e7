#include "mediakind.h"

#include <QCoreApplication>

QString media_kind_name(MediaKind kind)
{
    switch (kind) {
    case MediaKind::JpegPhoto:
        return QCoreApplication::translate("MediaKind", "JPEG photo");
    }
    return QString();
}

QString media_kind_extension(MediaKind kind)
{
    switch (kind) {
    case MediaKind::JpegPhoto:
        return QStringLiteral("JPG");
    }
    return QString();
}

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

QString media_kind_extension(MediaKind kind, VideoContainer container)
{
    switch (kind) {
    case MediaKind::JpegPhoto:
        return QStringLiteral("JPG");
    case MediaKind::HeicPhoto:
        return QStringLiteral("HEIC");
    case MediaKind::Video:
        break;
    }
    switch (container) {
    case VideoContainer::Mov:
        return QStringLiteral("MOV");
    case VideoContainer::ThreeGp:
        return QStringLiteral("3GP");
    case VideoContainer::Avi:
        return QStringLiteral("AVI");
    case VideoContainer::Mp4:
        break;
    }
    return QStringLiteral("MP4");
}

VideoContainer video_container_of(const QByteArray &head)
{
    if (head.startsWith("RIFF"))
        return VideoContainer::Avi;
    if (head.size() < 12 || head.mid(4, 4) != "ftyp")
        return VideoContainer::Mov;
    const QByteArray brand = head.mid(8, 4);
    if (brand == "qt  " || brand == QByteArray(4, '\0'))
        return VideoContainer::Mov;
    if (brand.startsWith("3gp") || brand.startsWith("3g2"))
        return VideoContainer::ThreeGp;
    return VideoContainer::Mp4;
}

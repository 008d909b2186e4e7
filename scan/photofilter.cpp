#include "photofilter.h"

#include <QHash>
#include <QStringList>

bool PhotoFilter::accepts(qint64 length, const QDate &day, Kind kind) const
{
    if (!(kinds & kind) || length < min_bytes)
        return false;
    if (!day.isValid())
        return true;
    return (!since.isValid() || day >= since) && (!until.isValid() || day <= until);
}

QDateTime PhotoFilter::date_of(const PhotoFacts &facts)
{
    return date_of(facts.date_taken(), facts.origin.modified);
}

QDateTime PhotoFilter::date_of(const QDateTime &taken, const QDateTime &entry_modified)
{
    return taken.isValid() ? taken : entry_modified;
}

PhotoFilter::Kind PhotoFilter::kind_of(const QString &kind)
{
    static const QStringList videos = {QStringLiteral("MP4"), QStringLiteral("MOV"), QStringLiteral("AVI"),
                                       QStringLiteral("M4V"), QStringLiteral("3GP"), QStringLiteral("MTS"),
                                       QStringLiteral("MKV")};
    return videos.contains(kind, Qt::CaseInsensitive) ? Videos : Photos;
}

PhotoFilter::Kind PhotoFilter::kind_of(MediaKind kind)
{
    switch (kind) {
    case MediaKind::JpegPhoto:
    case MediaKind::HeicPhoto:
        return Photos;
    case MediaKind::Video:
        return Videos;
    }
    return Photos;
}

bool PhotoFilter::parse_kinds(const QString &text, QList<MediaKind> *kinds)
{
    const QList<MediaKind> photos{MediaKind::JpegPhoto, MediaKind::HeicPhoto};
    const QHash<QString, QList<MediaKind>> words{
        {QStringLiteral("jpeg"), {MediaKind::JpegPhoto}}, {QStringLiteral("jpg"), {MediaKind::JpegPhoto}},
        {QStringLiteral("heic"), {MediaKind::HeicPhoto}}, {QStringLiteral("heif"), {MediaKind::HeicPhoto}},
        {QStringLiteral("video"), {MediaKind::Video}},    {QStringLiteral("videos"), {MediaKind::Video}},
        {QStringLiteral("photo"), photos},                {QStringLiteral("photos"), photos},
        {QStringLiteral("all"), photos + QList<MediaKind>{MediaKind::Video}},
    };
    QList<MediaKind> chosen;
    for (const QString &name : text.split(QLatin1Char(','))) {
        const auto word = words.constFind(name.trimmed().toLower());
        if (word == words.cend())
            return false;
        for (const MediaKind kind : *word) {
            if (!chosen.contains(kind))
                chosen.append(kind);
        }
    }
    *kinds = chosen;
    return true;
}

#include "photofilter.h"

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

bool PhotoFilter::parse_kinds(const QString &text, quint8 *kinds)
{
    quint8 chosen = 0;
    for (const QString &name : text.split(QLatin1Char(','))) {
        const QString word = name.trimmed().toLower();
        if (word == QLatin1String("photos") || word == QLatin1String("photo"))
            chosen |= Photos;
        else if (word == QLatin1String("videos") || word == QLatin1String("video"))
            chosen |= Videos;
        else if (word == QLatin1String("all"))
            chosen |= AllKinds;
        else
            return false;
    }
    *kinds = chosen;
    return chosen != 0;
}

#pragma once

#include "mediakind.h"
#include "photofacts.h"

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QString>

// Which of the photos found a user wants: none smaller than a size, none
// dated outside a range of days, only some kinds of file. The window filters
// its results with it and velvora-scan writes only what it accepts. A photo
// without a date passes any range of days: it cannot be told outside one.
struct PhotoFilter
{
    enum Kind : quint8 { Photos = 1, Videos = 2, AllKinds = Photos | Videos };

    qint64 min_bytes = 0;
    QDate since; // invalid: no first day
    QDate until; // invalid: no last day (the day itself is in the range)
    quint8 kinds = AllKinds;

    bool accepts(qint64 length, const QDate &day, Kind kind) const;
    bool accepts(const PhotoFacts &facts) const { return accepts(facts.length, date_of(facts).date(), kind_of(facts)); }
    // Whether it lets everything through.
    bool is_open() const { return min_bytes <= 0 && !since.isValid() && !until.isValid() && kinds == AllKinds; }

    // The day a photo belongs to: when its EXIF data says it was taken (a
    // video: when it was recorded), else the modification time its deleted
    // entry kept; invalid for neither.
    static QDateTime date_of(const PhotoFacts &facts);
    static QDateTime date_of(const QDateTime &taken, const QDateTime &entry_modified);
    // Photos or videos, by the kind a found file is ("JPEG", "MP4").
    static Kind kind_of(const QString &kind);
    static Kind kind_of(MediaKind kind);
    static Kind kind_of(const PhotoFacts &facts) { return kind_of(facts.kind); }
    // The kinds of file a user lists, comma-separated: jpeg, heic, video;
    // photos (jpeg and heic), videos, all. False for an empty list or a
    // name that is none of them.
    static bool parse_kinds(const QString &text, QList<MediaKind> *kinds);
};

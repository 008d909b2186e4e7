#pragma once

#include "jpegcarver.h"
#include "mediacarver.h"
#include "thumbnailqueue.h"

// JPEG photos: streams cut by JpegCarver, each decoded into its thumbnail
// on the spare cores while the volume is read on.
class JpegPhotoCarver : public MediaCarver
{
public:
    explicit JpegPhotoCarver(qreal thumbnail_pixel_ratio = 1.0);

    MediaKind kind() const override { return MediaKind::JpegPhoto; }
    void reset(qint64 position) override;
    void feed(const char *data, qint64 length) override { carver.feed(data, length); }
    // a photo within one block goes to its decoder without a copy in between
    bool takes_whole_blocks() const override { return true; }
    void skip_unreadable(qint64 length) override { carver.skip_unreadable(length); }
    void finish() override { carver.finish(); }
    qint64 open_from() const override;
    qint64 first_unjudged() const override { return thumbnails.first_pending(); }
    QList<Checked> take_ready() override { return checked(thumbnails.take_ready()); }
    QList<Checked> take_all() override { return checked(thumbnails.take_all()); }

private:
    static QList<Checked> checked(const QList<ThumbnailQueue::Result> &results);

    JpegCarver carver;
    ThumbnailQueue thumbnails;
};

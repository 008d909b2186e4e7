#include "mediacarver.h"

#include "containercarver.h"
#include "jpegphotocarver.h"
#include "thumbnailqueue.h"

// Each kind the scan looks for is one line here.
std::vector<std::unique_ptr<MediaCarver>> MediaCarver::registered(const Settings &settings)
{
    std::vector<std::unique_ptr<MediaCarver>> carvers;
    const QSize thumbnail_size = ThumbnailQueue::thumbnail_size_at(settings.thumbnail_pixel_ratio);
    carvers.push_back(std::make_unique<JpegPhotoCarver>(settings.thumbnail_pixel_ratio));
    carvers.push_back(std::make_unique<ContainerCarver>(MediaKind::HeicPhoto, settings.volume_size, thumbnail_size));
    carvers.push_back(std::make_unique<ContainerCarver>(MediaKind::Video, settings.volume_size, thumbnail_size));
    if (!settings.kinds.isEmpty()) {
        std::erase_if(carvers, [&settings](const std::unique_ptr<MediaCarver> &carver) {
            return !settings.kinds.contains(carver->kind());
        });
        // Every frame of a Motion-JPEG clip is a JPEG stream: clips are walked
        // to tell their frames from photos even when videos are not wanted.
        if (settings.kinds.contains(MediaKind::JpegPhoto) && !settings.kinds.contains(MediaKind::Video))
            carvers.push_back(std::make_unique<ContainerCarver>(MediaKind::Video, settings.volume_size,
                                                                thumbnail_size, false));
    }
    return carvers;
}

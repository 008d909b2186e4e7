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
    }
    return carvers;
}

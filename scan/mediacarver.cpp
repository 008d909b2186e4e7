#include "mediacarver.h"

#include "jpegphotocarver.h"

// Each kind the scan looks for is one line here.
std::vector<std::unique_ptr<MediaCarver>> MediaCarver::registered(const Settings &settings)
{
    std::vector<std::unique_ptr<MediaCarver>> carvers;
    carvers.push_back(std::make_unique<JpegPhotoCarver>(settings.thumbnail_pixel_ratio));
    std::erase_if(carvers, [&settings](const std::unique_ptr<MediaCarver> &carver) {
        return !settings.kinds.isEmpty() && !settings.kinds.contains(carver->kind());
    });
    return carvers;
}

#include "mediacarver.h"

#include "jpegphotocarver.h"

// Each kind the scan looks for is one line here.
std::vector<std::unique_ptr<MediaCarver>> MediaCarver::registered(const Settings &settings)
{
    std::vector<std::unique_ptr<MediaCarver>> carvers;
    carvers.push_back(std::make_unique<JpegPhotoCarver>(settings.thumbnail_pixel_ratio));
    return carvers;
}

#include "openvolume.h"

#include "rawaccess.h"

#include <utility>

OpenVolume::OpenVolume(const QString &path, const RawAccess &access)
{
    opened = access.open(path, &why);
    if (opened != volume_platform::invalid_handle)
        why = volume_platform::Failure::None;
    else if (why == volume_platform::Failure::None)
        why = volume_platform::Failure::Other; // an open that failed always has a reason
}

OpenVolume::~OpenVolume()
{
    close();
}

OpenVolume::OpenVolume(OpenVolume &&other) noexcept
    : opened(std::exchange(other.opened, volume_platform::invalid_handle))
    , why(std::exchange(other.why, volume_platform::Failure::None))
{
}

OpenVolume &OpenVolume::operator=(OpenVolume &&other) noexcept
{
    if (this != &other) {
        close();
        opened = std::exchange(other.opened, volume_platform::invalid_handle);
        why = std::exchange(other.why, volume_platform::Failure::None);
    }
    return *this;
}

void OpenVolume::close()
{
    if (opened != volume_platform::invalid_handle)
        volume_platform::close(std::exchange(opened, volume_platform::invalid_handle));
}

#include "rawvolume.h"

std::unique_ptr<RawVolume> RawVolume::open(const QString &path, volume_platform::Failure *failure)
{
    const volume_platform::Handle handle = volume_platform::open_read_only(path, failure);
    if (handle == volume_platform::invalid_handle)
        return nullptr;
    return std::unique_ptr<RawVolume>(new RawVolume(handle));
}

RawVolume::RawVolume(volume_platform::Handle handle)
    : handle(handle)
{
}

RawVolume::~RawVolume()
{
    volume_platform::close(handle);
}

qint64 RawVolume::read(char *buffer, qint64 count)
{
    return volume_platform::read(handle, buffer, count, &failure);
}

bool RawVolume::seek(qint64 offset)
{
    return volume_platform::seek(handle, offset);
}

volume_platform::Geometry RawVolume::geometry() const
{
    return volume_platform::geometry(handle);
}

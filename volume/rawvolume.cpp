#include "rawvolume.h"

std::unique_ptr<RawVolume> RawVolume::open(const QString &path, volume_platform::Failure *failure)
{
    return adopt(volume_platform::open_read_only(path, failure));
}

std::unique_ptr<RawVolume> RawVolume::adopt(volume_platform::Handle handle)
{
    if (handle == volume_platform::invalid_handle)
        return nullptr;
    return std::unique_ptr<RawVolume>(new RawVolume(handle));
}

RawVolume::RawVolume(volume_platform::Handle handle)
    : handle(handle)
    , block_device(volume_platform::geometry(handle).block_device)
{
    // an adopted handle may share its position with another one
    volume_platform::seek(handle, 0);
    if (block_device) {
        volume_platform::advise_sequential(handle);
        unbuffered = volume_platform::open_unbuffered(handle);
    }
}

RawVolume::~RawVolume()
{
    if (unbuffered != volume_platform::invalid_handle)
        volume_platform::close(unbuffered);
    volume_platform::close(handle);
}

qint64 RawVolume::read(char *buffer, qint64 count)
{
    const qint64 n = volume_platform::read(handle, buffer, count, &failure);
    if (n > 0) {
        if (block_device)
            volume_platform::release_cached(handle, position, n);
        position += n;
    }
    return n;
}

qint64 RawVolume::read_at(qint64 offset, char *buffer, qint64 count)
{
    const qint64 n = volume_platform::read_at(handle, offset, buffer, count, &failure);
    if (n > 0) {
        if (block_device)
            volume_platform::release_cached(handle, offset, n);
        position = offset + n;
    }
    return n;
}

qint64 RawVolume::read_sector_at(qint64 offset, char *buffer, qint64 count)
{
    if (!block_device)
        return read_at(offset, buffer, count);
    const volume_platform::Handle direct = unbuffered != volume_platform::invalid_handle ? unbuffered : handle;
    const qint64 n = volume_platform::read_unbuffered_at(direct, offset, buffer, count, &failure);
    if (n > 0)
        position = offset + n;
    return n;
}

bool RawVolume::seek(qint64 offset)
{
    if (!volume_platform::seek(handle, offset))
        return false;
    position = offset;
    return true;
}

volume_platform::Geometry RawVolume::geometry() const
{
    return volume_platform::geometry(handle);
}

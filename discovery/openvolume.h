#pragma once

#include "volumeplatform.h"

class QString;
class RawAccess;

// A volume opened for reading, owned: it is closed when this goes away, and
// only moved, never copied, so no one can close it under another user or
// keep it past its owner.
class OpenVolume
{
public:
    // Nothing open.
    OpenVolume() = default;
    // Opens path (a device node or an image file) for reading through
    // access, through the disk service where permission is lacking; see
    // failure() when it could not be.
    OpenVolume(const QString &path, const RawAccess &access);
    ~OpenVolume();

    OpenVolume(OpenVolume &&other) noexcept;
    OpenVolume &operator=(OpenVolume &&other) noexcept;
    OpenVolume(const OpenVolume &) = delete;
    OpenVolume &operator=(const OpenVolume &) = delete;

    bool is_open() const { return opened != volume_platform::invalid_handle; }
    // For reads while this lives; invalid_handle when nothing is open.
    volume_platform::Handle handle() const { return opened; }
    // Why the open failed; None when it did not.
    volume_platform::Failure failure() const { return why; }

private:
    void close();

    volume_platform::Handle opened = volume_platform::invalid_handle;
    volume_platform::Failure why = volume_platform::Failure::None;
};

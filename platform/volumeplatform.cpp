#include "volumeplatform.h"

#include <QCoreApplication>

// What does not depend on the operating system.
namespace volume_platform {

QString failure_text(Failure failure)
{
    switch (failure) {
    case Failure::None:
        return {};
    case Failure::NotFound:
        return QCoreApplication::translate("volume_platform", "No such device or image file.");
    case Failure::IsDirectory:
        return QCoreApplication::translate("volume_platform", "This is a folder, not a device or an image file.");
    case Failure::NotAVolume:
        return QCoreApplication::translate("volume_platform", "This is neither a block device nor an image file.");
    case Failure::PermissionDenied:
        return QCoreApplication::translate(
            "volume_platform",
            "Permission denied: reading a device needs membership of the 'disk' group or root.");
    case Failure::DeviceGone:
        return QCoreApplication::translate("volume_platform",
                                           "The device is no longer there; it may have been removed.");
    case Failure::Io:
        return QCoreApplication::translate("volume_platform", "The device reported a read error.");
    case Failure::AuthorizationRefused:
        return QCoreApplication::translate("volume_platform",
                                           "The administrator password was not given, so the device cannot be read.");
    case Failure::AlreadyExists:
        return QCoreApplication::translate("volume_platform", "Something of this name is already there.");
    case Failure::NoSpace:
        return QCoreApplication::translate("volume_platform", "The disk is full.");
    case Failure::BadName:
        return QCoreApplication::translate("volume_platform", "The disk does not take this name.");
    case Failure::Other:
        break;
    }
    return QCoreApplication::translate("volume_platform", "The device could not be read.");
}

} // namespace volume_platform

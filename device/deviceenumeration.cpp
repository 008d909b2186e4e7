#include "deviceenumeration.h"

// Placeholder until the platform listing lands.
QMap<QString, RemovableDevice> enumerate_removable_devices()
{
    return {};
}

#pragma once

#include "probechannel.h"

// Reads the file through the pipe with libheif and decodes its primary image.
ProbeAnswer check_heic(int64_t length, int thumbnail_side);

#pragma once

#include "probechannel.h"

// Opens the file through the pipe with FFmpeg's MP4/QuickTime or AVI reader,
// finds its video stream and its index, and decodes the first frame.
ProbeAnswer check_video(int64_t length, int thumbnail_side);

#pragma once

// The helper's side of the pipe (see mediaprobeprotocol.h): the file under
// check read through the probe, and the answer sent back.

#include <cstdint>
#include <string>
#include <vector>

struct ProbeAnswer
{
    bool sound = false;
    int64_t duration_ms = -1;
    int32_t width = 0;
    int32_t height = 0;
    std::string format;
    std::string why;
    int32_t thumbnail_width = 0;
    int32_t thumbnail_height = 0;
    std::vector<uint8_t> rgb;
    std::string created;       // the movie's creation time as FFmpeg gives it (ISO 8601), or empty
    std::vector<uint8_t> exif; // a HEIC photo's EXIF data from its TIFF header on, or empty
};

namespace probe_channel {

// Reads exactly count bytes of the request stream; false at its end.
bool take(void *buffer, size_t count);
// Asks the probe for up to count bytes of the file at offset; the count got,
// 0 past the end, -1 when they cannot be read. The process ends when the
// probe has gone or answers out of bounds.
int64_t read_file(int64_t offset, void *buffer, int64_t count);
void send_answer(const ProbeAnswer &answer);

// Thumbnail size within side x side, keeping the aspect ratio.
void fit(int width, int height, int side, int *fit_width, int *fit_height);

} // namespace probe_channel

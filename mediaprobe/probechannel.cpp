#include "probechannel.h"

#include "helperpipe.h"
#include "mediaprobeprotocol.h"

#include <algorithm>

namespace proto = media_probe_protocol;

using helper_pipe::put;
using helper_pipe::put_bytes;

namespace {

void put_string(const std::string &text)
{
    helper_pipe::put_string(text, proto::longest_string);
}

} // namespace

bool probe_channel::take(void *buffer, size_t count)
{
    return helper_pipe::take(buffer, count);
}

int64_t probe_channel::read_file(int64_t offset, void *buffer, int64_t count)
{
    return helper_pipe::ask_for_bytes(char(proto::Read), offset, buffer, std::min<int64_t>(count, proto::largest_read));
}

void probe_channel::send_answer(const ProbeAnswer &answer)
{
    put(char(proto::Answer));
    put(uint8_t(answer.sound ? 1 : 0));
    put(answer.duration_ms);
    put(answer.width);
    put(answer.height);
    put_string(answer.format);
    put_string(answer.why);
    const bool has_thumbnail = answer.rgb.size() == size_t(answer.thumbnail_width) * size_t(answer.thumbnail_height) * 3;
    put(has_thumbnail ? answer.thumbnail_width : int32_t(0));
    put(has_thumbnail ? answer.thumbnail_height : int32_t(0));
    if (has_thumbnail)
        put_bytes(answer.rgb.data(), answer.rgb.size());
    put_string(answer.created);
    const uint32_t exif_size = answer.exif.size() <= proto::largest_exif ? uint32_t(answer.exif.size()) : 0;
    put(exif_size);
    put_bytes(answer.exif.data(), exif_size);
    std::fflush(stdout);
}

void probe_channel::fit(int width, int height, int side, int *fit_width, int *fit_height)
{
    if (width <= 0 || height <= 0 || side <= 0) {
        *fit_width = *fit_height = 0;
        return;
    }
    if (width >= height) {
        *fit_width = std::min(width, side);
        *fit_height = std::max(1, int(int64_t(height) * *fit_width / width));
    } else {
        *fit_height = std::min(height, side);
        *fit_width = std::max(1, int(int64_t(width) * *fit_height / height));
    }
}

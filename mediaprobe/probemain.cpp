// velvora-media-probe: checks videos and HEIC photos found on a card with
// FFmpeg and libheif, and makes their thumbnails (see mediaprobeprotocol.h).
// Every byte comes from the process that started it, over stdin, so this
// process needs no access to the card, and a crash or an endless loop in a
// library on a malformed file ends only this process; the probe starts
// another for the next file.

#include "heiccheck.h"
#include "mediaprobeprotocol.h"
#include "videocheck.h"

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>

namespace proto = media_probe_protocol;

int main()
{
    av_log_set_level(AV_LOG_QUIET);
    for (;;) {
        char tag = 0;
        uint8_t kind = 0;
        int64_t length = 0;
        int32_t side = 0;
        if (!probe_channel::take(&tag, 1))
            return 0; // the probe closed the pipe: done
        if ((tag != proto::Check && tag != proto::Preview) || !probe_channel::take(&kind, 1)
            || !probe_channel::take(&length, sizeof length) || !probe_channel::take(&side, sizeof side) || length < 0)
            return 2;
        side = std::clamp(side, int32_t(1), tag == proto::Preview ? proto::largest_preview : proto::largest_thumbnail);
        const ProbeAnswer answer = kind == proto::Image ? check_heic(length, side) : check_video(length, side);
        probe_channel::send_answer(answer);
    }
}

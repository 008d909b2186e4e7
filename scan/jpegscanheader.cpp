#include "jpegscanheader.h"

#include <algorithm>

namespace {

int ceil_div(int a, int b)
{
    return (a + b - 1) / b;
}

} // namespace

bool JpegScanHeader::read(const uchar *segment, qint64 payload, const JpegFrameHeader &frame)
{
    if (!frame.valid() || payload < 1)
        return false;
    const int count = segment[0];
    if (count < 1 || count > 4 || payload != 1 + 2 * count + 3)
        return false;
    const uchar *selection = segment + 1 + 2 * count;
    ss = selection[0];
    se = selection[1];
    ah = selection[2] >> 4;
    al = selection[2] & 15;
    components.clear();
    int blocks_in_mcu = 0;
    for (int c = 0; c < count; ++c) {
        const int id = segment[1 + 2 * c];
        const int tables = segment[2 + 2 * c];
        int index = 0;
        while (index < frame.component_count && frame.components[size_t(index)].id != id)
            ++index;
        const bool repeated = std::any_of(components.begin(), components.end(),
                                          [id](const Component &known) { return known.id == id; });
        if (index == frame.component_count || repeated)
            return false;
        const JpegFrameHeader::Component &in_frame = frame.components[size_t(index)];
        components.push_back({index, id, in_frame.h, in_frame.v, tables >> 4, tables & 15});
        blocks_in_mcu += in_frame.h * in_frame.v;
    }
    if (count == 1) {
        Component &only = components.front();
        mcu_columns = ceil_div(ceil_div(frame.width * only.h, frame.h_max()), 8);
        mcu_rows = ceil_div(ceil_div(frame.height * only.v, frame.v_max()), 8);
        only.h = only.v = 1;
    } else {
        if (blocks_in_mcu > 10)
            return false;
        mcu_columns = ceil_div(frame.width, 8 * frame.h_max());
        mcu_rows = ceil_div(frame.height, 8 * frame.v_max());
    }
    return true;
}

#include "jpegseamcheck.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

namespace {

struct Errors
{
    jpeg_error_mgr base;
    std::jmp_buf fatal;
};

[[noreturn]] void on_error(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<Errors *>(info->err)->fatal, 1);
}

void on_message(j_common_ptr, int) {}

struct ScanEnds
{
    Errors errors;
    bool early = false;
};

// libjpeg warns that a scan's data ended at a marker while it reads the
// scan's rows of MCUs: the row it was reading tells how early.
void on_scan_message(j_common_ptr info, int level)
{
    if (level >= 0 || info->err->msg_code != JWRN_HIT_MARKER)
        return;
    const auto *decompress = reinterpret_cast<j_decompress_ptr>(info);
    if (decompress->input_iMCU_row + 1 < decompress->total_iMCU_rows)
        reinterpret_cast<ScanEnds *>(info->err)->early = true;
}

// A stretch of one boundary between two rows of pixels: the row below
// begins at y, over the columns [x0, x1).
struct Boundary
{
    int y;
    int x0;
    int x1;
};

// Rows of pixels as decoded, by their y, three bytes a pixel.
using Rows = std::map<int, std::vector<uchar>>;

// The mean difference across a boundary, in levels of one channel.
double step_across(const Rows &rows, const Boundary &b, qint64 *count)
{
    const std::vector<uchar> &above = rows.at(b.y - 1);
    const std::vector<uchar> &below = rows.at(b.y);
    qint64 sum = 0;
    for (int i = 3 * b.x0; i < 3 * b.x1; ++i)
        sum += std::abs(int(above[size_t(i)]) - int(below[size_t(i)]));
    *count = 3 * qint64(b.x1 - b.x0);
    return double(sum);
}

// How much the pixels of a row differ from their neighbours along it.
double variation_along(const std::vector<uchar> &row, int x0, int x1)
{
    qint64 sum = 0;
    for (int i = 3 * x0 + 3; i < 3 * x1; ++i)
        sum += std::abs(int(row[size_t(i)]) - int(row[size_t(i) - 3]));
    return x1 - x0 > 1 ? double(sum) / (3.0 * (x1 - x0 - 1)) : 0.0;
}

struct Seam
{
    QList<Boundary> across; // where the next piece's data meets the one before
    QList<Boundary> own;    // boundaries between rows of blocks of the piece before
};

Seam seam_of(int join, int wide, int rows, int mcu_w, int mcu_h, int width, bool rows_below)
{
    Seam seam;
    const int r = join / wide;
    const int x = qMin(width, (join % wide) * mcu_w);
    if (r > 0 && x < width)
        seam.across.append({r * mcu_h, x, width});
    if (r + 1 < rows && x > 0)
        seam.across.append({(r + 1) * mcu_h, 0, x});
    if (r > 0 && x > 0)
        seam.own.append({r * mcu_h, 0, x});
    for (int k = 1; k <= 3 && r - k > 0; ++k)
        seam.own.append({(r - k) * mcu_h, 0, width});
    // Below the row after the join both rows lie after it.
    for (int k = 2; rows_below && r == 0 && k <= 4 && r + k < rows; ++k)
        seam.own.append({(r + k) * mcu_h, 0, width});
    return seam;
}

} // namespace

JpegSeamCheck::Verdict JpegSeamCheck::judge(const QByteArray &jpeg, const QList<int> &joins, qint64 memory_limit,
                                             FirstRow first_row)
{
    jpeg_decompress_struct info{};
    Errors errors{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = on_error;
    errors.base.emit_message = on_message;
    // Everything that changes after setjmp lives behind a pointer.
    auto rows = std::make_unique<Rows>();
    auto seams = std::make_unique<std::vector<Seam>>();
    if (setjmp(errors.fatal)) {
        jpeg_destroy_decompress(&info);
        return Verdict::Broken;
    }
    jpeg_create_decompress(&info);
    info.mem->max_memory_to_use = long(memory_limit);
    jpeg_mem_src(&info, reinterpret_cast<const uchar *>(jpeg.constData()), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = info.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    info.dct_method = JDCT_ISLOW;
    jpeg_start_decompress(&info);
    if (info.output_components != 1 && info.output_components != 3) {
        jpeg_destroy_decompress(&info);
        return Verdict::Weak;
    }
    const int width = int(info.output_width);
    const int height = int(info.output_height);
    const int mcu_w = 8 * info.max_h_samp_factor;
    const int mcu_h = 8 * info.max_v_samp_factor;
    const int wide = (width + mcu_w - 1) / mcu_w;
    const int tall = (height + mcu_h - 1) / mcu_h;
    std::set<int> wanted;
    for (const int join : joins) {
        if (join < 0 || join >= wide * tall)
            continue;
        seams->push_back(seam_of(join, wide, tall, mcu_w, mcu_h, width, first_row == FirstRow::JudgedByRowsBelow));
        for (const QList<Boundary> *list : {&seams->back().across, &seams->back().own})
            for (const Boundary &b : *list) {
                wanted.insert(b.y - 1);
                wanted.insert(b.y);
            }
    }
    const int channels = info.output_components;
    std::vector<uchar> line(size_t(width) * size_t(channels));
    for (const int y : wanted) {
        if (y >= height)
            break;
        if (int(info.output_scanline) < y)
            jpeg_skip_scanlines(&info, JDIMENSION(y - int(info.output_scanline)));
        JSAMPROW row = line.data();
        jpeg_read_scanlines(&info, &row, 1);
        std::vector<uchar> &kept = (*rows)[y];
        kept.resize(size_t(width) * 3);
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                kept[size_t(3 * x + c)] = line[size_t(channels * x + (channels == 3 ? c : 0))];
    }
    jpeg_abort_decompress(&info);
    jpeg_destroy_decompress(&info);

    Verdict verdict = Verdict::Continuous;
    for (const Seam &seam : *seams) {
        double own_sum = 0, across_sum = 0, along = 0;
        qint64 own_count = 0, across_count = 0;
        for (const Boundary &b : seam.own) {
            qint64 n = 0;
            own_sum += step_across(*rows, b, &n);
            own_count += n;
        }
        for (const Boundary &b : seam.across) {
            qint64 n = 0;
            across_sum += step_across(*rows, b, &n);
            across_count += n;
            along = qMax(along, variation_along(rows->at(b.y - 1), b.x0, b.x1));
        }
        if (across_count == 0)
            continue; // the join lies where no boundary between rows of blocks falls
        if (own_count == 0)
            return Verdict::Weak; // nothing of the photo above to compare with
        const double own = own_sum / double(own_count);
        const double across = across_sum / double(across_count);
        if (across > step_ratio * own + step_slack)
            return Verdict::Broken;
        if (own < flat_below && along < flat_below)
            verdict = Verdict::Weak;
    }
    return verdict;
}

bool JpegSeamCheck::scan_ends_rows_early(const QByteArray &jpeg, qint64 memory_limit)
{
    jpeg_decompress_struct info{};
    ScanEnds ends{};
    info.err = jpeg_std_error(&ends.errors.base);
    ends.errors.base.error_exit = on_error;
    ends.errors.base.emit_message = on_scan_message;
    if (setjmp(ends.errors.fatal)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    info.mem->max_memory_to_use = long(memory_limit);
    jpeg_mem_src(&info, reinterpret_cast<const uchar *>(jpeg.constData()), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&info, TRUE);
    jpeg_read_coefficients(&info);
    jpeg_abort_decompress(&info);
    jpeg_destroy_decompress(&info);
    return ends.early;
}

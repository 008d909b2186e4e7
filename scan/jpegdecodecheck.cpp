#include "jpegdecodecheck.h"

#include "jpegcoefficientmemory.h"
#include "jpegframelimits.h"

#include <csetjmp>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

namespace {

struct ErrorManager
{
    jpeg_error_mgr base;
    jpeg_progress_mgr progress{};
    const JpegDecodeCheck::Interrupt *interrupted = nullptr;
    bool was_interrupted = false;
    bool stop_at_fault = false;
    bool over_budget = false;
    int fatal_code = 0;
    std::jmp_buf fatal;
    const uchar *data = nullptr;
    qint64 first_fault = -1;
    int fault_code = 0;
    int rows_at_fault = -1;
    int rows_done = 0;
    bool ran_out = false;           // the bytes ended before the image did
    bool out_of_sequence = false;   // restart markers or scans out of their turn: data from elsewhere
    int early_marker_row = -1;      // where data first ended at a marker too soon
    qint64 extraneous_bytes = 0;    // bytes left over before markers
    // Everything that changes after setjmp lives here, behind a pointer, so
    // it survives a longjmp with its value and is destroyed normally.
    QImage image;
    std::vector<uchar> cmyk_line;
    JpegCoefficientMemory coefficients; // outlives the decompressor
    int mcu_row_height = 1;
};

// Bytes the decoder has taken from the memory source so far.
qint64 consumed(j_decompress_ptr info, const uchar *data)
{
    return info->src ? qint64(info->src->next_input_byte - data) : 0;
}

// Warnings that mean the entropy-coded data or the marker structure is
// damaged; the others (an unknown JFIF revision, an Adobe transform code)
// leave the pixels intact.
bool is_corrupt_data(int code)
{
    switch (code) {
    case JWRN_EXTRANEOUS_DATA:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_JPEG_EOF:
    case JWRN_MUST_RESYNC:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_TOO_MUCH_DATA:
        return true;
    default:
        return false;
    }
}

void note_fault(j_decompress_ptr info)
{
    auto *errors = reinterpret_cast<ErrorManager *>(info->err);
    if (errors->first_fault >= 0)
        return;
    errors->first_fault = consumed(info, errors->data);
    errors->fault_code = info->err->msg_code;
    errors->rows_at_fault = errors->rows_done;
}

[[noreturn]] void on_error(j_common_ptr info)
{
    auto *decompress = reinterpret_cast<j_decompress_ptr>(info);
    reinterpret_cast<ErrorManager *>(info->err)->fatal_code = info->err->msg_code;
    note_fault(decompress);
    std::longjmp(reinterpret_cast<ErrorManager *>(info->err)->fatal, 1);
}

// A warning is noted and decoding goes on, so a damaged stream still yields
// the rows it has; libjpeg prints nothing.
void on_message(j_common_ptr info, int level)
{
    if (level >= 0 || !is_corrupt_data(info->err->msg_code))
        return;
    note_fault(reinterpret_cast<j_decompress_ptr>(info));
    auto *errors = reinterpret_cast<ErrorManager *>(info->err);
    switch (info->err->msg_code) {
    case JWRN_JPEG_EOF:
        errors->ran_out = true;
        break;
    case JWRN_MUST_RESYNC:      // a restart marker out of its turn
    case JWRN_BOGUS_PROGRESSION: // a scan again that was read already
        errors->out_of_sequence = true;
        break;
    case JWRN_HIT_MARKER:
        if (errors->early_marker_row < 0)
            errors->early_marker_row = errors->rows_done;
        break;
    case JWRN_EXTRANEOUS_DATA:
        errors->extraneous_bytes += info->err->msg_parm.i[0];
        break;
    default:
        break;
    }
    if (errors->stop_at_fault)
        std::longjmp(errors->fatal, 1);
}

// libjpeg reports its progress every few rows of blocks: the place to stop.
void on_progress(j_common_ptr info)
{
    auto *errors = reinterpret_cast<ErrorManager *>(info->err);
    if (errors->interrupted && *errors->interrupted && (*errors->interrupted)()) {
        errors->was_interrupted = true;
        std::longjmp(errors->fatal, 1);
    }
}

bool is_out_of_memory(int code)
{
    return code == JERR_NO_BACKING_STORE || code == JERR_OUT_OF_MEMORY;
}

// A frame larger than any camera makes is not decoded at all; the rest are
// bounded by libjpeg's own memory limit.
bool within_cap(const jpeg_decompress_struct &info)
{
    return JpegFrameLimits::within_cap(int(info.image_width), int(info.image_height));
}

void choose_scale(jpeg_decompress_struct &info, QSize wanted)
{
    info.scale_num = 1;
    info.scale_denom = 1;
    if (wanted.isEmpty())
        return;
    for (unsigned denom = 8; denom > 1; denom /= 2) {
        if (info.image_width / denom >= unsigned(wanted.width()) && info.image_height / denom >= unsigned(wanted.height())) {
            info.scale_denom = denom;
            return;
        }
    }
}

QImage::Format output_format(jpeg_decompress_struct &info)
{
    switch (info.jpeg_color_space) {
    case JCS_GRAYSCALE:
        info.out_color_space = JCS_GRAYSCALE;
        return QImage::Format_Grayscale8;
    case JCS_CMYK:
    case JCS_YCCK:
        info.out_color_space = JCS_CMYK;
        return QImage::Format_RGB32;
    default:
        info.out_color_space = JCS_EXT_BGRX;
        return QImage::Format_RGB32;
    }
}

// Adobe writes CMYK inverted; this is what image viewers show for it.
void cmyk_to_rgb(uchar *line, int width)
{
    auto *out = reinterpret_cast<QRgb *>(line);
    for (int x = 0; x < width; ++x) {
        const int c = line[4 * x], m = line[4 * x + 1], y = line[4 * x + 2], k = line[4 * x + 3];
        out[x] = qRgb(c * k / 255, m * k / 255, y * k / 255);
    }
}

void prepare(jpeg_decompress_struct &info, ErrorManager &errors, const QByteArray &jpeg, qint64 memory_limit,
             const JpegDecodeCheck::Interrupt &interrupted)
{
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = on_error;
    errors.base.emit_message = on_message;
    errors.data = reinterpret_cast<const uchar *>(jpeg.constData());
    errors.interrupted = &interrupted;
    errors.progress.progress_monitor = on_progress;
    jpeg_create_decompress(&info);
    errors.coefficients.attach(info);
    info.mem->max_memory_to_use = long(memory_limit);
    info.progress = &errors.progress;
    jpeg_mem_src(&info, errors.data, static_cast<unsigned long>(jpeg.size()));
}

// Bytes a few wrong bits can leave over at the end of a damaged stream's
// data. Bytes of another file between a photo's pieces are left over too,
// a sector or more of them: the decoder falls back into step after them and
// ends where the photo's own data would have. In a progressive scan a few
// wrong bits can read runs of empty blocks and leave more over.
constexpr qint64 leftover_bytes = 64;
constexpr qint64 leftover_bytes_progressive = 384;

// Every coefficient of every component refined down to its last bit.
bool progression_complete(const jpeg_decompress_struct &info)
{
    if (!info.progressive_mode || !info.coef_bits)
        return true;
    for (int c = 0; c < info.num_components; ++c)
        for (int k = 0; k < DCTSIZE2; ++k)
            if (info.coef_bits[c][k] != 0)
                return false;
    return true;
}

} // namespace

JpegDecodeCheck::Coefficients JpegDecodeCheck::read_coefficients(const QByteArray &jpeg, const Interrupt &interrupted,
                                                                 qint64 memory_limit, bool stop_at_fault)
{
    Coefficients result;
    if (jpeg.isEmpty())
        return result;
    jpeg_decompress_struct info{};
    ErrorManager errors;
    errors.stop_at_fault = stop_at_fault;
    prepare(info, errors, jpeg, memory_limit, interrupted);
    if (setjmp(errors.fatal) == 0) {
        jpeg_read_header(&info, TRUE);
        if (!within_cap(info)) {
            errors.over_budget = true;
        } else if (jpeg_read_coefficients(&info)) {
            result.clean = errors.first_fault < 0;
            result.complete = progression_complete(info);
            if (result.clean)
                result.end_position = consumed(&info, errors.data);
        }
    }
    jpeg_destroy_decompress(&info);
    result.over_budget = errors.over_budget || is_out_of_memory(errors.fatal_code);
    result.interrupted = errors.was_interrupted;
    if (result.over_budget || result.interrupted)
        result.clean = false;
    if (errors.first_fault >= 0) {
        result.clean = false;
        result.end_position = -1;
        result.fault_position = errors.first_fault;
        result.ran_out = errors.fault_code == JWRN_JPEG_EOF;
    }
    return result;
}

JpegDecodeCheck::Result JpegDecodeCheck::check(const QByteArray &jpeg, QSize thumbnail_size, qint64 memory_limit,
                                               const Interrupt &interrupted, Qt::TransformationMode scaling)
{
    Result result;
    if (jpeg.isEmpty())
        return result;

    jpeg_decompress_struct info{};
    ErrorManager errors;
    prepare(info, errors, jpeg, memory_limit, interrupted);

    QImage &image = errors.image;
    int &mcu_row_height = errors.mcu_row_height;
    std::vector<uchar> &cmyk_line = errors.cmyk_line;
    if (setjmp(errors.fatal) == 0) {
        jpeg_read_header(&info, TRUE);
        if (!within_cap(info)) {
            errors.over_budget = true;
            std::longjmp(errors.fatal, 1);
        }
        choose_scale(info, thumbnail_size);
        const QImage::Format format = output_format(info);
        info.dct_method = JDCT_IFAST;
        info.do_fancy_upsampling = FALSE;
        jpeg_calc_output_dimensions(&info);
        mcu_row_height = qMax(1, info.max_v_samp_factor * info.min_DCT_scaled_size);
        result.mcu_rows = int((info.output_height + mcu_row_height - 1) / mcu_row_height);
        // The picture made counts against the same limit as libjpeg's own memory.
        if (qint64(info.output_width) * info.output_height * 4 > memory_limit) {
            errors.over_budget = true;
            std::longjmp(errors.fatal, 1);
        }
        image = QImage(int(info.output_width), int(info.output_height), format);
        if (image.isNull())
            std::longjmp(errors.fatal, 1);
        cmyk_line.resize(info.out_color_space == JCS_CMYK ? size_t(info.output_width) * 4 : 0);

        jpeg_start_decompress(&info);
        while (info.output_scanline < info.output_height) {
            uchar *line = cmyk_line.empty() ? image.scanLine(int(info.output_scanline)) : cmyk_line.data();
            const int row = int(info.output_scanline);
            if (jpeg_read_scanlines(&info, &line, 1) != 1)
                break;
            if (!cmyk_line.empty()) {
                cmyk_to_rgb(line, int(info.output_width));
                std::memcpy(image.scanLine(row), line, size_t(info.output_width) * 4);
            }
            errors.rows_done = int(info.output_scanline) / mcu_row_height;
        }
        // A photo of several scans is read whole before its first row is
        // made: its data ended too soon when a scan left coefficients unrefined.
        const bool several_scans = jpeg_has_multiple_scans(&info);
        const bool progression_whole = progression_complete(info);
        const bool all_rows = info.output_scanline == info.output_height;
        jpeg_finish_decompress(&info);
        result.clean = errors.first_fault < 0;
        const bool ended_in_time = several_scans ? progression_whole
                                                 : errors.early_marker_row < 0
                                                       || errors.early_marker_row >= result.mcu_rows - 1;
        result.reached_frame_end = all_rows && !errors.ran_out && !errors.out_of_sequence && ended_in_time
            && errors.extraneous_bytes <= (several_scans ? leftover_bytes_progressive : leftover_bytes);
    }
    jpeg_destroy_decompress(&info);
    result.over_budget = errors.over_budget || is_out_of_memory(errors.fatal_code);
    result.interrupted = errors.was_interrupted;
    if (result.over_budget || result.interrupted) {
        result.clean = false;
        result.thumbnail = QImage();
        return result;
    }
    // Rows the decoder never reached show grey, as viewers show a photo cut short.
    if (!image.isNull() && int(info.output_scanline) < image.height()) {
        const QRgb grey = qRgb(128, 128, 128);
        for (int y = int(info.output_scanline); y < image.height(); ++y) {
            if (image.format() == QImage::Format_Grayscale8)
                std::memset(image.scanLine(y), 128, size_t(image.bytesPerLine()));
            else
                std::fill_n(reinterpret_cast<QRgb *>(image.scanLine(y)), image.width(), grey);
        }
    }

    if (errors.first_fault >= 0) {
        result.clean = false;
        result.fault_position = errors.first_fault;
        result.rows_before_fault = errors.rows_at_fault;
    } else if (result.clean) {
        result.rows_before_fault = result.mcu_rows;
    }
    if (image.isNull() || result.mcu_rows == 0)
        return result;
    if (!thumbnail_size.isEmpty()) {
        result.thumbnail = image.size() == thumbnail_size
            ? image
            : image.scaled(thumbnail_size, Qt::IgnoreAspectRatio, scaling);
        if (result.thumbnail.format() != QImage::Format_RGB32)
            result.thumbnail = result.thumbnail.convertToFormat(QImage::Format_RGB32);
    }
    return result;
}

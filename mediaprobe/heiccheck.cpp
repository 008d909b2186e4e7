#include "heiccheck.h"

#include "mediaprobeprotocol.h"

#include <libheif/heif.h>

#include <memory>

namespace {

constexpr int largest_side = 16384;

struct FileCursor
{
    int64_t length = 0;
    int64_t position = 0;
};

int64_t get_position(void *userdata)
{
    return static_cast<FileCursor *>(userdata)->position;
}

int read_bytes(void *data, size_t size, void *userdata)
{
    auto *cursor = static_cast<FileCursor *>(userdata);
    auto *into = static_cast<char *>(data);
    while (size > 0) {
        if (cursor->position >= cursor->length)
            return 1;
        const int64_t got = probe_channel::read_file(cursor->position, into, int64_t(size));
        if (got <= 0)
            return 1;
        cursor->position += got;
        into += got;
        size -= size_t(got);
    }
    return 0;
}

int seek_to(int64_t position, void *userdata)
{
    auto *cursor = static_cast<FileCursor *>(userdata);
    if (position < 0 || position > cursor->length)
        return 1;
    cursor->position = position;
    return 0;
}

heif_reader_grow_status wait_for_size(int64_t target_size, void *userdata)
{
    return target_size > static_cast<FileCursor *>(userdata)->length ? heif_reader_grow_status_size_beyond_eof
                                                                      : heif_reader_grow_status_size_reached;
}

struct ContextDeleter
{
    void operator()(heif_context *context) const { heif_context_free(context); }
};
struct HandleDeleter
{
    void operator()(heif_image_handle *handle) const { heif_image_handle_release(handle); }
};
struct ImageDeleter
{
    void operator()(heif_image *image) const { heif_image_release(image); }
};

struct OptionsDeleter
{
    void operator()(heif_decoding_options *options) const { heif_decoding_options_free(options); }
};

ProbeAnswer refuse(ProbeAnswer answer, const heif_error &error)
{
    answer.sound = false;
    answer.why = error.message ? error.message : "libheif refused the file";
    return answer;
}

// Every thumbnail pixel is the mean of the picture's pixels it covers.
void make_thumbnail(const uint8_t *pixels, int stride, int width, int height, int side, ProbeAnswer &answer)
{
    int thumb_width = 0;
    int thumb_height = 0;
    probe_channel::fit(width, height, side, &thumb_width, &thumb_height);
    answer.rgb.assign(size_t(thumb_width) * size_t(thumb_height) * 3, 0);
    for (int ty = 0; ty < thumb_height; ++ty) {
        const int y0 = int(int64_t(ty) * height / thumb_height);
        const int y1 = std::max(y0 + 1, int(int64_t(ty + 1) * height / thumb_height));
        for (int tx = 0; tx < thumb_width; ++tx) {
            const int x0 = int(int64_t(tx) * width / thumb_width);
            const int x1 = std::max(x0 + 1, int(int64_t(tx + 1) * width / thumb_width));
            uint64_t sums[3] = {};
            for (int y = y0; y < y1; ++y) {
                const uint8_t *row = pixels + int64_t(y) * stride;
                for (int x = x0; x < x1; ++x) {
                    for (int c = 0; c < 3; ++c)
                        sums[c] += row[x * 3 + c];
                }
            }
            const uint64_t count = uint64_t(y1 - y0) * uint64_t(x1 - x0);
            for (int c = 0; c < 3; ++c)
                answer.rgb[(size_t(ty) * thumb_width + tx) * 3 + c] = uint8_t(sums[c] / count);
        }
    }
    answer.thumbnail_width = thumb_width;
    answer.thumbnail_height = thumb_height;
}

// The photo's first EXIF block, from its TIFF header on: the block starts
// with the offset of that header.
std::vector<uint8_t> exif_of(const heif_image_handle *handle)
{
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) != 1)
        return {};
    const size_t size = heif_image_handle_get_metadata_size(handle, id);
    if (size < 4 || size > 4 + media_probe_protocol::largest_exif + 1024)
        return {};
    std::vector<uint8_t> block(size);
    if (heif_image_handle_get_metadata(handle, id, block.data()).code != heif_error_Ok)
        return {};
    const uint64_t skip = 4 + (uint64_t(block[0]) << 24 | uint64_t(block[1]) << 16 | uint64_t(block[2]) << 8 | block[3]);
    if (skip >= size || size - skip > media_probe_protocol::largest_exif)
        return {};
    return std::vector<uint8_t>(block.begin() + std::ptrdiff_t(skip), block.end());
}

// True when the photo has an EXIF block that does not lead to a TIFF header:
// its bytes are not the photo's (a piece of another file in their place).
bool exif_damaged(const heif_image_handle *handle)
{
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) != 1)
        return false;
    const size_t size = heif_image_handle_get_metadata_size(handle, id);
    if (size > 4 + media_probe_protocol::largest_exif + 1024)
        return false;
    std::vector<uint8_t> block(size);
    if (size < 8 || heif_image_handle_get_metadata(handle, id, block.data()).code != heif_error_Ok)
        return true;
    const uint64_t skip = 4 + (uint64_t(block[0]) << 24 | uint64_t(block[1]) << 16 | uint64_t(block[2]) << 8 | block[3]);
    if (skip + 4 > size)
        return true;
    const uint8_t *tiff = block.data() + skip;
    const bool intel = tiff[0] == 'I' && tiff[1] == 'I' && tiff[2] == 42 && tiff[3] == 0;
    const bool motorola = tiff[0] == 'M' && tiff[1] == 'M' && tiff[2] == 0 && tiff[3] == 42;
    return !intel && !motorola;
}

} // namespace

ProbeAnswer check_heic(int64_t length, int thumbnail_side)
{
    ProbeAnswer answer;
    answer.format = "heif";
    FileCursor cursor{length, 0};
    heif_reader reader{};
    reader.reader_api_version = 1;
    reader.get_position = get_position;
    reader.read = read_bytes;
    reader.seek = seek_to;
    reader.wait_for_file_size = wait_for_size;

    std::unique_ptr<heif_context, ContextDeleter> context(heif_context_alloc());
    heif_context_set_maximum_image_size_limit(context.get(), largest_side);
    heif_error error = heif_context_read_from_reader(context.get(), &reader, &cursor, nullptr);
    if (error.code != heif_error_Ok)
        return refuse(answer, error);
    heif_image_handle *primary = nullptr;
    error = heif_context_get_primary_image_handle(context.get(), &primary);
    if (error.code != heif_error_Ok)
        return refuse(answer, error);
    std::unique_ptr<heif_image_handle, HandleDeleter> handle(primary);
    heif_image *decoded = nullptr;
    // Data the decoder finds corrupt fails the check, as a video frame marked
    // corrupt does: a photo put together from the wrong pieces decodes with
    // warnings otherwise.
    std::unique_ptr<heif_decoding_options, OptionsDeleter> options(heif_decoding_options_alloc());
    options->strict_decoding = 1;
    error = heif_decode_image(handle.get(), &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGB, options.get());
    if (error.code != heif_error_Ok)
        return refuse(answer, error);
    std::unique_ptr<heif_image, ImageDeleter> image(decoded);
    if (heif_image_get_decoding_warnings(image.get(), 0, nullptr, 0) > 0) {
        answer.why = "the primary image's data is corrupt";
        return answer;
    }
    answer.width = heif_image_get_width(image.get(), heif_channel_interleaved);
    answer.height = heif_image_get_height(image.get(), heif_channel_interleaved);
    int stride = 0;
    const uint8_t *pixels = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    if (!pixels || answer.width <= 0 || answer.height <= 0) {
        answer.why = "the primary image has no pixels";
        return answer;
    }
    make_thumbnail(pixels, stride, answer.width, answer.height, thumbnail_side, answer);
    if (exif_damaged(handle.get())) {
        answer.why = "the photo's EXIF block is damaged";
        return answer;
    }
    answer.exif = exif_of(handle.get());
    answer.sound = true;
    return answer;
}

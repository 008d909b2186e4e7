#include "videocheck.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <memory>

namespace {

constexpr int io_buffer_size = 64 * 1024;
// Packets read before the first video frame must have come.
constexpr int most_packets = 2000;
constexpr int most_streams = 64;
constexpr int64_t largest_frame_pixels = 8192LL * 8192;

struct FileCursor
{
    int64_t length = 0;
    int64_t position = 0;
};

int read_packet(void *opaque, uint8_t *buffer, int size)
{
    auto *cursor = static_cast<FileCursor *>(opaque);
    if (cursor->position >= cursor->length)
        return AVERROR_EOF;
    const int64_t want = std::min<int64_t>(size, cursor->length - cursor->position);
    const int64_t got = probe_channel::read_file(cursor->position, buffer, want);
    if (got < 0)
        return AVERROR(EIO);
    if (got == 0)
        return AVERROR_EOF;
    cursor->position += got;
    return int(got);
}

int64_t seek(void *opaque, int64_t offset, int whence)
{
    auto *cursor = static_cast<FileCursor *>(opaque);
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
        return cursor->length;
    case SEEK_SET:
        break;
    case SEEK_CUR:
        offset += cursor->position;
        break;
    case SEEK_END:
        offset += cursor->length;
        break;
    default:
        return -1;
    }
    if (offset < 0 || offset > cursor->length)
        return -1;
    cursor->position = offset;
    return offset;
}

struct IoDeleter
{
    void operator()(AVIOContext *io) const
    {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct FormatDeleter
{
    void operator()(AVFormatContext *format) const { avformat_close_input(&format); }
};
struct CodecDeleter
{
    void operator()(AVCodecContext *codec) const { avcodec_free_context(&codec); }
};
struct FrameDeleter
{
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
struct PacketDeleter
{
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};

ProbeAnswer refuse(ProbeAnswer answer, const char *why)
{
    answer.sound = false;
    answer.why = why;
    return answer;
}

void make_thumbnail(const AVFrame *frame, int side, ProbeAnswer &answer)
{
    int width = 0;
    int height = 0;
    probe_channel::fit(frame->width, frame->height, side, &width, &height);
    SwsContext *scaler = sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), width, height,
                                        AV_PIX_FMT_RGB24, SWS_AREA, nullptr, nullptr, nullptr);
    if (!scaler)
        return;
    answer.rgb.assign(size_t(width) * size_t(height) * 3, 0);
    uint8_t *planes[4] = {answer.rgb.data(), nullptr, nullptr, nullptr};
    int strides[4] = {width * 3, 0, 0, 0};
    if (sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, planes, strides) == height) {
        answer.thumbnail_width = width;
        answer.thumbnail_height = height;
    } else {
        answer.rgb.clear();
    }
    sws_freeContext(scaler);
}

// Reads packets until the video stream gives its first whole frame.
std::unique_ptr<AVFrame, FrameDeleter> first_frame(AVFormatContext *format, int stream, AVCodecContext *decoder)
{
    std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    if (!packet || !frame)
        return nullptr;
    bool draining = false;
    for (int packets = 0; packets < most_packets; ++packets) {
        if (!draining) {
            const int read = av_read_frame(format, packet.get());
            if (read < 0) {
                draining = true;
                avcodec_send_packet(decoder, nullptr);
            } else if (packet->stream_index == stream) {
                const int sent = avcodec_send_packet(decoder, packet.get());
                av_packet_unref(packet.get());
                if (sent < 0 && sent != AVERROR(EAGAIN))
                    return nullptr;
            } else {
                av_packet_unref(packet.get());
                continue;
            }
        }
        const int received = avcodec_receive_frame(decoder, frame.get());
        if (received == 0) {
            const bool whole = frame->decode_error_flags == 0 && !(frame->flags & AV_FRAME_FLAG_CORRUPT);
            return whole ? std::move(frame) : nullptr;
        }
        if (received != AVERROR(EAGAIN))
            return nullptr;
    }
    return nullptr;
}

} // namespace

ProbeAnswer check_video(int64_t length, int thumbnail_side)
{
    ProbeAnswer answer;
    FileCursor cursor{length, 0};
    auto *buffer = static_cast<uint8_t *>(av_malloc(io_buffer_size));
    if (!buffer)
        return refuse(answer, "out of memory");
    std::unique_ptr<AVIOContext, IoDeleter> io(
        avio_alloc_context(buffer, io_buffer_size, 0, &cursor, read_packet, nullptr, seek));
    if (!io) {
        av_free(buffer);
        return refuse(answer, "out of memory");
    }
    AVFormatContext *opened = avformat_alloc_context();
    if (!opened)
        return refuse(answer, "out of memory");
    opened->pb = io.get();
    opened->flags |= AVFMT_FLAG_CUSTOM_IO;
    opened->max_streams = most_streams;
    opened->format_whitelist = av_strdup("mov,avi");
    if (avformat_open_input(&opened, nullptr, nullptr, nullptr) < 0)
        return refuse(answer, "not a movie FFmpeg can open (no index?)");
    std::unique_ptr<AVFormatContext, FormatDeleter> format(opened);
    answer.format = format->iformat->name;
    if (format->duration != AV_NOPTS_VALUE && format->duration > 0)
        answer.duration_ms = format->duration / 1000;
    if (const AVDictionaryEntry *created = av_dict_get(format->metadata, "creation_time", nullptr, 0))
        answer.created = created->value;

    const int stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream < 0)
        return refuse(answer, "no video stream");
    AVStream *video = format->streams[stream];
    if (avformat_index_get_entries_count(video) <= 0)
        return refuse(answer, "the video stream has no index");
    if (answer.duration_ms < 0 && video->duration > 0 && video->duration != AV_NOPTS_VALUE)
        answer.duration_ms = av_rescale_q(video->duration, video->time_base, AVRational{1, 1000});
    const AVCodecParameters *parameters = video->codecpar;
    if (parameters->width <= 0 || parameters->height <= 0
        || int64_t(parameters->width) * parameters->height > largest_frame_pixels)
        return refuse(answer, "no frame size, or a frame too large");
    answer.width = parameters->width;
    answer.height = parameters->height;
    const AVCodec *codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec)
        return refuse(answer, "no decoder for the video");
    answer.format += std::string(" ") + codec->name;
    std::unique_ptr<AVCodecContext, CodecDeleter> decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), parameters) < 0)
        return refuse(answer, "out of memory");
    decoder->thread_count = 1;
    decoder->max_pixels = largest_frame_pixels;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0)
        return refuse(answer, "the decoder refused the stream");
    auto frame = first_frame(format.get(), stream, decoder.get());
    if (!frame)
        return refuse(answer, "the first frame does not decode");
    answer.width = frame->width;
    answer.height = frame->height;
    make_thumbnail(frame.get(), thumbnail_side, answer);
    answer.sound = true;
    return answer;
}

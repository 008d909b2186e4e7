#pragma once

#include <cstdint>

// The messages between MediaProbe and velvora-media-probe, the helper that
// checks videos and HEIC photos with FFmpeg and libheif in a process of its
// own. Both ends are built together, so numbers travel in the machine's own
// byte order. The helper serves one check after another until its input ends.
//
// A check: the probe sends Check, uint8 kind (Kind), int64 length of the
// file, int32 largest side of the thumbnail. While checking, the helper asks
// for the file's bytes with Read; at the end it sends Answer. Preview is
// the same request for the larger view's picture: its side may be up to
// largest_preview.
namespace media_probe_protocol {

enum Tag : char {
    Check = 'C',
    Preview = 'P',
    // int64 offset in the file, int64 count: the helper asks for bytes. The
    // probe answers with an int64 count (-1 when they cannot be read, 0 past
    // the file's end) and that many bytes.
    Read = 'R',
    // uint8 sound (1 when the file checks out), int64 duration in ms (-1 for
    // none), int32 width, int32 height, string format, string why it does
    // not check out, int32 thumbnail width and height, then width x height x 3
    // bytes of RGB, string creation time (ISO 8601, empty when unknown),
    // uint32 count and that many bytes of EXIF data from its TIFF header on.
    // Strings are a uint32 byte count and UTF-8 bytes.
    Answer = 'A',
};

enum Kind : uint8_t {
    Video = 0, // MP4, MOV, 3GP, AVI: a video stream and its first frame
    Image = 1, // HEIC: the primary image
};

constexpr uint32_t longest_string = 1024;
constexpr int32_t largest_thumbnail = 512;
constexpr int32_t largest_preview = 2560;
constexpr int64_t largest_read = 4 * 1024 * 1024;
constexpr uint32_t largest_exif = 64 * 1024;

} // namespace media_probe_protocol

#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <array>

// One marker of a JPEG stream: its code, where its FF stands and where its
// payload lies (after the length field; empty for a marker without one).
struct JpegMarker
{
    uchar code = 0;
    qint64 offset = 0;         // the FF before the code (the last one, after fill bytes)
    qint64 payload = 0;        // the payload's first byte
    qint64 payload_length = 0; // 0 for a marker without a length, and for an empty segment
    // The byte after the marker and its payload: where the next marker, or
    // entropy-coded data, begins.
    qint64 end() const { return payload + payload_length; }
};

// Reads the markers of a JPEG stream one at a time, as strictly as libjpeg
// reads them. The one policy of every part that follows a stream's markers:
// - Any number of fill bytes FF may stand before a marker's code.
// - RST0 to RST7, TEM, SOI and EOI stand alone: no length follows them.
// - A start of image stands only at the stream's first byte; another one
//   inside the stream is a fault (libjpeg refuses a second one: another
//   image begins there).
// - Every other marker has a big-endian length that counts itself: 2 is an
//   empty segment and legal. 0 and 1 are faults, except where libjpeg only
//   steps over the segment (APPn, COM, DNL): it reads them as an empty
//   segment and goes on after the length field, and so does this reader.
// - FF 00, or any byte other than FF, where a marker must stand is a fault.
// - Codes libjpeg knows no meaning for (JPG, JPGn, DHP, EXP, the reserved
//   02 to BF) are faults: libjpeg ends the stream there.
// - DNL is a segment like any other; a frame whose height only a DNL gives
//   (height 0) is refused by the frame-header parser, as libjpeg refuses it.
// The stream's bytes are data[0, size), its start of image at 0. The reader
// never reads outside them and holds nothing, so it is cheap to make.
class JpegMarkerReader
{
public:
    enum class Read { Marker, NeedData, Fault };
    enum class Fault {
        NotAMarker,  // a byte other than FF, or FF 00, where a marker must stand
        SecondStart, // a start of image after the stream's first byte
        BadLength,   // a length field below 2 on a segment libjpeg reads
        Unknown,     // a code libjpeg refuses
    };

    JpegMarkerReader(const uchar *data, qint64 size, qint64 from = 0);
    explicit JpegMarkerReader(const QByteArray &stream, qint64 from = 0);

    // The next marker, its payload held whole unless payload_needed is false
    // (the payload may then run past the bytes). On NeedData the reader stays
    // where it was; on Fault position() is where the fault lies.
    Read next(bool payload_needed = true);
    const JpegMarker &marker() const { return current; }
    Fault fault() const { return why; }
    // Where the next marker is looked for: past the last one read.
    qint64 position() const { return at; }
    const uchar *payload() const { return data + current.payload; }

    // The marker at at, its payload not needed. On Marker, at is moved past
    // the marker and its payload (possibly past size); on NeedData, past the
    // fill bytes read, so a caller waiting for more bytes never reads them
    // again; on Fault, onto the byte where the fault lies (the marker's FF,
    // or the byte that is no FF), which is also how far the stream is sound.
    static Read read_marker(const uchar *data, qint64 size, qint64 &at, JpegMarker &marker, Fault *fault = nullptr);

    static bool stands_alone(uchar code) { return (code >= 0xD0 && code <= 0xD9) || code == 0x01; }
    static bool is_restart(uchar code) { return code >= 0xD0 && code <= 0xD7; }
    // Segments that may stand between the scans of a progressive or
    // multi-scan photo: tables, restart interval, scan headers, comments,
    // application data and DNL.
    static bool stands_between_scans(uchar code)
    {
        return code == dht || code == dac || code == dqt || code == dri || code == sos || code == com || code == dnl
            || (code >= 0xE0 && code <= 0xEF);
    }
    // A start-of-frame code, whatever its coding process.
    static bool is_frame(uchar code) { return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC; }

    static constexpr uchar soi = 0xD8, eoi = 0xD9, sos = 0xDA, dht = 0xC4, dac = 0xCC, dqt = 0xDB, dri = 0xDD, dnl = 0xDC,
                           app1 = 0xE1, com = 0xFE;

private:
    const uchar *data;
    qint64 size;
    qint64 at;
    JpegMarker current;
    Fault why = Fault::NotAMarker;
};

// A frame header (SOFn) read from its payload, refused where libjpeg
// refuses it: a coding process it does not decode (lossless, hierarchical),
// a precision other than 8 bits, a length that does not match the
// component count, an empty or larger than 65500 side, a sampling factor
// outside 1 to 4. One to four components: the photos a decoder shows
// (grey, YCbCr, CMYK and YCCK).
struct JpegFrameHeader
{
    struct Component
    {
        int id = 0;
        int h = 1;
        int v = 1;
    };
    static constexpr int max_side = 65500;

    uchar code = 0;
    int width = 0;
    int height = 0;
    int component_count = 0;
    std::array<Component, 4> components{};

    // False, with the header left invalid, when libjpeg would refuse it.
    bool parse(uchar frame_code, const uchar *payload, qint64 length);
    bool valid() const { return component_count > 0; }
    bool progressive() const { return code == 0xC2 || code == 0xCA; }
    bool arithmetic() const { return code == 0xC9 || code == 0xCA; }
    // Baseline or extended sequential Huffman coding.
    bool sequential_huffman() const { return code == 0xC0 || code == 0xC1; }
    int h_max() const;
    int v_max() const;
    // 8x8 blocks of all components, each subsampled against the largest factors.
    qint64 blocks() const;
};

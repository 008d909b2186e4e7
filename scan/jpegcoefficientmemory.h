#pragma once

#include "alignedbuffer.h"

#include <QtGlobal>

#include <cstdio>
#include <optional>
#include <jpeglib.h>

// Holds the whole-image coefficient arrays of one decode (a progressive
// photo keeps every coefficient until its last scan) in a buffer that
// outlives the decode: the next decode on any thread takes a kept buffer
// that fits instead of mapping fresh memory and faulting it in page by page.
// The buffers kept, together with those in use, stay within retained_limit;
// past it a freed buffer goes back to the system.
//
// One lives beside each decompressor: attached right after
// jpeg_create_decompress, destroyed after jpeg_destroy_decompress. The
// arrays respect the decompressor's max_memory_to_use as libjpeg's own do.
class JpegCoefficientMemory
{
public:
    static constexpr qint64 retained_limit = 48 * 1024 * 1024;
    // Smaller arrays come from the heap, which keeps such blocks anyway.
    static constexpr qint64 pooled_from = 1024 * 1024;

    JpegCoefficientMemory() = default;
    ~JpegCoefficientMemory();
    Q_DISABLE_COPY(JpegCoefficientMemory)

    // Makes info's whole-image coefficient arrays come from here.
    void attach(jpeg_decompress_struct &info);

    // Bytes of all pooled buffers, in use or kept for the next decode.
    static qint64 held_bytes();
    // Gives every kept buffer back to the system.
    static void release_kept();

private:
    static JpegCoefficientMemory *of(j_common_ptr info);
    static jvirt_barray_ptr request(j_common_ptr info, int pool_id, boolean pre_zero, JDIMENSION blocks_per_row,
                                    JDIMENSION rows, JDIMENSION max_access);
    static void realize(j_common_ptr info);
    static JBLOCKARRAY access(j_common_ptr info, jvirt_barray_ptr array, JDIMENSION start_row, JDIMENSION rows,
                              boolean writable);
    void lay_out(j_common_ptr info);

    jvirt_barray_ptr arrays = nullptr; // in libjpeg's image pool, freed with it
    std::optional<AlignedBuffer> buffer; // every array of the decode, one after another
    bool pooled = false;
    void (*realize_others)(j_common_ptr) = nullptr;
};

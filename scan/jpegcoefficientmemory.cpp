#include "jpegcoefficientmemory.h"

#include <jerror.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

// libjpeg leaves this type to its memory manager; these arrays are ours.
struct jvirt_barray_control
{
    JBLOCKARRAY rows = nullptr;
    JDIMENSION rows_in_array = 0;
    JDIMENSION blocks_per_row = 0;
    JDIMENSION max_access = 0;
    JDIMENSION first_undefined_row = 0; // rows below it were written
    bool pre_zero = false;
    jvirt_barray_control *next = nullptr;
};

namespace {

constexpr qint64 alignment = 64; // rows of blocks start where vector loads like them

qint64 aligned(qint64 bytes)
{
    return (bytes + alignment - 1) / alignment * alignment;
}

// The buffers of all decoders: those in use and those kept for the next one.
// Large pages: a buffer the system maps afresh faults in 2 MiB at a time.
class CoefficientPool
{
public:
    ~CoefficientPool() { release_kept(); }

    // A buffer of at least size bytes; pooled when it is counted here.
    AlignedBuffer take(qint64 size, bool *pooled)
    {
        *pooled = false;
        if (size < JpegCoefficientMemory::pooled_from)
            return AlignedBuffer(size);
        {
            const std::lock_guard<std::mutex> lock(mutex);
            // The smallest kept buffer that fits, unless it is far larger:
            // a small photo does not take the buffer a large one needs next.
            auto best = kept.end();
            for (auto it = kept.begin(); it != kept.end(); ++it)
                if (it->size() >= size && it->size() <= 2 * size && (best == kept.end() || it->size() < best->size()))
                    best = it;
            if (best != kept.end()) {
                AlignedBuffer buffer = std::move(*best);
                kept.erase(best);
                *pooled = true;
                return buffer;
            }
            std::sort(kept.begin(), kept.end(), [](const AlignedBuffer &a, const AlignedBuffer &b) {
                return a.size() > b.size();
            });
            while (!kept.empty() && held + size > JpegCoefficientMemory::retained_limit) {
                held -= kept.back().size();
                kept.pop_back();
            }
            if (held + size <= JpegCoefficientMemory::retained_limit) {
                held += size;
                *pooled = true;
            }
        }
        AlignedBuffer buffer(size, AlignedBuffer::Pages::Large);
        if (!buffer && *pooled) {
            const std::lock_guard<std::mutex> lock(mutex);
            held -= size;
            *pooled = false;
        }
        return buffer;
    }

    void give_back(AlignedBuffer buffer, bool pooled)
    {
        if (!buffer || !pooled)
            return;
        const std::lock_guard<std::mutex> lock(mutex);
        kept.push_back(std::move(buffer));
    }

    qint64 held_bytes()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return held;
    }

    void release_kept()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        for (const AlignedBuffer &one : kept)
            held -= one.size();
        kept.clear();
    }

private:
    std::mutex mutex;
    std::vector<AlignedBuffer> kept;
    qint64 held = 0; // kept and in use, pooled ones only
};

CoefficientPool &pool()
{
    static CoefficientPool the_pool;
    return the_pool;
}

qint64 array_bytes(const jvirt_barray_control &array)
{
    return aligned(qint64(array.rows_in_array) * array.blocks_per_row * qint64(sizeof(JBLOCK)));
}

} // namespace

JpegCoefficientMemory::~JpegCoefficientMemory()
{
    if (buffer)
        pool().give_back(std::move(*buffer), pooled);
}

void JpegCoefficientMemory::attach(jpeg_decompress_struct &info)
{
    info.client_data = this;
    realize_others = info.mem->realize_virt_arrays;
    info.mem->request_virt_barray = request;
    info.mem->realize_virt_arrays = realize;
    info.mem->access_virt_barray = access;
}

qint64 JpegCoefficientMemory::held_bytes()
{
    return pool().held_bytes();
}

void JpegCoefficientMemory::release_kept()
{
    pool().release_kept();
}

JpegCoefficientMemory *JpegCoefficientMemory::of(j_common_ptr info)
{
    return static_cast<JpegCoefficientMemory *>(info->client_data);
}

jvirt_barray_ptr JpegCoefficientMemory::request(j_common_ptr info, int pool_id, boolean pre_zero,
                                                JDIMENSION blocks_per_row, JDIMENSION rows, JDIMENSION max_access)
{
    if (pool_id != JPOOL_IMAGE)
        ERREXIT1(info, JERR_BAD_POOL_ID, pool_id);
    auto *array = static_cast<jvirt_barray_control *>(
        (*info->mem->alloc_small)(info, JPOOL_IMAGE, sizeof(jvirt_barray_control)));
    *array = jvirt_barray_control{};
    array->rows_in_array = rows;
    array->blocks_per_row = blocks_per_row;
    array->max_access = max_access;
    array->pre_zero = pre_zero != FALSE;
    JpegCoefficientMemory *memory = of(info);
    array->next = memory->arrays;
    memory->arrays = array;
    return array;
}

void JpegCoefficientMemory::realize(j_common_ptr info)
{
    JpegCoefficientMemory *memory = of(info);
    memory->realize_others(info);
    memory->lay_out(info);
}

// One buffer for every array, each row a slice of it. With no backing store
// an array that does not fit the limit fails the decode, as libjpeg's do.
void JpegCoefficientMemory::lay_out(j_common_ptr info)
{
    if (buffer)
        ERREXIT(info, JERR_VIRTUAL_BUG); // realized twice
    qint64 total = 0;
    for (jvirt_barray_control *array = arrays; array; array = array->next)
        total += array_bytes(*array);
    if (total == 0)
        return;
    if (info->mem->max_memory_to_use > 0 && total > info->mem->max_memory_to_use)
        ERREXIT(info, JERR_NO_BACKING_STORE);
    buffer.emplace(pool().take(total, &pooled));
    if (!*buffer)
        ERREXIT1(info, JERR_OUT_OF_MEMORY, 4);
    char *next = buffer->data();
    for (jvirt_barray_control *array = arrays; array; array = array->next) {
        array->rows = static_cast<JBLOCKARRAY>(
            (*info->mem->alloc_small)(info, JPOOL_IMAGE, sizeof(JBLOCKROW) * std::max<JDIMENSION>(1, array->rows_in_array)));
        const size_t row_bytes = size_t(array->blocks_per_row) * sizeof(JBLOCK);
        for (JDIMENSION row = 0; row < array->rows_in_array; ++row)
            array->rows[row] = reinterpret_cast<JBLOCKROW>(next + row * row_bytes);
        next += array_bytes(*array);
    }
}

// A window of rows; rows never written before are zeroed when the array
// asks for it (a reader may look ahead of the writer into zeros only).
JBLOCKARRAY JpegCoefficientMemory::access(j_common_ptr info, jvirt_barray_ptr array, JDIMENSION start_row,
                                          JDIMENSION rows, boolean writable)
{
    const JDIMENSION end_row = start_row + rows;
    if (!array->rows || end_row > array->rows_in_array || end_row < start_row || rows > array->max_access)
        ERREXIT(info, JERR_BAD_VIRTUAL_ACCESS);
    if (array->first_undefined_row < end_row) {
        JDIMENSION undefined = array->first_undefined_row;
        if (undefined < start_row) {
            if (writable)
                ERREXIT(info, JERR_BAD_VIRTUAL_ACCESS); // a writer skipped rows
            undefined = start_row;
        }
        if (writable)
            array->first_undefined_row = end_row;
        if (!array->pre_zero && !writable)
            ERREXIT(info, JERR_BAD_VIRTUAL_ACCESS);
        if (array->pre_zero) {
            const size_t row_bytes = size_t(array->blocks_per_row) * sizeof(JBLOCK);
            for (JDIMENSION row = undefined; row < end_row; ++row)
                std::memset(array->rows[row], 0, row_bytes);
        }
    }
    return array->rows + start_row;
}

#pragma once

#include "volumeplatform.h"

#include <QtGlobal>

#include <cstdlib>
#include <memory>

// A large read buffer starting on a page boundary. The kernel copies into a
// page-aligned buffer several times faster than into one a few bytes off, and
// direct I/O needs it aligned to the device's logical block size.
class AlignedBuffer
{
public:
    static constexpr qint64 alignment = 4096;
    // Large pages suit a buffer the scan reads every block into; small ones
    // are what a plain copy (dd) gets.
    enum class Pages { Small, Large };

    // Empty (data() null) when the memory cannot be had.
    explicit AlignedBuffer(qint64 size, Pages pages = Pages::Small)
        : bytes(allocate(size, pages))
        , length(bytes ? size : 0)
    {
    }

    char *data() const { return bytes.get(); }
    qint64 size() const { return length; }
    explicit operator bool() const { return bytes != nullptr; }

private:
    struct Free {
        void operator()(char *p) const { std::free(p); }
    };
    static size_t rounded(qint64 size, qint64 to) { return size_t((qMax<qint64>(size, 1) + to - 1) / to * to); }
    static char *allocate(qint64 size, Pages pages)
    {
        const qint64 page = pages == Pages::Large ? volume_platform::large_page_size() : 0;
        const bool large = page > 0 && size >= page;
        const qint64 to = large ? page : alignment;
        const size_t bytes = rounded(size, to);
        char *data = static_cast<char *>(std::aligned_alloc(size_t(to), bytes));
        if (large)
            volume_platform::prefer_large_pages(data, qint64(bytes));
        return data;
    }

    std::unique_ptr<char, Free> bytes;
    qint64 length;
};

#pragma once

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

    // Empty (data() null) when the memory cannot be had.
    explicit AlignedBuffer(qint64 size)
        : bytes(static_cast<char *>(std::aligned_alloc(alignment, rounded(size))))
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
    static size_t rounded(qint64 size) { return size_t((qMax<qint64>(size, 1) + alignment - 1) / alignment * alignment); }

    std::unique_ptr<char, Free> bytes;
    qint64 length;
};

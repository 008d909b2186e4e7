#include "helperpipe.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

bool helper_pipe::take(void *buffer, size_t count)
{
    return std::fread(buffer, 1, count, stdin) == count;
}

void helper_pipe::put_bytes(const void *data, size_t count)
{
    if (count > 0) // an empty vector's data() may be null, which fwrite must not get
        std::fwrite(data, 1, count, stdout);
}

void helper_pipe::put_string(const std::string &text, uint32_t longest)
{
    const uint32_t size = uint32_t(std::min<size_t>(text.size(), longest));
    put(size);
    put_bytes(text.data(), size);
}

int64_t helper_pipe::ask_for_bytes(char read_tag, int64_t offset, void *buffer, int64_t count)
{
    put(read_tag);
    put(offset);
    put(count);
    std::fflush(stdout);
    int64_t got = -1;
    if (!take(&got, sizeof got) || got > count)
        std::_Exit(3); // the other side has gone or is confused: nothing more to do
    if (got > 0 && !take(buffer, size_t(got)))
        std::_Exit(3);
    return got;
}

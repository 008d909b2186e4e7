#include "fuzztarget.h"

#include <cstdio>
#include <cstdlib>

void fuzz::violated(const char *condition, const char *file, int line)
{
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}

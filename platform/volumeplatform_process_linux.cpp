#include "volumeplatform.h"

#include <QProcess>

#include <csignal>
#include <cstdio>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

// The process side of the platform: the terminal, signals, the heap,
// large pages, the address space and the limits of helper processes.
namespace volume_platform {

bool stderr_is_terminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

void end_process_now(int status)
{
    std::fflush(nullptr);
    ::_exit(status);
}

namespace {

volatile std::sig_atomic_t interrupt_seen = 0;

extern "C" void note_interrupt(int)
{
    interrupt_seen = 1;
}

} // namespace

void catch_interrupts()
{
    struct sigaction action = {};
    action.sa_handler = note_interrupt;
    sigemptyset(&action.sa_mask);
    // the first signal asks for an orderly end; a second one ends the process
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

bool interrupted()
{
    return interrupt_seen != 0;
}

void limit_heap_growth()
{
    ::mallopt(M_ARENA_MAX, 1);
    // A fixed threshold: glibc otherwise raises it to the size of every large
    // block freed, so the decoders' and the photos' megabyte buffers come
    // from the heap and stay resident (a photo scan peaked at 187 MiB, 153
    // with a threshold of 1 MiB). The decoders' large arrays have buffers of
    // their own now, and photos of up to 4 MiB reuse the heap's memory: at
    // 1 MiB every larger photo's bytes were mapped afresh and faulted in
    // page by page (180,000 faults on a GiB of photos, 55,000 at 4 MiB, for
    // about 8 MiB more at the peak).
    ::mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
}

void limit_address_space(qint64 bytes)
{
    const struct rlimit limit{rlim_t(bytes), rlim_t(bytes)};
    ::setrlimit(RLIMIT_AS, &limit);
}

qint64 large_page_size()
{
    return 2 * 1024 * 1024; // transparent huge pages of x86-64 and arm64 with 4 KiB pages
}

void prefer_large_pages(char *data, qint64 size)
{
    if (data && size > 0)
        ::madvise(data, size_t(size), MADV_HUGEPAGE); // refused where the kernel has none: no harm
}

void limit_child_memory(QProcess &process, qint64 bytes)
{
    process.setChildProcessModifier([bytes] {
        // runs in the child between fork and exec: system calls only
        limit_address_space(bytes);
        const rlimit no_core{0, 0};
        ::setrlimit(RLIMIT_CORE, &no_core);
    });
}

} // namespace volume_platform

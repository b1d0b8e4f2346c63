// Prefaulting on POSIX: madvise(MADV_POPULATE_WRITE) where the kernel has it
// (Linux 5.14 and later); elsewhere the pages are faulted in as they are used.
#include "platform/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

void PrefaultMemory(void* data, size_t size) {
#ifdef __linux__
    // Small buffers are not worth a system call.
    constexpr size_t kWorthwhile = 64u << 10;
    constexpr int kPopulateWrite = 23;  // MADV_POPULATE_WRITE, missing from older headers
    if (size < kWorthwhile) return;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t first = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(page - 1);
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, kPopulateWrite);
#else
    (void)data;
    (void)size;
#endif
}

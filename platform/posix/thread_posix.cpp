// The worker thread on POSIX: a detached-on-close pthread.
#include "platform/thread.h"

#include <pthread.h>
#include <time.h>

namespace {
void* Trampoline(void* arg) {
    reinterpret_cast<void (*)()>(arg)();
    return nullptr;
}
}  // namespace

bool ThreadStart(ThreadHandle& thread, void (*entry)()) {
    pthread_t id;
    if (pthread_create(&id, nullptr, Trampoline, reinterpret_cast<void*>(entry)) != 0) return false;
    thread.handle = static_cast<intptr_t>(id);
    return true;
}

void ThreadCloseHandle(ThreadHandle& thread) {
    if (thread.handle != 0) {
        pthread_detach(static_cast<pthread_t>(thread.handle));
        thread.handle = 0;
    }
}

uint64_t MonotonicMilliseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

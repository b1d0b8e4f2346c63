// The worker thread on POSIX. A closed handle (the worker closes its own on
// its way out) is kept joinable until ThreadReapClosed joins it, so that a
// program can wait for the thread's very end before it exits; a handle that
// nobody reaped is detached when the next one is closed.
#include "platform/thread.h"

#include <mutex>
#include <pthread.h>
#include <time.h>

namespace {
std::mutex closedMutex;
pthread_t closedThread;
bool haveClosed = false;

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
    if (thread.handle == 0) return;
    std::lock_guard<std::mutex> lock(closedMutex);
    if (haveClosed) pthread_detach(closedThread);
    closedThread = static_cast<pthread_t>(thread.handle);
    haveClosed = true;
    thread.handle = 0;
}

void ThreadReapClosed() {
    pthread_t thread;
    {
        std::lock_guard<std::mutex> lock(closedMutex);
        if (!haveClosed || pthread_equal(closedThread, pthread_self())) return;
        thread = closedThread;
        haveClosed = false;
    }
    pthread_join(thread, nullptr);
}

uint64_t MonotonicMilliseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void SleepMilliseconds(uint32_t ms) {
    timespec wait{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0) {
    }
}

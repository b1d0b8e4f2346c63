// The worker thread: started by the front end's Start, ended by the engine.
#pragma once

#include <cstdint>

struct ThreadHandle {
    intptr_t handle = 0;  // HANDLE or pthread_t; 0 when none
};

// Starts entry on a new thread with the default stack size.
bool ThreadStart(ThreadHandle& thread, void (*entry)());
// Releases the handle; the thread runs on to its end by itself.
void ThreadCloseHandle(ThreadHandle& thread);
// Waits until the thread whose handle was closed last has ended entirely,
// its stack and thread-local storage released (POSIX joins it; Windows has
// nothing to wait for). Never called by that thread itself.
void ThreadReapClosed();

// Milliseconds of a monotonic clock, for pacing progress lines.
uint64_t MonotonicMilliseconds();
// The pace of what a person watches: progress lines are rewritten, and the
// comparison log written, at most about 30 times a second.
constexpr uint64_t kWatchedPaceMs = 33;
// Lets the calling thread wait ms milliseconds.
void SleepMilliseconds(uint32_t ms);

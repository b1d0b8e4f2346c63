// Prefaulting on Windows: nothing to do; pages are committed and faulted in
// as they are used, which costs little there.
#include "platform/memory.h"

void PrefaultMemory(void*, size_t) {}

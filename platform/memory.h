// Memory that the transfer is about to fill at once (checksum lists, read
// buffers, slabs of list nodes). Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Asks the system to back the whole pages inside [data, data + size) with
// memory now, in one call, instead of one page fault per page as they are
// first written. Only a hint: contents are unchanged and nothing fails.
void PrefaultMemory(void* data, size_t size);

// A buffer for file data whose first byte lies on a 64-byte boundary, so
// that the vector loads of the checksum routines never straddle two cache
// lines (a plain new[] gives 16 bytes), asked for at once when large.
struct DataBuffer {
    static constexpr size_t kAlignment = 64;
    std::unique_ptr<uint8_t[]> storage;
    uint8_t* data = nullptr;
    size_t size = 0;

    DataBuffer() = default;
    explicit DataBuffer(size_t bytes) { Allocate(bytes); }
    // Replaces the buffer by one of bytes (contents undefined).
    void Allocate(size_t bytes) {
        storage.reset();
        storage.reset(new uint8_t[bytes + kAlignment]);
        const uintptr_t at = reinterpret_cast<uintptr_t>(storage.get());
        data = storage.get() + ((kAlignment - at % kAlignment) % kAlignment);
        size = bytes;
        PrefaultMemory(data, bytes);
    }
    uint8_t* get() const { return data; }
};

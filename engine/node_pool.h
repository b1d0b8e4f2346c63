// A pool for the nodes of the block and checksum lists: nodes are cut from
// large slabs and freed nodes are kept on a free list, so a pass over a
// million blocks costs no million calls to the general allocator. When the
// last node of a pool is freed (the end of a transfer), its slabs go back to
// the system. A short spin lock makes the pool safe to use from any thread;
// the list code takes it once per list rather than once per node. Worker
// thread, in practice.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>
#include <thread>

#include "platform/memory.h"

template <typename Node, size_t kSlabNodes = 16384>
struct NodePool {
    // A freed node's bytes hold the link of the free list.
    union Cell {
        Cell* nextFree;
        alignas(Node) unsigned char bytes[sizeof(Node)];
    };
    struct Slab {
        Slab* next;
        Cell cells[kSlabNodes];
    };

    std::atomic_flag busy = ATOMIC_FLAG_INIT;
    Slab* slabs = nullptr;
    size_t unusedInSlab = 0;  // cells of slabs->cells not handed out yet
    Cell* freeCells = nullptr;
    size_t live = 0;

    void Lock() {
        while (busy.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    }
    void Unlock() { busy.clear(std::memory_order_release); }

    // Storage for one node; the caller holds the lock.
    void* AllocateLocked() {
        ++live;
        if (freeCells) {
            Cell* cell = freeCells;
            freeCells = cell->nextFree;
            return cell;
        }
        if (unusedInSlab == 0) {
            Slab* slab = static_cast<Slab*>(::operator new(sizeof(Slab)));
            // A list that outgrows its first slab is a long one: the next
            // slabs are filled whole, so their pages are asked for at once.
            if (slabs) PrefaultMemory(slab, sizeof(Slab));
            slab->next = slabs;
            slabs = slab;
            unusedInSlab = kSlabNodes;
        }
        return &slabs->cells[kSlabNodes - unusedInSlab--];
    }

    // Returns a node's storage; the caller holds the lock.
    void FreeLocked(void* node) {
        Cell* cell = static_cast<Cell*>(node);
        cell->nextFree = freeCells;
        freeCells = cell;
        if (--live == 0) ReleaseLocked();
    }

    void ReleaseLocked() {
        while (slabs) {
            Slab* next = slabs->next;
            ::operator delete(slabs);
            slabs = next;
        }
        unusedInSlab = 0;
        freeCells = nullptr;
    }

    void* Allocate() {
        Lock();
        void* p = AllocateLocked();
        Unlock();
        return p;
    }
    void Free(void* node) {
        if (!node) return;
        Lock();
        FreeLocked(node);
        Unlock();
    }
};

// Holds a pool's lock for a scope.
template <typename Pool>
struct PoolLock {
    Pool& pool;
    explicit PoolLock(Pool& p) : pool(p) { pool.Lock(); }
    ~PoolLock() { pool.Unlock(); }
    PoolLock(const PoolLock&) = delete;
    PoolLock& operator=(const PoolLock&) = delete;
};

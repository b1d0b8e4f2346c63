// The node pool behind the block and checksum lists: nodes across slab
// boundaries, reuse, the release of every slab once the last node is freed,
// long lists freed without recursion, and use from two threads at once.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "engine/blocks.h"
#include "engine/compare.h"
#include "engine/node_pool.h"

namespace {
struct Node {
    uint64_t value;
    Node* next;
};
using SmallPool = NodePool<Node, 4>;
}  // namespace

TEST(NodePool, NodesAreDistinctAlignedAndReusedAcrossSlabs) {
    SmallPool pool;
    std::vector<Node*> nodes;
    for (int i = 0; i < 10; ++i) {
        Node* n = static_cast<Node*>(pool.Allocate());
        ASSERT_EQ(reinterpret_cast<uintptr_t>(n) % alignof(Node), 0u);
        n->value = static_cast<uint64_t>(i);
        nodes.push_back(n);
    }
    EXPECT_EQ(std::set<Node*>(nodes.begin(), nodes.end()).size(), 10u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(nodes[i]->value, static_cast<uint64_t>(i));
    EXPECT_EQ(pool.live, 10u);
    // A freed node is the next one handed out while others stay live.
    pool.Free(nodes[3]);
    EXPECT_EQ(pool.Allocate(), nodes[3]);
    for (Node* n : nodes) pool.Free(n);
    EXPECT_EQ(pool.live, 0u);
    EXPECT_EQ(pool.slabs, nullptr);
    EXPECT_EQ(pool.freeCells, nullptr);
    // After the release the pool starts afresh.
    void* again = pool.Allocate();
    EXPECT_NE(again, nullptr);
    pool.Free(again);
    EXPECT_EQ(pool.slabs, nullptr);
}

TEST(NodePool, MillionNodeBlockListIsBuiltAndFreedIteratively) {
    BlockListBuilder list;
    const uint32_t count = 1u << 20;
    for (uint32_t i = 0; i < count; ++i) list.Append(i * 4096u, 4096);
    uint32_t seen = 0;
    for (const Block* b = list.head; b; b = b->next, ++seen) ASSERT_EQ(b->offset, seen * 4096u);
    EXPECT_EQ(seen, count);
    FreeBlockList(list.head);
    FreeBlockList(nullptr);
}

TEST(NodePool, NodesMadeOneByOneMixWithListsBothWays) {
    // A node made with new joins a built list and goes with FreeBlockList;
    // a list node goes with delete. Under the sanitizers a node freed to the
    // wrong allocator, or twice, is reported.
    BlockListBuilder list;
    list.Append(0, 4096);
    list.tail = list.tail->next = new Block{4096, 4096, nullptr};
    list.Append(8192, 100);
    ASSERT_EQ(list.head->next->next->offset, 8192u);
    Block* first = list.head;
    list.head = first->next;
    delete first;
    FreeBlockList(list.head);
}

TEST(NodePool, TwoThreadsShareOnePool) {
    SmallPool pool;
    auto churn = [&pool](uint64_t tag) {
        std::vector<Node*> held;
        for (int round = 0; round < 2000; ++round) {
            for (int i = 0; i < 8; ++i) {
                Node* n = static_cast<Node*>(pool.Allocate());
                n->value = tag;
                held.push_back(n);
            }
            for (Node* n : held) {
                EXPECT_EQ(n->value, tag);
                pool.Free(n);
            }
            held.clear();
        }
    };
    std::thread a(churn, 1), b(churn, 2);
    a.join();
    b.join();
    EXPECT_EQ(pool.live, 0u);
    EXPECT_EQ(pool.slabs, nullptr);
}

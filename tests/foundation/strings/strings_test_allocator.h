#pragma once
// Counting allocator for the string and config tests: tracks live blocks and their
// sizes so tests can check exact allocation sizes and that nothing leaks.

#include "foundation/memory/allocator.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

namespace tallow::test {

class StringsTestAllocator final : public Allocator {
  public:
    StringsTestAllocator() : Allocator("strings_test") {}
    ~StringsTestAllocator() override { EXPECT_EQ(live.size(), 0u) << "blocks leaked"; }
    void *allocate(u64 size, u32 align) override
    {
        if (fail_next) {
            fail_next = false;
            return nullptr;
        }
        void *p = nullptr;
        if (posix_memalign(&p, align < sizeof(void *) ? sizeof(void *) : align, size ? size : 1) != 0)
            return nullptr;
        live[p] = size;
        last_size = size;
        ++allocations;
        return p;
    }
    void deallocate(void *p) override
    {
        if (!p)
            return;
        EXPECT_EQ(live.erase(p), 1u) << "freeing a block this allocator does not hold";
        free(p);
    }
    u64 allocated_size(const void *p) override
    {
        auto it = live.find(const_cast<void *>(p));
        return it == live.end() ? 0 : it->second;
    }
    u64 total_allocated() override
    {
        u64 n = 0;
        for (auto &e : live)
            n += e.second;
        return n;
    }

    std::map<void *, u64> live;
    u64 last_size = 0;
    u64 allocations = 0;
    bool fail_next = false;
};

} // namespace tallow::test

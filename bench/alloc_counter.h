#pragma once
// Counts heap allocations in the benchmark process, to show that the
// request path allocates nothing.

#include <atomic>
#include <cstdint>

namespace ternis::bench {
std::uint64_t AllocationCount();
}  // namespace ternis::bench

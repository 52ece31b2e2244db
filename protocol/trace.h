#pragma once
// Diagnostic trace: printf-style lines to stderr, built in only with
// -DTERNIS_TRACE=ON. In a normal build the calls are type-checked and vanish.

#include <cstdio>

namespace ternis {
#ifdef TERNIS_WITH_TRACE
inline constexpr bool kTraceEnabled = true;
#else
inline constexpr bool kTraceEnabled = false;
#endif
}  // namespace ternis

#define TERNIS_TRACE(...)                    \
  do {                                       \
    if constexpr (::ternis::kTraceEnabled) { \
      std::fprintf(stderr, __VA_ARGS__);     \
    }                                        \
  } while (0)

#pragma once
// What stb-sim --machine prints about a run, for the benchmarks.

#include <cstdio>
#include <string>

namespace ternis::bench {

struct SimFigures {
  double mbps = 0, p50 = 0, p99 = 0;
  bool ok = false;
};

// The key=value line of stb-sim --machine; ok is false when there is none.
inline SimFigures ParseSimFigures(const std::string& out) {
  SimFigures f;
  const auto at = out.find("bytes=");
  if (at == std::string::npos) return f;
  unsigned long long bytes = 0, requests = 0;
  double seconds = 0;
  f.ok = std::sscanf(out.c_str() + at,
                     "bytes=%llu requests=%llu seconds=%lf mbps=%lf p50_ms=%lf p99_ms=%lf", &bytes,
                     &requests, &seconds, &f.mbps, &f.p50, &f.p99) == 6;
  return f;
}

}  // namespace ternis::bench

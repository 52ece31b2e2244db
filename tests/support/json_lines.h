#pragma once
// A JSON-lines file (records, --json events) parsed line by line; a line
// that is not whole JSON fails the test.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace ternis::test {

inline std::vector<nlohmann::json> JsonLines(const std::string& path) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(ReadText(path));
  for (std::string line; std::getline(in, line);) {
    try {
      lines.push_back(nlohmann::json::parse(line));
    } catch (const nlohmann::json::exception& e) {
      ADD_FAILURE() << "not a whole JSON line: " << line << " (" << e.what() << ")";
    }
  }
  return lines;
}

}  // namespace ternis::test

#pragma once
// Whether a text holds a piece, for EXPECT_TRUE: a failure shows the whole text.

#include <gtest/gtest.h>

#include <string>

namespace ternis::test {

inline testing::AssertionResult Holds(const std::string& text, const std::string& piece) {
  if (text.find(piece) != std::string::npos) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "no \"" << piece << "\" in:\n" << text;
}

}  // namespace ternis::test

#pragma once
// The window's message numbers by name, for readable message logs in tests.

#include <cstdint>
#include <string>

namespace ternis::test {

// "SM_PROGRESS", ...; the number itself for anything else.
std::string MessageName(std::uint32_t message);

}  // namespace ternis::test

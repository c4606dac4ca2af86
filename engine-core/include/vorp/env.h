// Configuration from the environment: the one place that reads a variable and the one parser of
// its number. Each module names its own variables and decides when it reads them (open, every
// call); none keeps a parser of its own, so "  +8 " means 8 to all of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorp {

// A copy of the variable's value; absent when it is unset or its value is not valid UTF-8 (which
// counts as unset everywhere).
std::optional<std::string> env_text(std::string_view name);

// The number of a value (absent: unset): Unicode white space trimmed, one optional leading '+',
// then ASCII digits only, fitting 64 bits. Anything else is absent.
std::optional<std::uint64_t> parse_env_count(std::optional<std::string_view> value);

// parse_env_count of the variable's current value.
std::optional<std::uint64_t> env_count(std::string_view name);

// A switch: set to anything but the empty text or "0" (whatever the bytes, UTF-8 or not).
bool env_flag(std::string_view name);

}  // namespace vorp

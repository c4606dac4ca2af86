#include "vorp/env.h"

#include <cstdlib>

#include "vorp/text.h"

namespace vorp {

namespace {
const char* env_raw(std::string_view name) { return std::getenv(std::string(name).c_str()); }
}  // namespace

std::optional<std::string> env_text(std::string_view name) {
    const char* value = env_raw(name);
    if (value == nullptr) return std::nullopt;
    std::string text = value;
    if (validate_utf8(text)) return std::nullopt;
    return text;
}

std::optional<std::uint64_t> parse_env_count(std::optional<std::string_view> value) {
    if (!value || validate_utf8(*value)) return std::nullopt;
    return parse_u64_decimal(trim_unicode_whitespace(*value));
}

std::optional<std::uint64_t> env_count(std::string_view name) {
    const std::optional<std::string> text = env_text(name);
    if (!text) return std::nullopt;
    return parse_env_count(*text);
}

bool env_flag(std::string_view name) {
    const char* value = env_raw(name);
    return value != nullptr && value[0] != '\0' && std::string_view(value) != "0";
}

}  // namespace vorp

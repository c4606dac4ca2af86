#include "vorp/current.h"

#include <vector>

#include <fmt/format.h>

#include "vorp/text.h"

namespace vorp {

std::string format_current(std::uint64_t generation, std::string_view sha) {
    return fmt::format("{} {}\n", generation, sha);
}

Result<CurrentLine> parse_current(std::string_view text) {
    if (validate_utf8(text)) return fail(EngineError::io("stream did not contain valid UTF-8"));
    const std::vector<std::string_view> pieces = whitespace_pieces(text, 2);
    if (pieces.size() < 2)
        return fail(EngineError::corrupt(
            fmt::format("CURRENT must contain '<generation> <sha>', found {}", debug_quoted(text))));
    const std::optional<std::uint64_t> generation = parse_u64_decimal(pieces[0]);
    if (!generation)
        return fail(EngineError::corrupt(fmt::format("CURRENT generation is not a number: {}", debug_quoted(pieces[0]))));
    return CurrentLine{*generation, std::string(pieces[1])};
}

}  // namespace vorp

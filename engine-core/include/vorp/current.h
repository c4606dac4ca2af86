// The CURRENT file: the one line that names a store's current generation.
//
//   "{generation} {manifest sha}\n"    generation in decimal, sha as the manifest records it
//
// Written exactly so; read leniently, because people edit it by hand when they restore a store:
// the text is split at runs of Unicode white space, a third piece and anything after it is
// ignored, and the generation may carry a '+' and leading zeros. Publish formats it, open parses
// it, and verification parses it the same way, so a CURRENT that verification accepts is one
// that open accepts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vorp/error.h"

namespace vorp {

// What CURRENT names: a generation and the short sha of its manifest.
struct CurrentLine {
    std::uint64_t generation = 0;
    std::string sha;
};

// The bytes of CURRENT for a generation.
std::string format_current(std::uint64_t generation, std::string_view sha);

// Parses CURRENT's bytes. Text that is not UTF-8 is `io` "stream did not contain valid UTF-8" (the
// file could not be read as text); fewer than two pieces are `corrupt` "CURRENT must contain
// '<generation> <sha>', found {text, debug-quoted}"; a first piece that is no number is `corrupt`
// "CURRENT generation is not a number: {piece, debug-quoted}". No file is attached.
Result<CurrentLine> parse_current(std::string_view text);

}  // namespace vorp

// A stable least-significant-digit radix sort for long lists ordered by an unsigned integer key.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vorp {

// Orders `items` by key(item), a 64-bit unsigned value; items of equal keys keep their order.
// Digits of 11 bits, up to the width of the widest key; a digit in which every key agrees takes
// no pass. `scratch` is working space (its contents are lost).
template <class Items, class Key>
void stable_radix_sort(Items& items, Items& scratch, Key&& key) {
    constexpr unsigned DIGIT = 11;
    constexpr std::uint64_t MASK = (std::uint64_t{1} << DIGIT) - 1;
    std::uint64_t any_bits = 0;
    for (const auto& item : items) any_bits |= static_cast<std::uint64_t>(key(item));
    const auto width = static_cast<unsigned>(std::bit_width(any_bits));
    if (width == 0) return;
    scratch.resize(items.size());
    std::vector<std::size_t> starts(MASK + 1);
    for (unsigned shift = 0; shift < width; shift += DIGIT) {
        std::ranges::fill(starts, 0);
        for (const auto& item : items) ++starts[(static_cast<std::uint64_t>(key(item)) >> shift) & MASK];
        if (std::ranges::find(starts, items.size()) != starts.end()) continue;
        std::size_t offset = 0;
        for (std::size_t& start : starts) offset += std::exchange(start, offset);
        for (const auto& item : items) scratch[starts[(static_cast<std::uint64_t>(key(item)) >> shift) & MASK]++] = item;
        items.swap(scratch);
    }
}

}  // namespace vorp

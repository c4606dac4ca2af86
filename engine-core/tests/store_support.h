// Store helpers shared by the tests that open whole stores.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "vorp/store.h"
#include "vorp/visibility.h"

namespace vorp::testing {

// Opens the store at `root`; throws with the engine's message when it cannot.
inline std::unique_ptr<NativeStore> open_ok(const std::filesystem::path& root) {
    auto store = NativeStore::open(root.string());
    if (!store) throw std::runtime_error("open failed: " + store.error().display());
    return std::move(*store);
}

// The dense id of `uid`, interned with the label "thing" when new.
inline std::uint32_t entity(NativeStore& store, const std::string& uid) {
    if (const auto id = store.dict().dense_id(uid)) return *id;
    return store.add_entity(uid, "thing").value();
}

// Every stored version of the handle's generation, both kinds: vid -> tt_e, read from its segment
// files and the committed close index.
inline std::map<Id96, std::int64_t> stored_versions(NativeStore& store) {
    std::map<Id96, std::int64_t> out;
    const auto index = store.committed_close_index().value();
    std::vector<SegmentFileRef> files = store.edge_files();
    for (const SegmentFileRef& ref : store.node_files()) files.push_back(ref);
    for (const SegmentFileRef& ref : files) {
        const auto segment = store.open_segment(ref.file).value();
        const auto high = segment->typed<std::uint64_t>("vid64").value();
        const auto low = segment->typed<std::uint32_t>("vid_lo32").value();
        for (std::uint32_t row = 0; row < high.size(); ++row)
            out[Id96{high[row], low[row]}] = close_tt_e(index.get(), ref.segment_id, row, segment->header.closed_rows);
    }
    return out;
}

}  // namespace vorp::testing

// Store helpers shared by the tests that open whole stores.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "test_support.h"
#include "vorp/store.h"

namespace vorp::testing {

// Opens the store at `root`; throws with the engine's message when it cannot.
inline std::unique_ptr<NativeStore> open_ok(const std::filesystem::path& root) {
    auto store = NativeStore::open(root.string());
    if (!store) throw std::runtime_error("open failed: " + store.error().display());
    return std::move(*store);
}

// The dense id of `uid`, interned with the label "thing" when new.
inline std::uint32_t entity(NativeStore& store, const std::string& uid) {
    if (const auto id = store.dict.dense_id(uid)) return *id;
    return store.dict.push(uid, "thing");
}

}  // namespace vorp::testing

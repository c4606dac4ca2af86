// The tests' one way past NativeStore's member functions: to build states the public surface
// cannot reach (a doctored manifest, a tiny lane stride or segment target, a marker-less
// current-only state, a poisoned cache lock) and to look at the caches.
#pragma once

#include <cstdint>

#include "vorp/store.h"

namespace vorp {

struct StoreTestAccess {
    static Manifest& manifest(NativeStore& store) { return store.manifest_; }
    static Batch& batch(NativeStore& store) { return store.batch_; }
    static StoreCaches& caches(NativeStore& store) { return store.caches_; }
    static void set_current_only(NativeStore& store, bool current_only) { store.current_only_ = current_only; }
    static void set_lane_stride(NativeStore& store, std::int64_t stride) { store.lane_stride_ = stride; }
    static void set_segment_target_bytes(NativeStore& store, std::uint64_t bytes) { store.segment_target_bytes_ = bytes; }
};

}  // namespace vorp

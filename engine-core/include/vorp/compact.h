// Compaction: the current generation rewritten into fresh segment files and published as the
// next generation, a checkpoint that names only the new segments and no close run.
//
//   compact               every version is kept; each close recorded so far (close runs and the
//                         old segments' closed_rows) is folded into the new segments' headers, so
//                         reads as of every transaction time answer as before
//   compact_current_only  only the versions believed now (by the belief rule of visibility.h)
//                         are kept, each with its own tt_e; afterwards the store is marked
//                         current-only (CURRENT_ONLY) and refuses past-time belief and corrections
//
// The output is cut exactly as one commit of all the rows would cut it: per kind, rows in (vt_s,
// vid) order with ties in read order (event-lane segments, then interval-lane, rows ascending),
// split into the event and interval lanes, cut at the handle's segment target, ids handed out in
// write order (edge event, edge interval, node event, node interval).
//
// Streaming. The store is never held in memory: a first pass opens the old segments one at a time
// and keeps a 32-byte key per row (vt_s, vid, origin, cost); the keys are sorted, cut into output
// segments, and each output segment is then materialised alone, opening each old segment it draws
// from once, written, and dropped before the next. Peak memory is the keys plus one output
// segment's rows.
//
// A close belongs to a row position (segment, row), never to a vid: a store where two versions
// share a vid keeps each one's own tt_e.
//
// Crash safety: new segment files take fresh ids, so old and new coexist in seg/; nothing names
// the new ones until install writes the checkpoint and then CURRENT. A stop before CURRENT leaves
// the old generation current and the new files for garbage collection.
#pragma once

#include <cstddef>

#include "vorp/error.h"

namespace vorp {

class NativeStore;

// The result of both variants. `closes_folded` counts the versions whose close was folded in
// (`compact`) or the versions dropped (`compact_current_only`).
struct CompactReport {
    std::size_t segments_before = 0;
    std::size_t segments_after = 0;
    std::size_t closes_folded = 0;
    std::size_t edge_rows = 0;
    std::size_t node_rows = 0;

    bool operator==(const CompactReport&) const = default;
};

// Both need exclusive use of the handle and take the store's writer guard. Refused with a batch
// open ("cannot compact while a batch is open") or on a read-only (format 1 or 2) store, before
// anything is read or written. A store without segment files publishes nothing (the current-only
// variant still marks it).
Result<CompactReport> compact(NativeStore& store);
Result<CompactReport> compact_current_only(NativeStore& store);

// True when the current manifest names 5 or more segment files or any close run.
bool needs_compaction(const NativeStore& store);

}  // namespace vorp

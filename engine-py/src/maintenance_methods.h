// The maintenance methods of NativeStore: compaction, the current-only strip and garbage
// collection. Each is a method body for the class's method table (store_method.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "store_method.h"

namespace vorp::py {

// needs_compaction($self): shared; bool.
PyObject* needs_compaction(StoreCall& call);
// compact($self): exclusive; dict segments_before, segments_after, closes_folded, edge_rows, node_rows.
PyObject* compact(StoreCall& call);
// compact_current_only($self): exclusive; as compact with "versions_dropped" third.
PyObject* compact_current_only(StoreCall& call);
// gc($self, keep_last=...): exclusive; keep_last defaults to 2; dict manifests_removed,
// segments_removed, close_runs_removed, bytes_reclaimed, generations_retained.
PyObject* gc(StoreCall& call, std::uint64_t keep_last);

}  // namespace vorp::py

"""Type stubs of vorp._engine, the storage engine extension module.

The signatures are the module's published text signatures; the private TypedDicts describe the
dicts the methods return (their key order is part of the interface, see each method's doc).
"""

import os
from collections.abc import Mapping, Sequence
from typing import Final, Literal, TypeAlias, TypedDict, final, overload, type_check_only

import numpy as np
import numpy.typing as npt

FORMAT_VERSION: Final = 1
MANIFEST_FORMAT_VERSION: Final = 3
OPEN_END: Final = 4611686018427387904
BLOCK_ROWS: Final = 32768
SEGMENT_TARGET_BYTES: Final = 134217728

_Int64Array: TypeAlias = npt.NDArray[np.int64]
_UInt32Array: TypeAlias = npt.NDArray[np.uint32]
_Kind: TypeAlias = Literal["node", "edge"]
_Belief: TypeAlias = Literal["current", "superseded", "all"]
_Motif: TypeAlias = Literal[
    "M_triangle_cyclic", "M_triangle_acyclic_1", "M_2node_pingpong", "M_star_out_3", "M_path_3"
]
_Dimension: TypeAlias = tuple[Literal["time_bucket", "rel_type"], str | None] | tuple[
    Literal["endpoint", "label"], Literal["src", "dst"]
]
_Aggregate: TypeAlias = (
    tuple[Literal["count"], str | None]
    | tuple[Literal["count_distinct"], Literal["src", "dst"]]
    | tuple[Literal["min", "max", "mean"], Literal["vt_s", "duration"]]
)

@type_check_only
class _BuildInfo(TypedDict):
    profile: str
    opt_level: str
    engine_version: str
    debug_assertions: bool
    manifest_format_version: int

@type_check_only
class _CommitPhases(TypedDict):
    capture_us: int
    seal_us: int
    closes_us: int
    stats_us: int
    dict_us: int
    digest_us: int
    debug_verify_us: int
    delta_build_us: int
    manifest_us: int
    current_us: int
    total_us: int
    manifest_bytes: int
    segments_named: int
    manifest_checkpoint: int

@type_check_only
class _OpenPhases(TypedDict):
    checkpoint_read_parse_us: int
    merkle_verify_us: int
    state_build_us: int
    delta_replay_us: int
    delta_count: int
    dictionary_open_us: int
    other_us: int
    total_us: int
    chain_format: int

@type_check_only
class _EdgeCols(TypedDict):
    vid: Sequence[str]
    src: Sequence[str]
    dst: Sequence[str]
    rel_type: Sequence[str]
    disc: Sequence[str]
    vt_s: Sequence[int]
    vt_e: Sequence[int]
    tt_s: Sequence[int]
    props: Sequence[str]
    source: Sequence[str]
    provenance_ref: Sequence[str | None]

@type_check_only
class _NodeCols(TypedDict):
    vid: Sequence[str]
    uid: Sequence[str]
    label: Sequence[str]
    vt_s: Sequence[int]
    vt_e: Sequence[int]
    tt_s: Sequence[int]
    props: Sequence[str]
    source: Sequence[str]
    provenance_ref: Sequence[str | None]

@type_check_only
class _EdgeVersions(TypedDict):
    eid: list[str]
    vid: list[str]
    src: list[str]
    dst: list[str]
    rel_type: list[str]
    disc: list[str]
    vt_s: list[int]
    vt_e: list[int]
    tt_s: list[int]
    tt_e: list[int]
    props: list[str]
    source: list[str]
    provenance_ref: list[str | None]

@type_check_only
class _NodeVersions(TypedDict):
    vid: list[str]
    uid: list[str]
    label: list[str]
    vt_s: list[int]
    vt_e: list[int]
    tt_s: list[int]
    tt_e: list[int]
    props: list[str]
    source: list[str]
    provenance_ref: list[str | None]

@type_check_only
class _EdgeScanStats(TypedDict):
    vt_s: _Int64Array
    segments_total: int
    segments_pruned: int
    rows_examined: int
    t_open_ms: float
    t_select_ms: float
    t_cluster_ms: float
    t_materialize_ms: float
    t_order_ms: float
    t_copy_ms: float
    clusters: int
    clusters_multi: int
    t_eid_ms: float
    t_convert_ms: float

@type_check_only
class _EdgeScan(_EdgeScanStats, total=False):
    # Present when `columns` is None or names them (vt_s always is).
    eid: list[str]
    vt_e: _Int64Array
    src_id: _UInt32Array
    dst_id: _UInt32Array
    vid: list[str]
    rel_type: list[str]
    disc: list[str]
    props: list[str]
    seg_id: _Int64Array
    seg_row: _Int64Array

@type_check_only
class _AggregateResult(TypedDict):
    rows_total: int
    keys: list[_Int64Array]
    aggs: list[list[int | None] | list[float | None]]
    rel_names: list[str]
    label_names: list[str]

@type_check_only
class _NodeScan(TypedDict):
    uid_id: _Int64Array
    vt_s: _Int64Array
    vt_e: _Int64Array
    uid: list[str]
    vid: list[str]
    label: list[str]
    segments_total: int
    rows: int
    rows_examined: int
    rows_materialized: int
    t_materialize_ms: float
    t_sort_ms: float
    t_convert_ms: float

@type_check_only
class _EdgePage(TypedDict):
    vid: list[str]
    eid: list[str]
    src: list[str]
    dst: list[str]
    rel_type: list[str]
    disc: list[str]
    vt_s: _Int64Array
    vt_e: _Int64Array
    tt_s: _Int64Array
    tt_e: _Int64Array
    rows_total: int

@type_check_only
class _NodePage(TypedDict):
    vid: list[str]
    uid: list[str]
    label: list[str]
    vt_s: _Int64Array
    vt_e: _Int64Array
    tt_s: _Int64Array
    tt_e: _Int64Array
    rows_total: int

@type_check_only
class _Stats(TypedDict):
    n_entities: int
    n_node_versions: int
    n_edge_versions: int
    vt_min: int | None
    vt_max: int | None
    rel_type_counts: dict[str, int]
    max_out_degree: int
    generation: int

@type_check_only
class _Finding(TypedDict):
    layer: str
    kind: str
    path: str
    generation: int
    detail: str
    severity: str

@type_check_only
class _VerifyReport(TypedDict):
    mode: Literal["fast", "full"]
    generation: int
    manifest_format: int
    manifest_checkpoint: int
    manifest_deltas: int
    segments_checked: int
    close_runs_checked: int
    rows: int
    closes: int
    dict_records: int
    tt_s_runs: int
    max_tt_s_runs: int
    rows_walked: int
    believed_rows: int
    identities_checked: int
    problems: list[str]
    findings: list[_Finding]
    healthy: bool

@type_check_only
class _CompactReport(TypedDict):
    segments_before: int
    segments_after: int
    closes_folded: int
    edge_rows: int
    node_rows: int

@type_check_only
class _CompactCurrentOnlyReport(TypedDict):
    segments_before: int
    segments_after: int
    versions_dropped: int
    edge_rows: int
    node_rows: int

@type_check_only
class _GcReport(TypedDict):
    manifests_removed: int
    segments_removed: int
    close_runs_removed: int
    bytes_reclaimed: int
    generations_retained: int

@type_check_only
class _UpgradeReport(TypedDict):
    upgraded: bool
    from_format: int
    to_format: int
    generation: int
    manifest_sha: str

def interval_pairs(
    lo: Sequence[int],
    hi: Sequence[int],
    a_vt_e: Sequence[int],
    b_vt_e: Sequence[int],
    require_b_end_after_a_end: bool,
) -> list[tuple[int, int]]: ...
def motif_match(
    motif: _Motif,
    src: _Int64Array,
    dst: _Int64Array,
    t: _Int64Array,
    eid: Sequence[str],
    delta: int,
    collect: bool = False,
) -> tuple[int, list[list[int]]]: ...
def ping(n: int = 8) -> _Int64Array: ...
def core_version() -> str: ...
def build_info() -> _BuildInfo: ...
@final
class NativeStore:
    def __new__(cls, path: str | os.PathLike[str]) -> NativeStore: ...
    def close(self, /) -> None: ...
    def generation(self, /) -> int: ...
    def begin(self, /, tt: int) -> None: ...
    def commit(self, /) -> int: ...
    def rollback(self, /) -> None: ...
    def set_event_cursor(self, /, offset: int, chain: str) -> None: ...
    def event_cursor(self, /) -> tuple[int, str]: ...
    def segment_cache_stats(self, /) -> tuple[int, int, int | None, int]: ...
    def postings_stats(self, /, kind: _Kind) -> tuple[int, int, int]: ...
    def last_commit_phases(self, /) -> _CommitPhases | None: ...
    def open_phase_us(self, /) -> _OpenPhases: ...
    def in_batch(self, /) -> bool: ...
    def ensure_entities(self, /, uids: Sequence[str], labels: Sequence[str]) -> None: ...
    def dense_ids(self, /, uids: Sequence[str]) -> _Int64Array: ...
    def uids_for(self, /, ids: Sequence[int]) -> list[str]: ...
    def num_entities(self, /) -> int: ...
    def stage_edges(self, /, cols: _EdgeCols | Mapping[str, Sequence[object]]) -> None: ...
    def stage_nodes(self, /, cols: _NodeCols | Mapping[str, Sequence[object]]) -> None: ...
    def stage_closes(self, /, kind: _Kind, vids: Sequence[str], tt_e: int) -> None: ...
    def stage_retires(self, /, kind: _Kind, vids: Sequence[str]) -> None: ...
    @overload
    def all_versions(self, /, kind: Literal["edge"]) -> _EdgeVersions: ...
    @overload
    def all_versions(self, /, kind: Literal["node"]) -> _NodeVersions: ...
    @overload
    def believed(self, /, kind: Literal["edge"], identity: str, as_of_tt: int = ...) -> _EdgeVersions: ...
    @overload
    def believed(self, /, kind: Literal["node"], identity: str, as_of_tt: int = ...) -> _NodeVersions: ...
    def believed_any(self, /, uids: Sequence[str], as_of_tt: int = ...) -> list[str]: ...
    def resolve_entities(self, /, query: str, as_of_tt: int = ...) -> list[tuple[str, int, str, str]]: ...
    def props_for_vids(self, /, kind: _Kind, vids: Sequence[str]) -> dict[str, str]: ...
    def scan_edges(
        self,
        /,
        as_of_tt: int = ...,
        vt_min: int | None = None,
        vt_max: int | None = None,
        rel_types: Sequence[str] | None = None,
        touching_ids: Sequence[int] | None = None,
        touching_both: bool = False,
        limit: int | None = None,
        columns: Sequence[str] | None = None,
    ) -> _EdgeScan: ...
    def aggregate_edges(
        self,
        /,
        as_of_tt: int,
        t_a: int,
        t_b: int,
        rel_types: Sequence[str] | None,
        stride: int | None,
        group_by: Sequence[_Dimension],
        aggregates: Sequence[_Aggregate],
        max_groups: int,
    ) -> _AggregateResult: ...
    def edge_idents_at(self, /, seg_ids: Sequence[int], seg_rows: Sequence[int]) -> tuple[list[str], list[str]]: ...
    def manifest_sha(self, /) -> str: ...
    def manifest_format(self, /) -> int: ...
    def checkpoint_generation(self, /) -> int: ...
    def scan_nodes(self, /, as_of_tt: int = ..., vt_min: int | None = None, vt_max: int | None = None) -> _NodeScan: ...
    @overload
    def version_page(
        self,
        /,
        kind: Literal["edge"],
        as_of_tt: int,
        t_a: int,
        t_b: int,
        belief: _Belief,
        rel_types: Sequence[str] | None,
        offset: int,
        limit: int,
    ) -> _EdgePage: ...
    @overload
    def version_page(
        self,
        /,
        kind: Literal["node"],
        as_of_tt: int,
        t_a: int,
        t_b: int,
        belief: _Belief,
        rel_types: None,
        offset: int,
        limit: int,
    ) -> _NodePage: ...
    def stats(self, /) -> _Stats: ...
    def verify(self, /, full: bool = False) -> _VerifyReport: ...
    def needs_compaction(self, /) -> bool: ...
    def compact(self, /) -> _CompactReport: ...
    def compact_current_only(self, /) -> _CompactCurrentOnlyReport: ...
    def current_only(self, /) -> bool: ...
    def gc(self, /, keep_last: int = ...) -> _GcReport: ...
    def upgrade_manifests(self, /) -> _UpgradeReport: ...

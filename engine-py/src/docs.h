// The prose of the doc strings of the module's functions and of NativeStore's methods: what
// help(vorp._engine) and help(NativeStore) print beyond the signatures.
//
// A method's doc string is its published text signature, "--", a blank line and the prose below;
// the method table composes them (StoreMethod::def), so the signature is written once, where it
// also decides how arguments are parsed. The module functions are registered from a plain table,
// so their constants here hold the whole doc string, signature line included. The module's own
// doc and the class's (its constructor signature, then NATIVE_STORE's prose) are published as they
// are.
//
// Every statement here is about behaviour a caller can observe, and tests/python checks that the
// prose names every parameter and every key of the result dicts. Keep lines under 80 columns:
// help() prints them as they are.
#pragma once

#include <string_view>

namespace vorp::py::doc {

// ---- the class ---------------------------------------------------------------------------

inline constexpr char NATIVE_STORE[] = "NativeStore(path)\n--\n\n"
    R"(Opens the store in the directory path (a new store when it is missing or empty).

Arguments:
  path   str or os.PathLike[str] (a pathlib.Path, say); bytes are refused

Raises:
  TypeError   path is neither a str nor an os.PathLike giving one
  ValueError  "path is empty" or "embedded null byte", before any file is
              touched
)";

// ---- module functions -----------------------------------------------------------------

inline constexpr char INTERVAL_PAIRS[] = "interval_pairs(lo, hi, a_vt_e, b_vt_e, require_b_end_after_a_end)\n--\n\n"
    R"(Pairs each A-row with the B-rows of its candidate range, in order.

For A-row i the candidates are the B-rows b with lo[i] <= b < hi[i] (hi cut
to the number of B-rows); with require_b_end_after_a_end only those with
b_vt_e[b] > a_vt_e[i] are kept. Touches no store; the interpreter lock is
released while the pairs are built, and Ctrl-C stops the call (it raises
KeyboardInterrupt).

Arguments (all required; sequences are copied, a str is refused):
  lo, hi     sequences of int in 0 .. 2**32 - 1, one per A-row: the first
             candidate B-row (inclusive) and the end (exclusive)
  a_vt_e     sequence of int, one per A-row: its valid-time end
  b_vt_e     sequence of int, one per B-row: its valid-time end; its length
             is the number of B-rows (it is not compared with lo)
  require_b_end_after_a_end   bool (True or False; 0 and 1 are refused)

Returns a list of (a_row, b_row) tuples of ints, by A-row, then B-row.

Raises:
  RuntimeError  "invariant: interval join: lo, hi and a_vt_e must have one
                entry per a-row ..." when their lengths differ
  OverflowError a negative or too large lo/hi entry; TypeError a wrong type
                (both noted "while processing '<argument>'")

Example:
  >>> interval_pairs([0, 1], [2, 3], [5, 5], [9, 5, 6], True)
  [(0, 0), (1, 2)]
)";

inline constexpr char MOTIF_MATCH[] = "motif_match(motif, src, dst, t, eid, delta, collect=False)\n--\n\n"
    R"(Counts, and with collect lists, the instances of one temporal motif.

An instance is three events, in (t, eid) order, whose second and third
events happen at most delta after the first (t1 <= t2, t3 <= t1 + delta)
and whose endpoints form the motif, with a, b, c, d distinct nodes:
  "M_triangle_cyclic"     a->b, b->c, c->a
  "M_triangle_acyclic_1"  a->b, a->c, b->c
  "M_2node_pingpong"      a->b, b->a, a->b
  "M_star_out_3"          a->b, a->c, a->d
  "M_path_3"              a->b, b->c, c->d
Self-loops never take part. Touches no store; the interpreter lock is
released while matching, and Ctrl-C stops the call (it raises
KeyboardInterrupt).

Arguments:
  motif      one of the five names above (exact, case-sensitive)
  src, dst   1-D NumPy int64 arrays (native byte order, contiguous), one
             entry per event: the endpoints as integer node ids; read in
             place, never copied (a list or an int32/uint32 array is
             refused: convert with .astype("int64"))
  t          1-D NumPy int64 array: each event's time
  eid        sequence of str, one per event: orders events of equal t
             (byte order, then input order); nothing else
  delta      int >= 0: the time span of an instance
  collect    bool, default False: also list the instances

Returns (count, instances): count is an int; instances is a list of
[i, j, k] row indices (first, second, third event), ordered by the first
event's position in (t, eid) order, then the second's, then the third's;
an empty list when collect is False.

Raises:
  TypeError     an array that is not a 1-D int64 ndarray, or "The given
                array is not contiguous or is misaligned."
  RuntimeError  "invariant: unknown motif ...", "invariant: motif event
                columns have differing lengths" (checked first), "invariant:
                motif delta must be non-negative"

Example:
  >>> e = store.scan_edges(columns=["eid", "src_id", "dst_id"])
  >>> motif_match("M_2node_pingpong", e["src_id"].astype("int64"),
  ...             e["dst_id"].astype("int64"), e["vt_s"], e["eid"], 3600)
)";

inline constexpr char PING[] = "ping(n=8)\n--\n\n"
    R"(Returns the int64 array 0, 1, ..., n - 1, made in the engine.

A probe of the whole path: a successful call shows that the module imports,
that the engine is linked in, and that arrays cross into NumPy without a
copy (the array's base is the holder of the engine's buffer).

Arguments:
  n   int >= 0, default 8: the array's length

Returns a new 1-D NumPy int64 array of n elements, writeable, zero-copy.

Raises OverflowError for a negative n and TypeError for a non-int, both
noted "while processing 'n'".
)";

inline constexpr char CORE_VERSION[] = "core_version()\n--\n\n"
    R"(Returns the engine's version text, "0.8.0" (a new str each call).

Callers record it in determinism receipts; build_info()["engine_version"]
holds the same text.
)";

inline constexpr char BUILD_INFO[] = "build_info()\n--\n\n"
    R"(Returns a new dict describing this build, for timing records.

Keys, in this order:
  profile                  str: the build type ("release"), or "unknown"
  opt_level                str: the optimisation level ("3"), or "unknown"
  engine_version           str: as core_version()
  debug_assertions         bool: the engine's debug-only self-checks are
                           compiled in; timings of such a build (each commit
                           checks the whole manifest) are not comparable
  manifest_format_version  int: 3, equal to MANIFEST_FORMAT_VERSION
)";

// ---- methods, in the order of the class's method table ---------------------------------------------

inline constexpr std::string_view CLOSE = R"(Does nothing: releases nothing, ends no batch, writes nothing.

It takes the object exclusively and gives it back, so it succeeds exactly
when no other call holds the object (else RuntimeError "Already
borrowed"). The store is released when the object is dropped (del store).
)";

inline constexpr std::string_view GENERATION = R"(Returns the handle's current generation (int).

A new store is at generation 0. It advances only through this handle's
commit, compact, compact_current_only and upgrade_manifests, never because
another handle committed.
)";

inline constexpr std::string_view BEGIN = R"(Opens a batch at transaction time tt.

The batch's tt becomes the next generation's created_tt. Nothing is
written before commit(); no I/O happens here.

Arguments:
  tt   int (signed 64-bit): the batch's transaction time. It must be after
       the current generation's created_tt (any tt is accepted at
       generation 0) and below OPEN_END. The rows and closes staged in the
       batch carry their own tt_s and tt_e, which are not compared with it.

Raises RuntimeError, with nothing changed:
  "invariant: a batch at tt={} is already open (single-writer, no
  nesting) ..."
  "invariant: transaction time must advance: batch tt={} is not after
  generation {}'s tt={} ..."
  "invariant: transaction time {} is not below OPEN_END ..."
A store of manifest format 1 or 2 accepts begin and refuses at commit.
)";

inline constexpr std::string_view COMMIT = R"(Writes the open batch durably and publishes it as the next generation.

In order, each flushed before the next: new segment files, the close-run
file (when closes were staged), the new dict.log records, the manifest-
chain file, then CURRENT, whose rename is the commit point. The event-log
cursor recorded is the one staged by set_event_cursor() since the last
commit, else the previous generation's. The staged cursor is taken even
when the commit fails, unless another writer refused it (below).

Returns the new generation (int).

Raises:
  RuntimeError "invariant: no batch is open; call begin() first ..."
  RuntimeError "invariant: another handle is writing to this store",
               remedy "retry when the other writer has finished": a
               commit, compaction, gc or upgrade of another handle, in
               this process or another, is under way; nothing changed,
               the batch and the staged cursor are kept, so commit() can
               be called again (when the other writer published a
               generation meanwhile, it then reports the handle behind)
  RuntimeError "invariant: this handle is at generation ... another
               handle has written to it ...", nothing written
  RuntimeError the read-only error of a format 1 or 2 store
  OSError      an I/O failure; the handle keeps its generation and the
               batch stays open (what was written stays unreferenced
               until gc), so a retry is possible
)";

inline constexpr std::string_view ROLLBACK = R"(Drops the open batch and everything staged in it.

Discards the staged rows, closes and retirements, the uids that
ensure_entities added since the last commit (also those added before
begin), and the event-log cursor staged by set_event_cursor (even when no
batch is open). No I/O.

Raises RuntimeError "invariant: no batch is open; call begin() first ..."
when no batch is open; then nothing but the staged cursor is discarded.
)";

inline constexpr std::string_view SET_EVENT_CURSOR = R"(Stages the event-log cursor that the next commit records.

Needs no open batch and calls nothing in the engine; it replaces any
cursor staged before. The cursor becomes durable, and visible through
event_cursor(), only with the next successful commit; the next commit
takes it even when it fails, and rollback() drops it.

Arguments:
  offset   int >= 0: the byte offset just past the newline of the last
           event-log record the batch applies
  chain    str: the caller's rolling hash over the log up to offset

Raises OverflowError for a negative offset, TypeError for a chain that is
not a str; the staged cursor is then unchanged.
)";

inline constexpr std::string_view EVENT_CURSOR = R"(Returns the event-log cursor of the current generation: (offset, chain).

offset is an int, chain a str: the replay cursor from which the caller's
recovery resumes. A cursor staged by set_event_cursor and not yet committed
is not visible. A new store reports (0, "e3b0c44298fc1c14"), the short sha
of the empty log; stores older than cursors report chain "".
)";

inline constexpr std::string_view SEGMENT_CACHE_STATS = R"(Returns (entries, accounted_bytes, budget, evictions) of the segment cache.

  entries          int: segment files held open in the cache
  accounted_bytes  int: the bytes the cache charges for them
  budget           int, or None when unbounded: VORP_SEGMENT_CACHE_BYTES as
                   read at open (0 means unbounded; unset or unparsable:
                   half the machine's memory)
  evictions        int: segments evicted since this handle opened
A segment evicted while a read still uses it stays mapped until that read
ends.
)";

inline constexpr std::string_view POSTINGS_STATS = R"(Returns (by_identity_entries, by_vid_entries, indexed_segments) of a kind.

The identity postings map identities (edge ids or node uids) and vids to
stored rows. believed, believed_any, props_for_vids and stage_closes build
them as they need them, one segment at a time.
  by_identity_entries  int: the total length of all identity posting lists
  by_vid_entries       int: the total length of all vid posting lists
  indexed_segments     int: segments indexed so far

Arguments:
  kind   "node" or "edge"

Raises RuntimeError "unknown row kind ...; expected 'node' or 'edge'".
)";

inline constexpr std::string_view LAST_COMMIT_PHASES = R"(Returns the phase timings of this handle's last successful commit, or None.

None until this handle commits (commits of other handles are not seen).
A dict of ints; every *_us value is whole microseconds:
  capture_us       snapshot for a failed commit, next generation set up
  seal_us          sealing the staged rows into segment files
  closes_us        writing the close-run file
  stats_us         folding the staged edges into the cached statistics
  dict_us          appending the new records to dict.log
  digest_us        computing the manifest digest
  debug_verify_us  the debug-only manifest self-check (0 unless
                   build_info()["debug_assertions"])
  delta_build_us   building the manifest-chain record
  manifest_us      writing the manifest-chain file
  current_us       writing CURRENT
  total_us         the whole commit
  manifest_bytes   size of the manifest-chain record written
  segments_named   segment entries the new manifest names (all lanes)
  manifest_checkpoint  1 when the record was a checkpoint, 0 for a delta
)";

inline constexpr std::string_view OPEN_PHASE_US = R"(Returns the phase timings of the open that made this handle.

A dict of ints, fixed at construction; *_us values are whole microseconds:
  checkpoint_read_parse_us  reading and parsing the chain's checkpoint
  merkle_verify_us          verifying the checkpoint's Merkle digest
  state_build_us            building the manifest state from it
  delta_replay_us           replaying the deltas after it
  delta_count               number of deltas replayed
  dictionary_open_us        loading dict.log
  other_us                  total_us less the phases above (never < 0)
  total_us                  the whole open
  chain_format              the format of the checkpoint record read
A new store reads no chain: its chain phases are 0.
)";

inline constexpr std::string_view IN_BATCH = R"(Returns whether a batch is open (bool).

True from a successful begin() until a successful commit() or rollback();
a failed commit leaves it True.
)";

inline constexpr std::string_view ENSURE_ENTITIES = R"(Makes every uid known to the dictionary, adding the missing ones.

A uid already known (committed or added since) keeps its dense id and its
first label; a uid listed twice is added once, with its first label. New
uids take the next dense ids (0, 1, 2, ... in the order added) and are
usable at once by dense_ids and the staging methods. They reach dict.log
with the next successful commit; rollback() discards them. Needs no open
batch.

Arguments:
  uids     list of str: entity uids
  labels   list of str, as long as uids: the label of each new uid

Raises:
  RuntimeError  "ensure_entities: uids and labels differ in length"
                (nothing added)
  OverflowError "capacity: dictionary is full: 4294967295 entities is the
                u32 dense-id ceiling", or a uid or label above 4 GiB;
                the uids before the failing one stay added
)";

inline constexpr std::string_view DENSE_IDS = R"(Returns the dense id of every uid, in input order.

Arguments:
  uids   list of str, each known to the dictionary (committed, or added by
         ensure_entities since)

Returns a 1-D NumPy int64 array, one id per uid (zero-copy: the array owns
the engine's buffer). These ids are the src_id and dst_id of scan_edges and
the touching_ids it takes.

Raises KeyError "unknown uid: {uid}" for the first unknown uid.
)";

inline constexpr std::string_view UIDS_FOR = R"(Returns the uid of every dense id, in input order.

Arguments:
  ids   list of int: dense ids, each below num_entities()

Returns a list of str.

Raises KeyError "unknown dense id: {id}" for the first id at or above the
entity count.

Example:
  >>> store.uids_for(store.scan_edges(columns=["src_id"])["src_id"].tolist())
)";

inline constexpr std::string_view NUM_ENTITIES = R"(Returns the number of dictionary entries (int), committed and staged.)";

inline constexpr std::string_view STAGE_EDGES = R"(Stages one new edge version per row in the open batch.

cols is a mapping from column name to a list (a dict of lists serves);
every uid it names must be known (ensure_entities first). The row count is
the length of vid; every other column needs at least that many elements
(extra ones are ignored); other keys are not read. A version stays
believed until a later batch closes it: there is no tt_e column.

Columns of cols:
  vid             str: the version id, 24 hex digits, chosen by the caller
  src, dst        str: the uids of the source and destination entities
  rel_type        str: relationship type
  disc            str: discriminator; (src, dst, rel_type, disc) derive the
                  edge id (eid), the identity its versions share
  vt_s, vt_e      int: the valid interval [vt_s, vt_e); OPEN_END for open
  tt_s            int: the version's belief start, normally the batch's tt
  props           str: the properties as JSON text (not parsed)
  source          str: free text, returned by all_versions and believed
  provenance_ref  str or None

Nothing else is checked (the caller's contract): vt_s < vt_e, tt_s against
the batch's tt, and a vid staged or stored before are all taken as given; a
vid staged twice is stored twice. verify(full=True) reports empty intervals
and overlapping believed versions of one edge afterwards.

Raises:
  KeyError      a missing column (the mapping's own error), or "unknown
                uid: {uid}" (src checked before dst)
  TypeError     "failed to extract field EdgeCols.{key}" (a bad column; the
                cause says why), noted "while processing 'cols'"
  RuntimeError  "stage_edges: column '{key}' holds {n} elements, 'vid'
                holds {m}" (nothing staged); "invariant: no batch is open;
                call begin() first ..."; a vid that is not 24 hex digits
A call that fails at row k keeps rows 0 to k - 1 staged.

Example:
  >>> store.stage_edges({"vid": [v], "src": ["a"], "dst": ["b"],
  ...     "rel_type": ["knows"], "disc": [""], "vt_s": [0],
  ...     "vt_e": [OPEN_END], "tt_s": [tt], "props": ["{}"],
  ...     "source": ["import"], "provenance_ref": [None]})
)";

inline constexpr std::string_view STAGE_NODES = R"(Stages one new node version per row in the open batch.

As stage_edges, with these columns of cols (a mapping of lists):
  vid             str: the version id, 24 hex digits, chosen by the caller
  uid             str: the node's uid (known to the dictionary)
  label           str: the node's label (the dictionary's label is not
                  changed)
  vt_s, vt_e      int: the valid interval [vt_s, vt_e); OPEN_END for open
  tt_s            int: the version's belief start, normally the batch's tt
  props           str: the properties as JSON text; its string member
                  "name" is what resolve_entities matches
  source          str
  provenance_ref  str or None

The caller's contract is the same: nothing is compared with the batch's tt
or with other versions of the uid; a vid staged twice is stored twice.

Raises as stage_edges: KeyError (missing column, "unknown uid: {uid}"),
TypeError "failed to extract field NodeCols.{key}", RuntimeError for short
columns, a bad vid or no open batch.
)";

inline constexpr std::string_view STAGE_CLOSES = R"(Closes versions at transaction time tt_e: from tt_e on they are not believed.

Each vid may name a stored version (the close is recorded in the commit's
close-run file; the segment is not rewritten) or one staged in this batch.
Reads see a staged close at once. A version already closed is closed again
(the later close wins).

Arguments:
  kind   "node" or "edge"
  vids   list of str: version ids (24 hex digits, any case)
  tt_e   int: the close time, normally the batch's tt. It is compared with
         nothing: neither with the batch's tt nor with the version's tt_s
         (the caller's contract; verify(full=True) reports tt_e <= tt_s).

Raises:
  KeyError      "not_found: no version {vid} to close"
  RuntimeError  an unknown kind; a bad vid; "invariant: no batch is open;
                call begin() first ..."; on a current-only store
                "invariant: a current-only store cannot record a
                correction ..."
The vids before the failing one stay closed.

Example (supersede a version with a new one in one batch):
  >>> store.begin(200); store.stage_closes("edge", [old_vid], 200)
  >>> store.stage_edges(new_version_columns); store.commit()
)";

inline constexpr std::string_view STAGE_RETIRES = R"(Drops versions that this batch staged and has already replaced.

Every staged row of the kind with each vid is removed from the batch (a vid
staged twice loses both rows), together with any close staged against it.
Stored versions cannot be retired, only closed (stage_closes).

Arguments:
  kind   "node" or "edge"
  vids   list of str: version ids staged in this batch

Raises:
  KeyError      "not_found: no version {vid} staged in this batch to
                retire"
  RuntimeError  an unknown kind, a bad vid, or no open batch
The vids before the failing one stay retired.
)";

inline constexpr std::string_view ALL_VERSIONS = R"(Returns every version of one kind, closed or not, as columns.

No time filter: the stored versions of the current generation in segment
and row order, then the rows staged in the open batch. tt_e is raw: the
close time (staged closes included), or OPEN_END while open.

Arguments:
  kind   "node" or "edge"

Returns a dict of lists, one element per version:
  edge: eid, vid, src, dst, rel_type, disc (str), vt_s, vt_e, tt_s, tt_e
        (int), props, source (str), provenance_ref (str or None)
  node: vid, uid, label (str), vt_s, vt_e, tt_s, tt_e (int), props,
        source (str), provenance_ref (str or None)
For large stores prefer scan_edges (columnar) or version_page (paged).

Raises RuntimeError for an unknown kind; engine read errors.
)";

inline constexpr std::string_view BELIEVED = R"(Returns the versions of one edge or node believed at as_of_tt.

Those with tt_s <= as_of_tt < tt_e, stored and staged, ascending by
(vt_s, vid). Several may be believed at once, for different valid times.

Arguments:
  kind       "node" or "edge"
  identity   for "edge" the edge id (eid, 24 hex digits); for "node" the uid
  as_of_tt   int, default OPEN_END: the transaction time of belief; at or
             above OPEN_END - 1 it means current belief (None is refused)

Returns the same dict of lists as all_versions(kind); empty lists when
nothing is believed (also for an unknown uid).

Raises RuntimeError for an unknown kind, an eid that is not 24 hex digits,
or, on a current-only store, an as_of_tt below OPEN_END - 1.

Example:
  >>> store.believed("edge", eid, as_of_tt=150)["props"]
)";

inline constexpr std::string_view BELIEVED_ANY = R"(Returns which of the uids have a node version believed at as_of_tt.

Arguments:
  uids       list of str
  as_of_tt   int, default OPEN_END (current belief at or above
             OPEN_END - 1)

Returns a list of str: those uids with at least one believed node version,
each once, sorted by UTF-8 bytes (upper case before lower case). Unknown
uids are simply absent.

Raises RuntimeError on a current-only store for an as_of_tt below
OPEN_END - 1 (even for an empty list).
)";

inline constexpr std::string_view RESOLVE_ENTITIES = R"(Finds the nodes believed at as_of_tt whose uid or name contains a query.

Matching ignores case. One entry per matching uid, with its best score:
  0  the uid equals the query exactly (case-sensitive)
  1  the uid contains the query
  2  the node's name, the string member "name" of its props, contains it

Arguments:
  query      str
  as_of_tt   int, default OPEN_END (current belief at or above
             OPEN_END - 1)

Returns a list of (uid, score, label, props) tuples (str, int, str, str),
ascending by (score, uid bytes). label and props are those of the uid's
matching version with the latest (vt_s, vid); props is the JSON text,
undecoded (the name need not be a string).

Raises RuntimeError on a current-only store for an as_of_tt below
OPEN_END - 1.

Example:
  >>> store.resolve_entities("ada")
  [('person:ada', 1, 'Person', '{"name":"Ada"}')]
)";

inline constexpr std::string_view PROPS_FOR_VIDS = R"(Returns the property text of each version named by vid.

Arguments:
  kind   "node" or "edge"
  vids   list of str: version ids; texts that are not 24 hex digits are
         skipped without error

Returns a dict vid -> props (JSON text, undecoded) for every vid naming a
stored or staged version of the kind (a staged one wins); vids found
nowhere are absent. Key order is unspecified.

Raises RuntimeError for an unknown kind; engine read errors.
)";

inline constexpr std::string_view SCAN_EDGES = R"(Returns the edge versions believed at as_of_tt in a window, as columns.

Every edge version with tt_s <= as_of_tt < tt_e whose valid interval
[vt_s, vt_e) overlaps [vt_min, vt_max), in (vt_s, vid) order. Only
committed segment files are scanned: rows staged in an open batch do not
appear, closes staged in it apply. Large scans run on VORP_SCAN_THREADS
worker threads; the result does not depend on the thread count.

Arguments (all optional, by keyword):
  as_of_tt       int, default OPEN_END: keeps tt_s <= as_of_tt < tt_e; at
                 or above OPEN_END - 1 it means current belief
  vt_min, vt_max int or None: keeps vt_e > vt_min and vt_s < vt_max; None
                 leaves that side open
  rel_types      list of str or None: keeps these relationship types
                 (None: all; []: none)
  touching_ids   list of int (dense ids, see dense_ids) or None: keeps
                 edges with src_id or dst_id among them (ids cut to 32 bits)
  touching_both  bool, default False: both endpoints must be among them
  limit          int >= 0 or None: the first limit rows in (vt_s, vid) order
  columns        list of str or None (every column): the columns to return,
                 from eid, vt_e, src_id, dst_id, vid, rel_type, disc, props,
                 seg_id, seg_row. Unknown names are ignored; vt_s is always
                 returned; naming eid also returns src_id, dst_id, rel_type
                 and disc (the eid is derived from them); naming seg_id or
                 seg_row returns both.

Returns a dict. First the columns, in this order, one element per row:
  eid                  list of str (24 hex digits)
  vt_s, vt_e           NumPy int64 arrays
  src_id, dst_id       NumPy uint32 arrays: dense ids (uids_for maps them)
  vid, rel_type, disc, props   lists of str (props is JSON text)
  seg_id, seg_row      NumPy int64 arrays: each row's address, for
                       edge_idents_at (valid for this generation only)
The arrays are zero-copy: they own the buffers the scan filled, stay valid
after the store is dropped, and writing to them changes nothing stored.
Then 13 statistics (ints, and float milliseconds of the monotonic clock):
  segments_total, segments_pruned   edge segments considered / skipped
                                    whole by their header
  rows_examined        rows inside a believed range and the vt window
  t_open_ms, t_select_ms, t_cluster_ms, t_materialize_ms, t_order_ms,
  t_copy_ms            the pipeline's phases (order and copy summed over
                       workers)
  clusters, clusters_multi   groups of overlapping segments / of several
  t_eid_ms             deriving edge ids
  t_convert_ms         building the Python result

Raises:
  RuntimeError  on a current-only store, an as_of_tt below OPEN_END - 1;
                engine read errors (a damaged segment: "corrupt: ...")
  KeyError      "dense id {} vanished" (an endpoint left the dictionary)

Example:
  >>> cols = store.scan_edges(as_of_tt=150, columns=["src_id", "props"])
  >>> cols["vt_s"], cols["src_id"], cols["props"], cols["rows_examined"]
)";

inline constexpr std::string_view AGGREGATE_EDGES = R"(Groups the edge versions believed at as_of_tt in a window, and aggregates.

Selected: committed edge versions with tt_s <= as_of_tt < tt_e (at or above
OPEN_END - 1: current belief), a relationship type in rel_types, and
t_a <= vt_s < t_b. A version that starts before t_a is not aggregated,
even though it overlaps the window. Rows staged in an open batch are not
read; closes staged in it apply.

Arguments (all eight required; positionally or by keyword):
  as_of_tt    int: the transaction time of belief
  t_a, t_b    int: the window of vt_s, [t_a, t_b)
  rel_types   list of str, or None for every type ([] selects nothing)
  stride      int or None: the bucket width of ("time_bucket", ...)
  group_by    list of at most two (dimension, role) tuples:
                ("time_bucket", None)  (vt_s - t_a) // stride, truncated
                ("rel_type", None)     index into rel_names
                ("endpoint", "src"|"dst")  that endpoint's dense id
                ("label", "src"|"dst") index into label_names of that
                                       endpoint's label at vt_s, -1: none
              the role of time_bucket and rel_type is ignored (any value)
  aggregates  list of (aggregate, of) tuples, one output column each:
                ("count", None)               versions in the group
                ("count_distinct", "src"|"dst")  distinct endpoint ids
                ("min"|"max"|"mean", "vt_s"|"duration")  of vt_s or of
                  vt_e - vt_s (open-ended versions have no duration)
              the "of" of count is ignored
  max_groups  int >= 0: more groups than this is an error

Returns a dict:
  rows_total   int: the number of groups (0 when aggregates is empty)
  keys         list of 1-D NumPy int64 arrays (zero-copy), one per group_by
               entry, one code per group
  aggs         list of lists, one per aggregate, one value per group: int
               (count, count_distinct, min, max) or float (mean); None where
               a group has no value (min/max/mean of no duration)
  rel_names    list of str: the names of rel_type codes
  label_names  list of str: the names of label codes (empty without a
               label dimension)
Groups are ordered by their keys: endpoint keys by the uid's bytes, other
keys by code. With no group_by there is exactly one group.

Raises:
  RuntimeError  "aggregate_edges: unknown dimension ...", "...: unknown
                aggregate ...", "...: time_bucket requires stride",
                "...: endpoint requires role src|dst, got None", "...: stat
                aggregate requires of vt_s|duration, got ...", "...: at most
                two group_by dimensions, got 3", "...: time_bucket requires
                a non-zero stride"; on a current-only store an as_of_tt
                below OPEN_END - 1
  OverflowError "capacity: aggregate group count {n} exceeds cap {m}"
  TypeError     an entry that is not a 2-tuple (str, str or None)

Example (edge count and mean duration per day and relationship type):
  >>> store.aggregate_edges(OPEN_END, 0, 30 * DAY, None, DAY,
  ...     [("time_bucket", None), ("rel_type", None)],
  ...     [("count", None), ("mean", "duration")], 10_000)
)";

inline constexpr std::string_view EDGE_IDENTS_AT = R"(Returns the edge id and relationship type of the rows at given addresses.

Arguments:
  seg_ids    list of int: segment ids, as scan_edges returns them in seg_id
  seg_rows   list of int, as long as seg_ids: rows, from seg_row
An address is meaningful only in the generation that produced it: stamp
persisted addresses with generation() and manifest_sha().

Returns a tuple (eids, rel_types) of two lists of str, one entry per
address, in input order.

Raises RuntimeError "invariant: edge_idents_at: seg_ids and seg_rows differ
in length", "invariant: segment id {} is not in the current generation"
(also after compaction replaced it), "invariant: row {} is out of bounds
for segment {}".

Example:
  >>> at = store.scan_edges(limit=10, columns=["seg_id"])  # seg_row too
  >>> eids, rel_types = store.edge_idents_at(at["seg_id"].tolist(),
  ...                                        at["seg_row"].tolist())
)";

inline constexpr std::string_view MANIFEST_SHA = R"(Returns the current manifest's sha: 16 lowercase hex digits (str).

It is the digest CURRENT publishes beside the generation number, a Merkle
root over the manifest's segment lists.
)";

inline constexpr std::string_view MANIFEST_FORMAT = R"(Returns the current manifest's format (int).

3, or 1 or 2 for an older store, which opens read-only until
upgrade_manifests().
)";

inline constexpr std::string_view CHECKPOINT_GENERATION = R"(Returns the generation of the checkpoint the manifest chain rests on (int).

Commits write deltas and, every VORP_MANIFEST_CHECKPOINT_EVERY generations,
a checkpoint; compact and upgrade_manifests always write one. gc may rewrite
files as checkpoints without changing this value until the next commit or
reopen.
)";

inline constexpr std::string_view SCAN_NODES = R"(Returns the node versions believed at as_of_tt in a window, as columns.

Every node version with tt_s <= as_of_tt < tt_e whose valid interval
[vt_s, vt_e) overlaps [vt_min, vt_max); stored and staged versions,
ascending by (vt_s, vid).

Arguments:
  as_of_tt       int, default OPEN_END: keeps tt_s <= as_of_tt < tt_e; at or
                 above OPEN_END - 1 it means current belief
  vt_min, vt_max int or None: keeps vt_e > vt_min and vt_s < vt_max; None
                 leaves that side open

Returns a dict, keys in this order:
  uid_id, vt_s, vt_e    NumPy int64 arrays (zero-copy): dense id, valid time
  uid, vid, label       lists of str
  segments_total        int: node segments of the current generation
  rows                  int: rows returned
  rows_examined         int: stored node rows swept plus staged node rows
  rows_materialized     int: rows kept (equal to rows)
  t_materialize_ms, t_sort_ms (always 0.0), t_convert_ms   float ms

Raises RuntimeError on a current-only store for an as_of_tt below
OPEN_END - 1; engine read errors.
)";

inline constexpr std::string_view VERSION_PAGE = R"(Returns one page of a kind's version history, and the history's size.

The population: versions (stored and staged) with vt_s < t_b and
vt_e > t_a, tt_s <= as_of_tt, for edges a relationship type in rel_types,
and the belief mode. Ordered by (tt_s, vid); the page is
population[offset : offset + limit], with Python's slicing rules. Only the
page's rows are built (no props).

Arguments (all eight required):
  kind       "node" or "edge"
  as_of_tt   int: the transaction time of belief; at or above
             OPEN_END - 1 it means current belief
  t_a, t_b   int: the valid-time window [t_a, t_b)
  belief     "current" (tt_e > as_of_tt: believed then), "superseded"
             (tt_e <= as_of_tt: closed by then) or "all"
  rel_types  list of str or None (edges only; must be None for nodes)
  offset     int: the first row; negative counts from the end
  limit      int: the stop is offset + limit, counted from the end too when
             negative: offset -5 with limit 5 is [-5:0], an empty page; for
             the last rows give a limit past the end (offset -5, limit
             OPEN_END). 0 or negative with a non-negative offset: empty.

Returns a dict, keys in this order:
  edge: vid, eid, src, dst, rel_type, disc (lists of str), vt_s, vt_e,
        tt_s, tt_e (NumPy int64 arrays), rows_total (int)
  node: vid, uid, label (lists of str), vt_s, vt_e, tt_s, tt_e (NumPy
        int64 arrays), rows_total (int)
rows_total is the population's size, whatever the page holds. tt_e is raw:
the close time even where it lies after as_of_tt, or OPEN_END.

Raises RuntimeError "unknown row kind ...", "unknown belief mode ...;
expected 'current', 'superseded' or 'all'", "'rel_types' is only
meaningful with kind 'edge'; ...", in that order.

Example (the first 50 edge versions ever recorded):
  >>> store.version_page("edge", OPEN_END, -OPEN_END, OPEN_END, "all",
  ...                    None, 0, 50)
)";

inline constexpr std::string_view STATS = R"(Returns statistics over every stored version, closed ones included.

A dict, keys in this order:
  n_entities       int: dictionary entries (as num_entities())
  n_node_versions  int: node versions stored
  n_edge_versions  int: edge versions stored
  vt_min, vt_max   int or None: the smallest edge vt_s and the largest edge
                   vt_e (vt_s + 1 for an open-ended one); None when unset
  rel_type_counts  dict str -> int: edge versions per relationship type
  max_out_degree   int: most edge versions with one source entity
  generation       int: the current generation
Computed by one walk of the store when first needed, then kept up to date
by each commit. A walk made while a batch is open also counts the batch's
staged rows and is not kept (the next call walks again); once a walk has
been kept, rows staged in an open batch are not counted.
)";

inline constexpr std::string_view VERIFY = R"(Checks the store and returns a report of findings.

Fast mode: the manifest's digest, the rebuild of the manifest chain from
disk, every segment file (read whole, every checksum verified, row count),
every close-run file, and the dictionary's record count (uids added by
ensure_entities since the last commit are reported as a mismatch). Full
mode adds CURRENT, the links of the manifest chain, the targets of closes,
and a walk of every row: dictionary codes, string references, empty valid
(vt_s >= vt_e) or belief (tt_s >= tt_e) intervals, and believed versions of
one identity that overlap in valid time, which is how the caller's
contract is checked after the fact. Nothing is written or cached.

Arguments:
  full   bool, default False: run the full mode

Returns a dict, keys in this order:
  mode ("fast" or "full"), generation, manifest_format,
  manifest_checkpoint, manifest_deltas, segments_checked,
  close_runs_checked, rows, closes, dict_records, tt_s_runs, max_tt_s_runs,
  rows_walked, believed_rows, identities_checked (ints; the last three 0
  in fast mode),
  problems   list of str: the detail of every error finding
  findings   list of dicts with keys layer, kind, path, generation,
             detail, severity
  healthy    bool: True exactly when problems is empty

Raises RuntimeError when the handle's own manifest fails its checksum or
format check; damage found in files is reported, not raised.

Example:
  >>> report = store.verify(full=True)
  >>> report["healthy"], [f["kind"] for f in report["findings"]]
)";

inline constexpr std::string_view NEEDS_COMPACTION = R"(Returns whether compaction is worthwhile (bool).

True when the current manifest names 5 or more segment files or at least
one close-run file. Reads only the manifest.
)";

inline constexpr std::string_view COMPACT = R"(Rewrites the current generation into fresh segments, as the next one.

Every version is kept, with its vid, texts, times and tt_e; closes are
folded into the new segments, so the new generation names no close-run
file. The old files stay on disk until gc() removes them (with the default
keep_last=2 the pre-compaction generation is kept). Every version is held
in memory at once. A store without segment files is left as it is.

Returns a dict of ints: segments_before, segments_after, closes_folded
(versions whose close was folded), edge_rows, node_rows.

Raises RuntimeError "invariant: cannot compact while a batch is open ...",
the read-only error of a format 1 or 2 store, or another handle (in this
process or another) writing, with nothing changed; OSError for I/O failures
(the store stays at its generation).
)";

inline constexpr std::string_view COMPACT_CURRENT_ONLY = R"(Strips the store to its currently believed versions, for good.

Rewrites the current generation as compact() does but keeps only the
versions never closed (tt_e == OPEN_END), publishes it as the next
generation, and marks the store current-only. After it, reads of belief
at a past transaction time (as_of_tt below OPEN_END - 1) and stage_closes
are refused, on this handle and on every later open (the CURRENT_ONLY
marker file). The only way back is rebuilding the store from the event
log.

Returns a dict of ints: segments_before, segments_after, versions_dropped,
edge_rows, node_rows.

Raises as compact().
)";

inline constexpr std::string_view CURRENT_ONLY = R"(Returns whether the store is current-only (bool).

True after compact_current_only(), on this handle or before this open
(the CURRENT_ONLY marker file): past belief can no longer be read.
)";

inline constexpr std::string_view GC = R"(Removes the files that no retained generation needs.

Manifest-chain files of generations that are not retained, and the
segment and close-run files no remaining manifest names. Retained: the
keep_last most recent generations and every generation that a handle of
this process has open. Retained deltas whose parent goes are
rewritten as checkpoints first. Also removes leftover temporary files in
manifests/ and segment or close-run files of failed commits. Never touches
CURRENT, CURRENT_ONLY or dict.log, nor the handle's generation. A handle in
another process is not protected.

Arguments:
  keep_last   int >= 0, default 2: the number of most recent generations to
              keep (0 counts as 1)

Returns a dict of ints: manifests_removed, segments_removed,
close_runs_removed, bytes_reclaimed, generations_retained.

Raises RuntimeError "invariant: cannot collect generations while a batch is
open ...", the read-only error of a format 1 or 2 store, or another handle
(in this process or another) writing, with nothing removed; OSError or
RuntimeError when a file cannot be listed, read or removed (a later run
finishes the work).
)";

inline constexpr std::string_view UPGRADE_MANIFESTS = R"(Converts a format 1 or 2 store to manifest format 3 (a new checkpoint).

Publishes the current manifest again, in format 3, as the next
generation's checkpoint; afterwards the store is writable. On a format-3
store nothing is written.

Returns a dict: upgraded (bool), from_format (int), to_format (int, 3),
generation (int), manifest_sha (str, the new one after an upgrade).

Raises RuntimeError "invariant: cannot upgrade manifests while a batch is
open ...", the read-only error of an unknown format, or another handle (in
this process or another) writing; OSError for I/O failures.
)";

}  // namespace vorp::py::doc

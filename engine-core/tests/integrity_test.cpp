#include "vorp/integrity.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <memory>
#include <unordered_set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

#include "segment_image.h"
#include "store_support.h"
#include "vorp/checksum.h"
#include "vorp/derive.h"
#include "vorp/dict.h"
#include "vorp/manifest_chain.h"
#include "vorp/segment.h"
#include "vorp/staging.h"
#include "vorp/store.h"
#include "vorp/visibility.h"
#include "store_access.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;
using vorp::testing::TempDir;
using vorp::testing::read_text;
using vorp::testing::write_text;
using vorp::testing::open_ok;

constexpr std::string_view RESTORE = " \u2014 restore the previous generation, or rebuild with `vorp replay` from the event log";

EdgeRow edge(std::uint32_t src, std::uint32_t dst, std::string rel, std::uint64_t vid, std::int64_t vt_s,
             std::int64_t vt_e, std::int64_t tt_s) {
    EdgeRow row;
    row.src_id = src;
    row.dst_id = dst;
    row.rel_type = std::move(rel);
    row.props = "{\"w\":1}";
    row.source = "feed";
    row.vid = Id96{vid, 0};
    row.vt_s = vt_s;
    row.vt_e = vt_e;
    row.tt_s = tt_s;
    return row;
}

NodeRow node(std::uint32_t uid_id, std::uint64_t vid, std::int64_t vt_s, std::int64_t vt_e, std::int64_t tt_s) {
    NodeRow row;
    row.uid_id = uid_id;
    row.label = "Person";
    row.props = "{\"name\":\"n\"}";
    row.source = "feed";
    row.vid = Id96{vid, 1};
    row.vt_s = vt_s;
    row.vt_e = vt_e;
    row.tt_s = tt_s;
    return row;
}

// Builds a store generation by generation with the engine's own writers (segments, close runs,
// dict.log, the manifest chain and CURRENT), including contents that staging would refuse.
struct StoreBuilder {
    TempDir dir{"vorp-integrity"};
    fs::path root = dir.path;
    Dictionary dict = Dictionary::for_root(root);
    Manifest head;
    Manifest next;
    std::uint64_t checkpoint = 0;

    StoreBuilder() { head = open_ok(root)->manifest(); }

    std::uint32_t entity(const std::string& uid) { return dict.push(uid, "Person"); }
    void begin(std::int64_t tt) { next = head.successor(tt); }

    std::string take_segment_file() { return segment_relative_path(next.next_segment_id++).string(); }

    // Rows must be in stored order (vt_s, vid). Returns the entry's file.
    std::string edges(std::vector<EdgeRow> rows, Lane lane = Lane::Event,
                      std::vector<std::pair<std::uint32_t, std::int64_t>> closed = {}) {
        const std::string file = take_segment_file();
        SegmentWriteOptions options;
        options.lane = lane;
        options.closed_rows = std::move(closed);
        const std::size_t closed_count = options.closed_rows.size();
        const Status written = write_edge_segment(root / file, rows, options);
        if (!written) throw std::runtime_error(written.error().display());
        (lane == Lane::Event ? next.edge_lanes.event : next.edge_lanes.interval)
            .push_back(sealed_entry(rows, file, static_cast<std::uint32_t>(closed_count)));
        return file;
    }
    std::string nodes(std::vector<NodeRow> rows, std::vector<std::pair<std::uint32_t, std::int64_t>> closed = {}) {
        const std::string file = take_segment_file();
        SegmentWriteOptions options;
        options.closed_rows = std::move(closed);
        const std::size_t closed_count = options.closed_rows.size();
        const Status written = write_node_segment(root / file, rows, options);
        if (!written) throw std::runtime_error(written.error().display());
        next.node_store.push_back(sealed_entry(rows, file, static_cast<std::uint32_t>(closed_count)));
        return file;
    }
    void closes(std::vector<StagedClose> rows) {
        const std::string file = close_run_relative_path(next.generation).string();
        if (!write_close_run(root / file, rows)) throw std::runtime_error("close run not written");
        next.close_runs.push_back(CloseRunRef{file, static_cast<std::uint32_t>(rows.size()), ""});
    }
    void publish_next() {
        const DictCommit committed = dict.commit_to_disk().value();
        next.dict = {committed.records, committed.bytes};
        next.seal();
        const ManifestMerkle merkle = ManifestMerkle::from_manifest(head);
        const DeltaBase base{head.manifest_sha, head.generation, merkle.lens(), head.widths, merkle};
        auto published = publish(root, base, checkpoint, next, false, DEFAULT_CHECKPOINT_EVERY);
        if (!published || published->unsynced) throw std::runtime_error("publish failed");
        checkpoint = published->stats.checkpoint_generation;
        head = next;
    }
};

template <class T>
T must(Result<T> result) {
    if (!result) throw std::runtime_error(result.error().display());
    if constexpr (!std::is_void_v<T>) return std::move(*result);
}

// One batch through the handle: begin, stage, close, commit.
void commit_batch(NativeStore& store, std::int64_t tt, std::vector<EdgeRow> edges, std::vector<NodeRow> nodes,
                  std::vector<std::tuple<RowKind, Id96, std::int64_t>> closes = {}) {
    must(store.begin(tt));
    for (EdgeRow& row : edges) must(store.stage_edge(std::move(row)));
    for (NodeRow& row : nodes) must(store.stage_node(std::move(row)));
    for (const auto& [kind, vid, tt_e] : closes) must(store.close_version(kind, vid, tt_e));
    must(store.commit(store.manifest().event_log));
}

// Three generations committed through a handle: a, b, c and edges between them; generation 2
// closes the first a-knows-b version (a close run) and adds its replacement, generation 3 adds an
// interval-lane edge and a node segment whose first row was closed in its own batch (folded into
// the segment). `published` runs after each commit.
//   seg 0 (event):    row 0 a-knows-b [0,10) tt 100 (closed at 200 by close/2), row 1 b-knows-c [5,15) tt 100
//   seg 1 (nodes):    a [0,100) tt 100
//   seg 2 (event):    a-knows-b [0,10) tt 200
//   seg 3 (interval): a-likes-c [0,50) tt 300
//   seg 4 (nodes):    b [0,50) tt 300 closed at 400 (folded), b [40,90) tt 300
void build_base(StoreBuilder& b, const std::function<void()>& published = [] {}) {
    const auto store = open_ok(b.root);
    StoreTestAccess::set_lane_stride(*store, 10);  // [0, 50) spans five lane buckets: the interval lane
    const std::uint32_t a = store->add_entity("a", "Person").value(), bb = store->add_entity("b", "Person").value(),
                        c = store->add_entity("c", "Person").value();
    commit_batch(*store, 100, {edge(a, bb, "knows", 1, 0, 10, 100), edge(bb, c, "knows", 2, 5, 15, 100)},
                 {node(a, 10, 0, 100, 100)});
    published();
    commit_batch(*store, 200, {edge(a, bb, "knows", 3, 0, 10, 200)}, {}, {{RowKind::Edge, Id96{1, 0}, 200}});
    published();
    commit_batch(*store, 300, {edge(a, c, "likes", 4, 0, 50, 300)}, {node(bb, 11, 0, 50, 300), node(bb, 12, 40, 90, 300)},
                 {{RowKind::Node, Id96{11, 1}, 400}});
    published();
}

std::string eid_text(std::string_view src, std::string_view dst, std::string_view rel, std::string_view disc = "") {
    return edge_eid(src, dst, rel, disc).to_hex();
}

// "*" in an expected detail stands for any run of hexadecimal digits (computed checksums).
bool detail_matches(std::string_view expected, std::string_view actual) {
    const std::size_t star = expected.find('*');
    if (star == std::string_view::npos) return expected == actual;
    if (!actual.starts_with(expected.substr(0, star))) return false;
    std::size_t at = star;
    while (at < actual.size() && std::isxdigit(static_cast<unsigned char>(actual[at]))) ++at;
    if (at == star) return false;
    return detail_matches(expected.substr(star + 1), actual.substr(at));
}

std::string describe(const std::vector<Finding>& findings) {
    std::string out;
    for (const Finding& f : findings)
        out += fmt::format("  {{{}, {}, {}, {}, {}}}\n", f.layer, f.kind, f.path, f.generation, f.detail);
    return out;
}

struct DamageCase {
    std::string name;
    // Builds the store (default: build_base).
    std::function<void(StoreBuilder&)> build;
    // Damages it after the handle has opened; may change the handle too.
    std::function<void(StoreBuilder&, NativeStore&)> damage;
    // Every finding of the full mode, in order; the first `fast` of them are the fast mode's.
    // "{root}" stands for the store root in details.
    std::vector<Finding> expected;
    std::size_t fast = 0;
};

Finding F(std::string layer, std::string kind, std::string path, std::uint64_t generation, std::string detail) {
    return Finding{std::move(layer), std::move(kind), std::move(path), generation, std::move(detail), "error"};
}

void expect_findings(const std::vector<Finding>& expected, const std::vector<Finding>& actual, const fs::path& root,
                     const std::string& what) {
    SCOPED_TRACE(what + ", actual:\n" + describe(actual));
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        std::string detail = expected[i].detail;
        for (std::size_t at; (at = detail.find("{root}")) != std::string::npos;) detail.replace(at, 6, root.string());
        EXPECT_EQ(actual[i].layer, expected[i].layer) << i;
        EXPECT_EQ(actual[i].kind, expected[i].kind) << i;
        EXPECT_EQ(actual[i].path, expected[i].path) << i;
        EXPECT_EQ(actual[i].generation, expected[i].generation) << i;
        EXPECT_TRUE(detail_matches(detail, actual[i].detail)) << i << ": " << actual[i].detail << "\n vs " << detail;
        EXPECT_EQ(actual[i].severity, "error");
    }
}

void flip_byte(const fs::path& path, std::size_t offset) {
    std::string bytes = read_text(path);
    bytes.at(offset) = static_cast<char>(bytes.at(offset) ^ 0x40);
    write_text(path, bytes);
}

void rewrite_delta(const fs::path& root, std::uint64_t generation, const std::function<void(ManifestDelta&)>& change) {
    ManifestRecord record = read_record(root, generation).value();
    ManifestDelta& delta = record.delta();
    change(delta);
    delta.seal();
    write_text(manifest_path(root, generation), delta.to_json());
}

// A segment file taken apart into its header, the values of every column (stored raw) and its raw
// string table, to be changed and laid out again with every checksum recomputed: damage that only
// the row walk can see.
struct SegmentImage {
    SegmentHeader header;
    std::vector<std::string> extents;  // per header column, rows * width bytes
    std::string table;

    static SegmentImage read(const fs::path& path) {
        const auto segment = must(Segment::open(path, SegmentSource(must(MemorySource::load(path))), true));
        SegmentImage image;
        image.header = segment->header;
        const auto bytes_of = [](auto values) {
            return std::string(reinterpret_cast<const char*>(values.data()), values.size_bytes());
        };
        for (const ColumnDesc& desc : image.header.columns) {
            switch (desc.dtype) {
                case DType::I64: image.extents.push_back(bytes_of(must(segment->typed<std::int64_t>(desc.name)))); break;
                case DType::U64: image.extents.push_back(bytes_of(must(segment->typed<std::uint64_t>(desc.name)))); break;
                case DType::U32: image.extents.push_back(bytes_of(must(segment->typed<std::uint32_t>(desc.name)))); break;
                case DType::U16: image.extents.push_back(bytes_of(must(segment->typed<std::uint16_t>(desc.name)))); break;
            }
        }
        const StringView strings = must(segment->strings());
        image.table = std::string(4, '\0') + bytes_of(strings.offsets) + bytes_of(strings.data);
        std::memcpy(image.table.data(), &strings.count, 4);
        return image;
    }

    std::size_t column(std::string_view name) const {
        for (std::size_t index = 0; index < header.columns.size(); ++index)
            if (header.columns[index].name == name) return index;
        throw std::runtime_error(fmt::format("no column {}", name));
    }
    template <class T>
    void set(std::string_view name, std::size_t row, T value) {
        std::memcpy(extents[column(name)].data() + row * sizeof(T), &value, sizeof(T));
    }
    void drop(std::string_view name) {
        const std::size_t index = column(name);
        header.columns.erase(header.columns.begin() + static_cast<std::ptrdiff_t>(index));
        extents.erase(extents.begin() + static_cast<std::ptrdiff_t>(index));
    }

    void write(const fs::path& path) const {
        SegmentHeader laid = header;
        for (ColumnDesc& desc : laid.columns) desc.codec = CODEC_RAW;
        write_text(path, testing::craft(std::move(laid), extents, table));
    }
};

void edit_segment(const fs::path& path, const std::function<void(SegmentImage&)>& edit) {
    SegmentImage image = SegmentImage::read(path);
    edit(image);
    image.write(path);
}

const std::string SEG0 = "seg/000000000000.vos";
const std::string SEG1 = "seg/000000000001.vos";
const std::string SEG2 = "seg/000000000002.vos";
const std::string SEG4 = "seg/000000000004.vos";
const std::string CLOSE2 = "close/000000000002.voc";

std::vector<DamageCase> damage_cases() {
    std::vector<DamageCase> cases;
    cases.push_back({"missing segment", nullptr, [](StoreBuilder& b, NativeStore&) { fs::remove(b.root / SEG2); },
                     {F("segment", "segment-missing", SEG2, 3,
                        SEG2 + ": io: No such file or directory (os error 2) [file={root}/" + SEG2 + "]")},
                     1});
    cases.push_back({"flipped byte in a segment's string heap", nullptr,
                     [](StoreBuilder& b, NativeStore&) {
                         const std::string bytes = read_text(b.root / SEG2);
                         const std::size_t at = bytes.find("{\"w\":1}");
                         ASSERT_NE(at, std::string::npos);
                         flip_byte(b.root / SEG2, at + 2);
                     },
                     {F("segment", "segment-unreadable", SEG2, 3,
                        SEG2 + ": corrupt: segment body checksum mismatch: computed *, recorded * [file={root}/" + SEG2 +
                            "]" + std::string(RESTORE))},
                     1});
    cases.push_back({"segment cut short", nullptr,
                     [](StoreBuilder& b, NativeStore&) {
                         const std::string bytes = read_text(b.root / SEG4);
                         write_text(b.root / SEG4, bytes.substr(0, bytes.size() - 4) + "XXXX");
                     },
                     {F("segment", "segment-unreadable", SEG4, 3,
                        SEG4 +
                            ": corrupt: segment has no completion marker \u2014 it was never finished being written "
                            "[file={root}/" +
                            SEG4 + "]" + std::string(RESTORE))},
                     1});
    // Losing the close run brings the closed version back: it now overlaps its replacement.
    cases.push_back({"truncated close run", nullptr,
                     [](StoreBuilder& b, NativeStore&) { fs::resize_file(b.root / CLOSE2, 20); },
                     {F("close", "close-run-unreadable", CLOSE2, 3,
                        CLOSE2 +
                            ": corrupt: close run has no completion marker \u2014 it was never finished being written "
                            "[file={root}/" +
                            CLOSE2 + "]" + std::string(RESTORE)),
                      F("row", "believed-versions-overlap", "", 3,
                        "edge " + eid_text("a", "b", "knows") +
                            ": believed versions [0, 10) and [0, 10) overlap in valid time")},
                     1});
    cases.push_back({"missing chain link", nullptr,
                     [](StoreBuilder& b, NativeStore&) { fs::remove(manifest_path(b.root, 2)); },
                     {F("manifest", "chain-broken", "", 3,
                        "manifest chain: manifest chain broken below generation 3: generation 2 is unreadable: No such "
                        "file or directory (os error 2)"),
                      F("manifest", "parent-missing", "manifests/00000000000000000003.json", 3,
                        "generation 3 is a delta against generation 2, which is not on disk")},
                     1});
    cases.push_back({"chain link naming the wrong parent sha", nullptr,
                     [](StoreBuilder& b, NativeStore&) {
                         rewrite_delta(b.root, 2, [](ManifestDelta& d) { d.parent_sha = "0123456789abcdef"; });
                     },
                     {F("manifest", "chain-broken", "", 3,
                        "manifest chain: manifest chain broken at generation 2: delta names parent sha "
                        "0123456789abcdef but generation 1 reconstructs to *"),
                      F("manifest", "parent-sha-mismatch", "manifests/00000000000000000002.json", 2, "")},
                     1});
    cases.push_back({"CURRENT publishing another digest", nullptr,
                     [](StoreBuilder& b, NativeStore&) { write_text(b.root / "CURRENT", "3 0123456789abcdef\n"); },
                     {F("manifest", "digest-oracle-mismatch", "CURRENT", 3, "")}, 0});
    cases.push_back({"CURRENT missing", nullptr,
                     [](StoreBuilder& b, NativeStore&) { fs::remove(b.root / "CURRENT"); },
                     {F("manifest", "current-unreadable", "CURRENT", 3,
                        "CURRENT could not be read: No such file or directory (os error 2)")},
                     0});
    cases.push_back({"CURRENT not UTF-8", nullptr,
                     [](StoreBuilder& b, NativeStore&) { write_text(b.root / "CURRENT", "3 \xff\n"); },
                     {F("manifest", "current-unreadable", "CURRENT", 3,
                        "CURRENT could not be read: stream did not contain valid UTF-8")},
                     0});
    cases.push_back({"CURRENT with the generation alone", nullptr,
                     [](StoreBuilder& b, NativeStore&) { write_text(b.root / "CURRENT", "3\n"); },
                     {F("manifest", "current-malformed", "CURRENT", 3,
                        "CURRENT must contain '<generation> <sha>', found \"3\\n\"")},
                     0});
    cases.push_back({"CURRENT whose generation does not parse", nullptr,
                     [](StoreBuilder& b, NativeStore&) { write_text(b.root / "CURRENT", "three abc\n"); },
                     {F("manifest", "current-malformed", "CURRENT", 3, "CURRENT generation is not a number: \"three\"")},
                     0});
    cases.push_back({"CURRENT naming a newer generation", nullptr,
                     [](StoreBuilder& b, NativeStore&) { write_text(b.root / "CURRENT", "+4 abc extra\n"); }, {}, 0});
    cases.push_back({"handle manifest that no longer matches the chain", nullptr,
                     [](StoreBuilder&, NativeStore& store) {
                         StoreTestAccess::manifest(store).stats.max_out_degree = 7;
                         StoreTestAccess::manifest(store).seal();
                     },
                     {F("manifest", "reconstruction-mismatch", "manifests/00000000000000000003.json", 3, ""),
                      F("manifest", "digest-oracle-mismatch", "CURRENT", 3, "")},
                     1});
    cases.push_back({"uids added since the last commit (kept: counted in memory)", nullptr,
                     [](StoreBuilder&, NativeStore& store) { store.add_entity("d", "Person").value(); },
                     {F("dict", "record-count-mismatch", "dict.log", 3, "dictionary holds 4 records, manifest claims 3")},
                     1});
    cases.push_back({"dict.log shorter than the manifest says", nullptr,
                     [](StoreBuilder& b, NativeStore&) { fs::resize_file(b.root / "dict.log", 10); },
                     {F("dictionary", "dict-unreadable", "dict.log", 3,
                        "dict.log: corrupt: dictionary is shorter than its manifest claims (10 bytes on disk, 45 "
                        "expected) [file={root}/dict.log]" +
                            std::string(RESTORE))},
                     0});
    cases.push_back({"uid recorded twice in dict.log",
                     [](StoreBuilder& b) {
                         const auto store = open_ok(b.root);
                         store->add_entity("a", "Person").value();
                         store->add_entity("b", "Person").value();
                         store->add_entity("a", "Person").value();
                         commit_batch(*store, 100, {}, {node(0, 1, 0, 10, 100), node(2, 2, 20, 30, 100)});
                     },
                     nullptr,
                     {F("dictionary", "dict-duplicate-uid", "dict.log", 1, "uid \"a\" is recorded as dense ids 0 and 2")},
                     0});
    cases.push_back({"overlapping believed versions and empty intervals",
                     [](StoreBuilder& b) {
                         const auto store = open_ok(b.root);
                         const std::uint32_t a = store->add_entity("a", "Person").value(), bb = store->add_entity("b", "Person").value();
                         // Edge rows 0..3 in (vt_s, vid) order, row 3 an empty valid interval; nodes:
                         // b twice over [5, 20) and [10, 30), and a closed in the next batch before it began.
                         commit_batch(*store, 100,
                                      {edge(a, bb, "knows", 1, 0, 10, 100), edge(a, bb, "knows", 2, 1, 2, 100),
                                       edge(a, bb, "knows", 3, 3, 4, 100), edge(bb, a, "knows", 4, 7, 7, 100)},
                                      {node(a, 5, 0, 9, 100), node(bb, 6, 5, 20, 100), node(bb, 7, 10, 30, 100)});
                         commit_batch(*store, 200, {}, {}, {{RowKind::Node, Id96{5, 1}, 50}});
                     },
                     nullptr,
                     {F("row", "valid-interval-empty", SEG0, 2, SEG0 + " row 3: vt_s 7 is not before vt_e 7"),
                      F("row", "belief-interval-empty", "seg/000000000001.vos", 2,
                        "seg/000000000001.vos row 0: tt_s 100 is not before tt_e 50"),
                      // Only neighbours are compared: [0,10) also covers [3,4) but is not reported with it.
                      F("row", "believed-versions-overlap", "", 2,
                        "edge " + eid_text("a", "b", "knows") +
                            ": believed versions [0, 10) and [1, 2) overlap in valid time"),
                      F("row", "believed-versions-overlap", "", 2,
                        "node b: believed versions [5, 20) and [10, 30) overlap in valid time")},
                     0});
    cases.push_back({"counts and targets that disagree with the manifest",
                     [](StoreBuilder& b) {
                         const std::uint32_t a = b.entity("a");
                         b.begin(100);
                         b.nodes({node(a, 1, 0, 10, 100)});
                         b.next.node_store.back().rows = 5;
                         b.closes({StagedClose{0, 300, 1, false}, StagedClose{0, 300, 5, false},
                                   StagedClose{77, 300, 9, false}});
                         b.next.close_runs.back().entries = 2;
                         b.publish_next();
                     },
                     nullptr,
                     {F("segment", "row-count-mismatch", "seg/000000000000.vos", 1,
                        "seg/000000000000.vos: manifest claims 5 rows, segment holds 1"),
                      F("close", "entry-count-mismatch", "close/000000000001.voc", 1,
                        "close/000000000001.voc: manifest claims 2 entries, file holds 3"),
                      F("close", "close-row-out-of-range", "", 1,
                        "a close run closes row 5 of segment 0, which holds 5 rows")},
                     2});
    cases.push_back({"dictionary codes past the committed records",
                     [](StoreBuilder& b) {
                         const std::uint32_t a = b.entity("a");
                         b.begin(100);
                         b.edges({edge(a, 9, "knows", 1, 0, 10, 100)});
                         b.nodes({node(3, 2, 0, 10, 100)});
                         b.publish_next();
                     },
                     nullptr,
                     {F("dict", "dict-code-out-of-range", SEG0, 1,
                        SEG0 + " row 0: dst_id names dictionary code 9, but the manifest commits only 1 records"),
                      F("dict", "dict-code-out-of-range", "seg/000000000001.vos", 1,
                        "seg/000000000001.vos row 0: uid_id names dictionary code 3, but the manifest commits only 1 "
                        "records")},
                     0});
    cases.push_back({"created_tt going backwards (but not after the genesis)",
                     [](StoreBuilder& b) {
                         b.begin(-5);
                         b.publish_next();
                         b.begin(-9);
                         b.publish_next();
                     },
                     nullptr,
                     {F("manifest", "chain-not-monotone", "manifests/00000000000000000002.json", 2,
                        "generation 2 moves created_tt backwards: -5 at generation 1, -9 here")},
                     0});
    // Valid-time neighbours do not overlap; the same interval twice does, once per identity.
    cases.push_back({"believed intervals meeting at a boundary, and repeated",
                     [](StoreBuilder& b) {
                         const std::uint32_t a = b.entity("a"), bb = b.entity("b");
                         b.begin(100);
                         b.edges({edge(a, bb, "knows", 1, 1, 5, 100), edge(a, bb, "likes", 2, 1, 5, 100),
                                  edge(a, bb, "likes", 3, 1, 5, 100), edge(a, bb, "knows", 4, 5, 9, 100)});
                         b.nodes({node(a, 5, 1, 5, 100), node(bb, 6, 1, 5, 100), node(bb, 7, 1, 5, 100),
                                  node(a, 8, 5, 9, 100)});
                         b.publish_next();
                     },
                     nullptr,
                     {F("row", "believed-versions-overlap", "", 1,
                        "edge " + eid_text("a", "b", "likes") + ": believed versions [1, 5) and [1, 5) overlap in valid time"),
                      F("row", "believed-versions-overlap", "", 1,
                        "node b: believed versions [1, 5) and [1, 5) overlap in valid time")},
                     0});
    // Two believed a-knows-b versions that overlap, one of them patched: a fault in its props
    // leaves its identity in the overlap test, a fault in rel_code or disc_ref takes it out.
    const auto overlapping_pair = [](StoreBuilder& b) {
        const std::uint32_t a = b.entity("a"), bb = b.entity("b");
        b.begin(100);
        b.edges({edge(a, bb, "knows", 1, 1, 5, 100), edge(a, bb, "knows", 2, 2, 6, 100)});
        b.publish_next();
    };
    const Finding pair_overlap = F("row", "believed-versions-overlap", "", 1,
                                   "edge " + eid_text("a", "b", "knows") + ": believed versions [1, 5) and [2, 6) overlap in valid time");
    const auto patched = [&](std::string name, std::function<void(SegmentImage&)> edit, std::vector<Finding> expected) {
        cases.push_back({std::move(name), overlapping_pair,
                         [edit](StoreBuilder& b, NativeStore&) { edit_segment(b.root / SEG0, edit); }, std::move(expected), 0});
    };
    const auto P = [](std::string kind, const std::string& rest) { return F("segment", std::move(kind), SEG0, 1, SEG0 + rest); };
    patched("patched props_ref past the table", [](SegmentImage& s) { s.set<std::uint32_t>("props_ref", 0, 99); },
            {P("string-ref-out-of-range", " row 0: props_ref names string 99 of 3 in this segment's heap"), pair_overlap});
    patched("patched disc_ref past the table", [](SegmentImage& s) { s.set<std::uint32_t>("disc_ref", 0, 3); },
            {P("string-ref-out-of-range", " row 0: disc_ref names string 3 of 3 in this segment's heap")});
    // Reads refuse the none marker in disc_ref; it was once let through and then ended the walk.
    patched("disc_ref holding the none marker", [](SegmentImage& s) { s.set<std::uint32_t>("disc_ref", 1, NO_STRING); },
            {P("string-ref-out-of-range", " row 1: disc_ref names string 4294967295 of 3 in this segment's heap")});
    patched("patched rel_code", [](SegmentImage& s) { s.set<std::uint16_t>("rel_code", 1, 1); },
            {P("rel-code-out-of-range", " row 1: rel_code 1 has no entry among the segment's 1 rel_types")});
    // A close above OPEN_END does not end belief: the version still overlaps its neighbour.
    cases.push_back({"close above OPEN_END",
                     [](StoreBuilder& b) {
                         const std::uint32_t a = b.entity("a"), bb = b.entity("b");
                         b.begin(100);
                         b.edges({edge(a, bb, "knows", 1, 1, 5, 100), edge(a, bb, "knows", 2, 2, 6, 100)});
                         b.closes({StagedClose{0, OPEN_END + 1, 0, true}});
                         b.publish_next();
                     },
                     nullptr, {F("row", "believed-versions-overlap", "", 1,
                                 "edge " + eid_text("a", "b", "knows") + ": believed versions [1, 5) and [2, 6) overlap in valid time")},
                     0});
    // Of two closes of one row the later run's counts; OPEN_END there defers to the segment's own.
    cases.push_back({"a later close run reopening a row",
                     [](StoreBuilder& b) {
                         const std::uint32_t a = b.entity("a"), bb = b.entity("b");
                         b.begin(100);
                         b.edges({edge(a, bb, "knows", 1, 1, 5, 100), edge(a, bb, "knows", 2, 2, 6, 100)});
                         b.publish_next();
                         b.begin(200);
                         b.closes({StagedClose{0, 200, 0, true}});
                         b.publish_next();
                         b.begin(300);
                         b.closes({StagedClose{0, OPEN_END, 0, true}});
                         b.publish_next();
                     },
                     nullptr, {F("row", "believed-versions-overlap", "", 3,
                                 "edge " + eid_text("a", "b", "knows") + ": believed versions [1, 5) and [2, 6) overlap in valid time")},
                     0});
    // Losing the close run brings the closed version back: it overlaps its replacement.
    cases.push_back({"missing close run", nullptr, [](StoreBuilder& b, NativeStore&) { fs::remove(b.root / CLOSE2); },
                     {F("close", "close-run-missing", CLOSE2, 3,
                        CLOSE2 + ": io: No such file or directory (os error 2) [file={root}/" + CLOSE2 + "]"),
                      F("row", "believed-versions-overlap", "", 3,
                        "edge " + eid_text("a", "b", "knows") + ": believed versions [0, 10) and [0, 10) overlap in valid time")},
                     1});
    // Damage to the base store with every checksum recomputed: the fast mode sees nothing, the
    // walk sees it all. S(kind, file, rest) is the segment finding whose detail is file + rest.
    const auto resealed = [&](std::string name, const std::string& file, std::function<void(SegmentImage&)> edit,
                              std::vector<Finding> expected) {
        cases.push_back({std::move(name), nullptr,
                         [file, edit](StoreBuilder& b, NativeStore&) { edit_segment(b.root / file, edit); },
                         std::move(expected), 0});
    };
    const auto S = [](std::string kind, const std::string& file, const std::string& rest) {
        return F("segment", std::move(kind), file, 3, file + rest);
    };
    const Finding b_overlap = F("row", "believed-versions-overlap", "", 3,
                                "node b: believed versions [0, 50) and [40, 90) overlap in valid time");
    resealed("tt_s runs not covering the first row", SEG2, [](SegmentImage& s) { s.header.tt_s_runs = {{1, 200}}; },
             {S("rows-unreadable", SEG2, ": corrupt: no tt_s run covers row 0 [file={root}/" + SEG2 + "]" + std::string(RESTORE))});
    resealed("edge segment without vid64", SEG2, [](SegmentImage& s) { s.drop("vid64"); },
             {S("rows-unreadable", SEG2,
                ": corrupt: segment has no column 'vid64' [file={root}/" + SEG2 + "]" + std::string(RESTORE))});
    resealed("props text that is not UTF-8", SEG2,
             [](SegmentImage& s) { s.table[s.table.find("{\"w\":1}") + 5] = '\xff'; },
             {S("string-unreadable", SEG2,
                " row 0: props_ref names string 1, which cannot be read: string ref 1 is not UTF-8: invalid utf-8 "
                "sequence of 1 bytes from index 5")});
    resealed("node label_ref past the table", SEG1, [](SegmentImage& s) { s.set<std::uint32_t>("label_ref", 0, 77); },
             {S("string-ref-out-of-range", SEG1, " row 0: label_ref names string 77 of 5 in this segment's heap")});
    resealed("header disagreeing with its manifest entry", SEG2, [](SegmentImage& s) { s.header.vt_max = 5; },
             {S("entry-summary-mismatch", SEG2, ": the manifest entry's vt_max is 0, but the segment's header gives 5")});
    // Reads take vt_e as vt_s + 1 once the header says it was elided.
    resealed("vt_e_elided beside a vt_e column", SEG2, [](SegmentImage& s) { s.header.vt_e_elided = true; },
             {S("vt-e-elided-mismatch", SEG2, ": vt_e_elided is true but the segment has a vt_e column")});
    resealed("tt_s runs not ascending", SEG4, [](SegmentImage& s) { s.header.tt_s_runs = {{0, 300}, {0, 300}}; },
             {S("tt-s-runs-not-ascending", SEG4, ": tt_s_runs entry 1 starts at row 0 after an entry starting at row 0")});
    // Binary search over closed_rows out of order misses both closes: row 0 is believed again.
    resealed("closed_rows out of order", SEG4, [](SegmentImage& s) { s.header.closed_rows = {{1, 500}, {0, 400}}; },
             {S("entry-summary-mismatch", SEG4, ": the manifest entry's n_closed_folded is 1, but the segment's header gives 2"),
              S("closed-rows-unsorted", SEG4, ": closed_rows entry 1 closes row 0 after an entry closing row 1"), b_overlap});
    resealed("closed_rows naming a row past the end", SEG4, [](SegmentImage& s) { s.header.closed_rows = {{5, 400}}; },
             {S("closed-row-past-end", SEG4, ": closed_rows closes row 5 but the segment holds 2 rows"), b_overlap});
    resealed("rows out of (vt_s, vid) order", SEG0,
             [](SegmentImage& s) {
                 s.set<std::int64_t>("vt_s", 1, 0);
                 s.set<std::uint64_t>("vid64", 0, 3);
             },
             {S("rows-out-of-order", SEG0,
                " row 1: key (0, 000000000000000200000000) sorts before the previous row's (0, 000000000000000300000000)")});
    // Scans prune by vt_e_max: a header that understates it hides the row from windows past it.
    resealed("header bounds that do not hold the rows", SEG2, [](SegmentImage& s) { s.header.vt_e_max = 9; },
             {S("entry-summary-mismatch", SEG2, ": the manifest entry's vt_e_max is 10, but the segment's header gives 9"),
              S("header-bounds-exceeded", SEG2, " row 0: vt_e 10 lies above the header's vt_e_max 9")});
    resealed("name_ref disagreeing with the props", SEG1, [](SegmentImage& s) { s.set<std::uint32_t>("name_ref", 0, NO_STRING); },
             {S("name-ref-mismatch", SEG1, " row 0: name_ref gives no name but the props give \"n\"")});
    return cases;
}

TEST(Verify, DamageMatrix) {
    for (const DamageCase& c : damage_cases()) {
        SCOPED_TRACE(c.name);
        StoreBuilder builder;
        if (c.build)
            c.build(builder);
        else
            build_base(builder);
        auto store = open_ok(builder.root);
        const Manifest before = store->manifest();
        if (c.damage) c.damage(builder, *store);

        std::vector<Finding> expected = c.expected;
        // Details that depend on digests computed here.
        for (Finding& f : expected) {
            if (f.kind == "digest-oracle-mismatch")
                f.detail = fmt::format("generation 3 recomputes from scratch to {} but CURRENT publishes {} \u2014 the "
                                       "incrementally maintained digest and an independent recomputation of it disagree",
                                       store->manifest().digest(),
                                       c.name.starts_with("handle") ? before.manifest_sha : "0123456789abcdef");
            if (f.kind == "reconstruction-mismatch")
                f.detail = fmt::format("generation 3 reconstructs from disk to sha {} but this handle holds {}",
                                       before.manifest_sha, store->manifest().manifest_sha);
            if (f.kind == "parent-sha-mismatch")
                f.detail = fmt::format("generation 2 names parent sha 0123456789abcdef but generation 1 records {}",
                                       read_record(builder.root, 1)->delta().manifest_sha);
        }

        const auto fast = verify_files(*store);
        ASSERT_TRUE(fast.has_value()) << fast.error().display();
        EXPECT_EQ(fast->report.mode, "fast");
        expect_findings(std::vector<Finding>(expected.begin(), expected.begin() + c.fast), fast->report.findings,
                        builder.root, "fast");
        const auto full = verify_full(*store);
        ASSERT_TRUE(full.has_value()) << full.error().display();
        EXPECT_EQ(full->mode, "full");
        expect_findings(expected, full->findings, builder.root, "full");
        ASSERT_EQ(full->problems.size(), full->findings.size());
        for (std::size_t i = 0; i < full->problems.size(); ++i) EXPECT_EQ(full->problems[i], full->findings[i].detail);
        EXPECT_EQ(full->healthy(), expected.empty());

        // The walk over a close index built from the same close rows finds the same.
        CloseIndex closes;
        closes.insert_run(fast->close_rows);
        const RowWalkReport walk =
            check_rows(builder.root, store->manifest(), store->dict(), closes, fast->unreadable_segments).value();
        EXPECT_EQ(walk.rows_walked, full->rows_walked);
        EXPECT_EQ(walk.believed_rows, full->believed_rows);
        ASSERT_LE(walk.findings.size(), full->findings.size());
        EXPECT_TRUE(std::equal(walk.findings.begin(), walk.findings.end(), full->findings.end() - static_cast<std::ptrdiff_t>(walk.findings.size())));

        // The walk on worker threads gives the same report, findings in the same order.
        ::setenv("VORP_PARALLEL_MIN_ROWS", "1", 1);
        for (const char* threads : {"1", "4"}) {
            ::setenv("VORP_SCAN_THREADS", threads, 1);
            const auto again = verify_full(*store);
            ASSERT_TRUE(again.has_value());
            EXPECT_EQ(*again, *full) << threads << " threads";
        }
        ::unsetenv("VORP_SCAN_THREADS");
        ::unsetenv("VORP_PARALLEL_MIN_ROWS");
    }
}

TEST(Verify, CurrentFindingSaysWhatOpenSays) {
    StoreBuilder builder;
    build_base(builder);
    const auto store = open_ok(builder.root);
    // Verification parses CURRENT with the open's own codec: whatever open refuses, it reports
    // with the same words, and whatever open accepts it does not call malformed.
    for (const std::string text : {"three abc\n", "3\n", "", "-3 abc\n", "++3 abc\n", "3 \xff\n", " \u2003 \n"}) {
        write_text(builder.root / "CURRENT", text);
        const auto reopened = NativeStore::open(builder.root.string());
        ASSERT_FALSE(reopened.has_value()) << text;
        const std::vector<Finding> findings = check_current(builder.root, store->manifest());
        ASSERT_EQ(findings.size(), 1u) << text;
        const EngineError& refused = reopened.error();
        if (refused.category == Category::Io) {
            EXPECT_EQ(findings[0].kind, "current-unreadable") << text;
            EXPECT_EQ(findings[0].detail, "CURRENT could not be read: " + refused.message) << text;
        } else {
            EXPECT_EQ(findings[0].kind, "current-malformed") << text;
            EXPECT_EQ(findings[0].detail, refused.message) << text;
        }
    }
    for (const std::string text : {"3 {sha}", "\t+0003\u00a0{sha} trailing\r\n"}) {
        const std::size_t at = text.find("{sha}");
        write_text(builder.root / "CURRENT", text.substr(0, at) + store->manifest().manifest_sha + text.substr(at + 5));
        ASSERT_TRUE(NativeStore::open(builder.root.string()).has_value()) << text;
        EXPECT_TRUE(check_current(builder.root, store->manifest()).empty()) << text;
    }
    EXPECT_EQ(format_current(3, store->manifest().manifest_sha), "3 " + store->manifest().manifest_sha + "\n");
}

TEST(Verify, HealthyAtEveryGenerationWithItsCounters) {
    StoreBuilder builder;
    struct Expect {
        std::uint32_t segments;
        std::uint64_t rows, closes, believed, identities;
    };
    // After generations 0, 1, 2, 3 of the base store.
    const std::vector<Expect> expected = {{0, 0, 0, 0, 0}, {2, 3, 0, 3, 3}, {3, 4, 1, 3, 3}, {5, 7, 1, 5, 5}};
    std::size_t step = 0;
    const auto check = [&] {
        SCOPED_TRACE(fmt::format("generation {}", step));
        const Expect& e = expected.at(step);
        const auto store = open_ok(builder.root);
        const auto full = verify_full(*store);
        ASSERT_TRUE(full.has_value()) << full.error().display();
        EXPECT_TRUE(full->healthy()) << describe(full->findings);
        EXPECT_EQ(full->generation, step);
        EXPECT_EQ(full->manifest_format, 3u);
        EXPECT_EQ(full->manifest_checkpoint, 0u);
        EXPECT_EQ(full->manifest_deltas, step);
        EXPECT_EQ(full->segments_checked, e.segments);
        EXPECT_EQ(full->rows, e.rows);
        EXPECT_EQ(full->close_runs_checked, e.closes);
        EXPECT_EQ(full->closes, e.closes);
        EXPECT_EQ(full->dict_records, step == 0 ? 0u : 3u);
        EXPECT_EQ(full->tt_s_runs, e.segments);
        EXPECT_EQ(full->max_tt_s_runs, e.segments == 0 ? 0u : 1u);
        EXPECT_EQ(full->rows_walked, e.rows);
        EXPECT_EQ(full->believed_rows, e.believed);
        EXPECT_EQ(full->identities_checked, e.identities);
        // The fast mode's counters are the same and the walks' stay 0.
        const auto fast = verify_files(*store);
        ASSERT_TRUE(fast.has_value());
        EXPECT_EQ(fast->report.rows, e.rows);
        EXPECT_EQ(fast->report.rows_walked, 0u);
        EXPECT_EQ(fast->close_rows.size(), e.closes);
        ++step;
    };
    check();
    build_base(builder, check);
    EXPECT_EQ(step, 4u);
}

// Random batches through the handle, each new version of an identity closing the believed one:
// every generation verifies healthy, with the model's counts of rows, believed versions and
// identities, and the chain position the checkpoint interval implies.
TEST(Verify, CommittedStoresStayHealthyAtEveryGeneration) {
    const char* seeds_text = std::getenv("VORP_VERIFY_SEEDS");
    const int seeds = seeds_text == nullptr ? 2 : std::max(1, std::atoi(seeds_text));
    ::setenv("VORP_MANIFEST_CHECKPOINT_EVERY", "3", 1);
    for (int seed = 0; seed < seeds; ++seed) {
        SCOPED_TRACE(fmt::format("seed {}", seed));
        TempDir dir("vorp-integrity-seeded");
        const auto store = open_ok(dir.path);
        StoreTestAccess::set_lane_stride(*store, 100);
        std::mt19937_64 rng(static_cast<std::uint64_t>(seed));
        // identity (node: uid id; edge: src, dst, rel) -> (kind, believed vid)
        std::map<std::tuple<int, std::uint32_t, std::uint32_t, int>, Id96> believed;
        std::uint64_t rows = 0, next_vid = 1;
        for (std::uint64_t generation = 1; generation <= 7; ++generation) {
            const std::int64_t tt = static_cast<std::int64_t>(generation) * 100;
            if (store->dict().size() < 6) store->add_entity(fmt::format("u{}", store->dict().size()), "Thing").value();
            const auto entities = static_cast<std::uint32_t>(store->dict().size());
            must(store->begin(tt));
            std::set<std::tuple<int, std::uint32_t, std::uint32_t, int>> touched;
            for (int staged = 0; staged < 6; ++staged) {
                const bool is_edge = rng() % 3 != 0;
                const auto src = static_cast<std::uint32_t>(rng() % entities);
                const auto dst = is_edge ? static_cast<std::uint32_t>(rng() % entities) : 0u;
                const int rel = is_edge ? static_cast<int>(rng() % 2) : 0;
                const auto key = std::make_tuple(is_edge ? 1 : 0, src, dst, rel);
                if (!touched.insert(key).second) continue;  // one version per identity and batch
                const RowKind kind = is_edge ? RowKind::Edge : RowKind::Node;
                if (const auto old = believed.find(key); old != believed.end())
                    must(store->close_version(kind, old->second, tt));
                const auto vt_s = static_cast<std::int64_t>(rng() % 200);
                const std::int64_t vt_e = vt_s + 1 + static_cast<std::int64_t>(rng() % 400);
                const std::uint64_t vid = next_vid++;
                if (is_edge)
                    must(store->stage_edge(edge(src, dst, rel == 0 ? "knows" : "likes", vid, vt_s, vt_e, tt)));
                else
                    must(store->stage_node(node(src, vid, vt_s, vt_e, tt)));
                believed[key] = Id96{vid, is_edge ? 0u : 1u};
                ++rows;
            }
            must(store->commit(store->manifest().event_log));

            const auto full = verify_full(*store);
            ASSERT_TRUE(full.has_value()) << full.error().display();
            EXPECT_TRUE(full->healthy()) << "generation " << generation << "\n" << describe(full->findings);
            EXPECT_EQ(full->rows, rows);
            EXPECT_EQ(full->rows_walked, rows);
            EXPECT_EQ(full->believed_rows, believed.size());
            EXPECT_EQ(full->identities_checked, believed.size());
            EXPECT_EQ(full->manifest_checkpoint, generation / 3 * 3);
            EXPECT_EQ(full->manifest_deltas, generation % 3);
        }
    }
    ::unsetenv("VORP_MANIFEST_CHECKPOINT_EVERY");
}

TEST(Verify, HardFailures) {
    StoreBuilder builder;
    build_base(builder);
    {
        // A handle whose own manifest fails its digest: both modes raise, nothing is reported.
        const auto store = open_ok(builder.root);
        StoreTestAccess::manifest(*store).created_tt += 1;
        for (const auto& error : {verify_files(*store).error(), verify_full(*store).error()}) {
            EXPECT_EQ(error.category, Category::Corrupt);
            EXPECT_TRUE(error.message.starts_with("manifest checksum mismatch: computed ")) << error.message;
        }
    }
    // A segment the fast mode found damaged is reported once and not walked again; the full mode
    // still returns a report.
    const fs::path seg = builder.root / SEG0;
    std::string bytes = read_text(seg);
    const std::size_t runs = bytes.find("\"tt_s_runs\":[[0,");
    ASSERT_NE(runs, std::string::npos);
    bytes[runs + 14] = '2';
    write_text(seg, bytes);
    const auto store = open_ok(builder.root);
    const auto fast = verify_files(*store);
    ASSERT_TRUE(fast.has_value());
    ASSERT_EQ(fast->report.findings.size(), 1u);
    EXPECT_EQ(fast->report.findings[0].kind, "segment-unreadable");
    EXPECT_EQ(fast->unreadable_segments, std::unordered_set<std::string>{SEG0});
    const auto full = verify_full(*store);
    ASSERT_TRUE(full.has_value()) << full.error().display();
    EXPECT_EQ(full->findings, fast->report.findings);
    EXPECT_EQ(full->rows_walked, 5u);  // seg 0's two rows are not walked

    // A segment that goes missing between the fast mode and the walk is a finding of the walk.
    const FastVerification before_removal = verify_files(*store).value();
    fs::remove(builder.root / SEG2);
    const RowWalkReport walk = check_rows(builder.root, store->manifest(), store->dict(), CloseIndex{}, {SEG0}).value();
    ASSERT_EQ(walk.findings.size(), 1u);
    EXPECT_EQ(walk.findings[0], F("segment", "rows-unreadable", SEG2, 3,
                                  fmt::format("{}: io: No such file or directory (os error 2) [file={}]", SEG2,
                                              (builder.root / SEG2).string())));
    // So it is in the full mode while CURRENT names the generation. Once CURRENT names a later
    // one, another process collected the generation during the walk, and the mode says so.
    const auto walked = verify_full_after(*store, before_removal);
    ASSERT_TRUE(walked.has_value()) << walked.error().display();
    EXPECT_EQ(walked->findings.back(), walk.findings[0]);
    write_text(builder.root / "CURRENT", format_current(4, store->manifest().manifest_sha));
    const auto collected = verify_full_after(*store, before_removal);
    ASSERT_FALSE(collected.has_value());
    EXPECT_EQ(collected.error().display(),
              "invariant: generation 3 of this handle was collected by another process (the store is at generation "
              "4) — open the store again");
}

TEST(Verify, ParentChainEdgeCases) {
    TempDir dir;
    const fs::path root = dir.path;
    // Nothing listed at or below the generation: no findings; an unlistable directory: one.
    fs::create_directories(root / "manifests");
    write_text(root / "manifests" / "00000000000000000009.json", "{}");
    write_text(root / "manifests" / "notes.txt", "");
    EXPECT_TRUE(parent_chain(root, 5).empty());
    const std::vector<Finding> missing = parent_chain(root / "nowhere", 5);
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_EQ(missing[0], F("manifest", "manifests-unreadable", "manifests", 5,
                            "manifest directory cannot be listed: No such file or directory (os error 2)"));

    // A delta naming a parent two generations back, whose sha it matches: only the number is wrong.
    StoreBuilder builder;
    build_base(builder);
    rewrite_delta(builder.root, 3, [&](ManifestDelta& d) {
        d.parent = 1;
        d.parent_sha = read_record(builder.root, 2)->delta().parent_sha;
    });
    expect_findings({F("manifest", "parent-not-predecessor", "manifests/00000000000000000003.json", 3,
                       "generation 3 names parent 1 rather than 2")},
                    parent_chain(builder.root, 3), builder.root, "wrong parent");

    // A name that is not the canonical one yields its number, but the record is read by the
    // canonical name; what rests on it then misses its parent.
    fs::rename(manifest_path(builder.root, 1), builder.root / "manifests" / "+1.json");
    expect_findings({F("manifest", "manifest-unreadable", "manifests/00000000000000000001.json", 1,
                       "generation 1: No such file or directory (os error 2)"),
                     F("manifest", "parent-missing", "manifests/00000000000000000002.json", 2,
                       "generation 2 is a delta against generation 1, which is not on disk"),
                     F("manifest", "parent-not-predecessor", "manifests/00000000000000000003.json", 3,
                       "generation 3 names parent 1 rather than 2"),
                     F("manifest", "parent-missing", "manifests/00000000000000000003.json", 3,
                       "generation 3 is a delta against generation 1, which is not on disk")},
                    parent_chain(builder.root, 3), builder.root, "renamed");
}

TEST(Verify, RowIntervals) {
    std::vector<Finding> findings;
    row_intervals("f", 4, 2, 5, 5, 10, OPEN_END, findings);  // open belief: never an empty belief interval
    row_intervals("f", 4, 3, 1, 2, 10, 10, findings);
    row_intervals("f", 4, 7, 9, 1, 20, 10, findings);
    const std::vector<Finding> want = {
        F("row", "valid-interval-empty", "f", 4, "f row 2: vt_s 5 is not before vt_e 5"),
        F("row", "belief-interval-empty", "f", 4, "f row 3: tt_s 10 is not before tt_e 10"),
        F("row", "valid-interval-empty", "f", 4, "f row 7: vt_s 9 is not before vt_e 1"),
        F("row", "belief-interval-empty", "f", 4, "f row 7: tt_s 20 is not before tt_e 10")};
    EXPECT_EQ(findings, want);
}

}  // namespace
}  // namespace vorp

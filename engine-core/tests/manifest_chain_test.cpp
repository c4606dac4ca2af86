#include "test_support.h"
#include "vorp/manifest_chain.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "vorp/checksum.h"
#include "vorp/json.h"
#include "vorp/manifest.h"
#include "vorp/merkle.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;
using vorp::testing::read_text;
using vorp::testing::write_text;

struct TempDir : vorp::testing::TempDir {
    TempDir() : vorp::testing::TempDir("vorp-chain") {}
};

std::string replace_once(std::string text, std::string_view from, std::string_view to) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos) throw std::runtime_error("fixture text not found: " + std::string(from));
    text.replace(at, from.size(), to);
    return text;
}

SegmentEntry make_entry(std::uint64_t segment_id, std::uint32_t rows) {
    SegmentEntry entry;
    entry.file = fmt::format("seg/{:012}.vos", segment_id);
    entry.rows = rows;
    entry.key_lo = {static_cast<std::int64_t>(segment_id) - 5, fmt::format("{:024x}", segment_id * 2)};
    entry.key_hi = {static_cast<std::int64_t>(segment_id) + 5, fmt::format("{:024x}", segment_id * 2 + 1)};
    entry.vt_min = entry.key_lo.first;
    entry.vt_max = entry.key_hi.first;
    entry.vt_e_max = entry.vt_max + 10;
    entry.tt_s_min = 1;
    entry.tt_s_max = 2;
    return entry;
}

std::array<std::uint64_t, MERKLE_LANES> lens_of(const Manifest& m) {
    return {m.node_store.size(), m.edge_lanes.event.size(), m.edge_lanes.interval.size(), m.close_runs.size()};
}

DeltaBase base_of(const Manifest& m) {
    return DeltaBase{m.manifest_sha, m.generation, lens_of(m), m.widths, ManifestMerkle::from_manifest(m)};
}

// Builds a store's manifest chain the way publish does: a checkpoint every `every` generations,
// a delta in between whenever one can be cut. Keeps every generation's manifest for comparison.
class ChainBuilder {
public:
    ChainBuilder(fs::path root, std::uint64_t every) : root_(std::move(root)), every_(every) {
        history_.push_back(Manifest::genesis());
        merkle_ = ManifestMerkle::from_manifest(history_.back());
        write_text(manifest_path(root_, 0), checkpoint_json(history_.back()));
    }

    // One commit with the given numbers of new node, event and interval segments and close runs.
    void commit(int nodes, int events = 0, int intervals = 0, int close_runs = 0) {
        const Manifest& parent = history_.back();
        const DeltaBase base{parent.manifest_sha, parent.generation, lens_of(parent), parent.widths, merkle_};
        Manifest next = parent.successor(static_cast<std::int64_t>(parent.generation) * 10 + 10);
        auto add = [&](std::vector<SegmentEntry>& list, std::uint8_t lane) {
            SegmentEntry entry = make_entry(next.next_segment_id++, 3);
            merkle_.lanes[lane].push(entry);
            list.push_back(entry);
            (lane == LANE_NODES ? next.stats.n_node_versions : next.stats.n_edge_versions) += entry.rows;
        };
        for (int i = 0; i < nodes; ++i) add(next.node_store, LANE_NODES);
        for (int i = 0; i < events; ++i) add(next.edge_lanes.event, LANE_EDGES_EVENT);
        for (int i = 0; i < intervals; ++i) add(next.edge_lanes.interval, LANE_EDGES_INTERVAL);
        for (int i = 0; i < close_runs; ++i) {
            CloseRunRef run{fmt::format("close/{:012}.voc", next.generation * 10 + i), 2, ""};
            merkle_.push_close_run(run);
            next.close_runs.push_back(run);
        }
        next.event_log = {next.generation * 100, fmt::format("chain{}", next.generation)};
        next.dict = {static_cast<std::uint32_t>(next.generation), next.generation * 7};
        next.stats.n_entities = static_cast<std::uint32_t>(next.generation);
        next.manifest_sha = manifest_digest(next, merkle_);

        std::optional<ManifestDelta> delta;
        if (next.generation % every_ != 0) delta = ManifestDelta::from_appends(next, base, checkpoint_);
        if (delta) {
            write_text(manifest_path(root_, next.generation), delta->to_json());
        } else {
            write_text(manifest_path(root_, next.generation), checkpoint_json(next));
            checkpoint_ = next.generation;
        }
        history_.push_back(std::move(next));
    }

    const Manifest& manifest(std::uint64_t generation) const { return history_.at(generation); }
    fs::path file(std::uint64_t generation) const { return manifest_path(root_, generation); }

    // Reads a delta file back, lets `edit` change it, optionally reseals it and writes it again.
    template <class Edit>
    void edit_delta(std::uint64_t generation, bool reseal, Edit edit) {
        auto record = read_record(root_, generation);
        ASSERT_TRUE(record.has_value()) << record.error().display();
        ASSERT_TRUE(record->is_delta());
        ManifestDelta delta = record->delta();
        edit(delta);
        if (reseal) delta.seal();
        write_text(file(generation), delta.to_json());
    }

    // Replaces a generation's file by a checkpoint of the same manifest (what garbage collection
    // does to the lowest generation it keeps).
    void rewrite_as_checkpoint(std::uint64_t generation) {
        write_text(file(generation), checkpoint_json(manifest(generation)));
    }

private:
    fs::path root_;
    std::uint64_t every_;
    std::vector<Manifest> history_;
    ManifestMerkle merkle_;
    std::uint64_t checkpoint_ = 0;
};

void expect_error(const EngineError& error, Category category, std::string_view message,
                  std::optional<fs::path> file) {
    EXPECT_EQ(error.category, category) << error.display();
    EXPECT_EQ(error.message, message);
    EXPECT_EQ(error.location.file, file);
    EXPECT_FALSE(error.location.offset.has_value());
    EXPECT_FALSE(error.location.row.has_value());
    if (category == Category::Corrupt) {
        EXPECT_EQ(error.remedy, std::string(RESTORE_REMEDY));
    } else if (category == Category::Io) {
        EXPECT_EQ(error.remedy, std::nullopt);
    }
}

template <class T>
void expect_corrupt(const Result<T>& result, std::string_view message, std::optional<fs::path> file) {
    ASSERT_FALSE(result.has_value()) << "expected: " << message;
    expect_error(result.error(), Category::Corrupt, message, std::move(file));
}

// ---- files ---------------------------------------------------------------------------------------

TEST(ManifestChainFiles, PathsHaveTwentyDigitNames) {
    EXPECT_EQ(manifest_path("/s", 0), fs::path("/s/manifests/00000000000000000000.json"));
    EXPECT_EQ(manifest_path("/s", 42).filename().string(), "00000000000000000042.json");
    EXPECT_EQ(manifest_path("/s", UINT64_MAX).filename().string(), "18446744073709551615.json");
    EXPECT_EQ(manifest_relative_name(7), "manifests/00000000000000000007.json");
}

TEST(ManifestChainFiles, GenesisCheckpointIsByteExact) {
    const std::string text = checkpoint_json(Manifest::genesis());
    EXPECT_EQ(text.size(), 638u);
    EXPECT_EQ(to_hex(Sha256::digest(text)), "90e4e5779f0769a4d6642b6e54c7c800712beed16aad0448894b9a2b44222f83");
    EXPECT_TRUE(text.starts_with("{\n  \"kind\": \"checkpoint\",\n  \"sha_kind\": \"merkle-v1\",\n  \"format\": 3,\n"));
    EXPECT_TRUE(text.ends_with("  \"manifest_sha\": \"f6a8812338a9f3af\"\n}"));
    EXPECT_NE(text.find("\"parent\": null,"), std::string::npos);
    EXPECT_NE(text.find("\"node_store\": [],"), std::string::npos);
}

TEST(ManifestChainFiles, LegacyCheckpointHasNoShaKind) {
    Manifest manifest = Manifest::genesis();
    manifest.format = 2;
    manifest.seal();
    const std::string text = checkpoint_json(manifest);
    EXPECT_TRUE(text.starts_with("{\n  \"kind\": \"checkpoint\",\n  \"format\": 2,\n  \"generation\": 0,\n"));
    EXPECT_EQ(text.find("sha_kind"), std::string::npos);
    auto read = parse_record(text);
    ASSERT_TRUE(read.has_value()) << read.error().display();
    EXPECT_EQ(read->checkpoint(), manifest);
}

// ---- deltas --------------------------------------------------------------------------------------

constexpr std::string_view ENTRY_COMPACT =
    R"({"file":"seg/000000000000.vos","rows":3,"key_lo":[-5,"000000000000000000000000"],)"
    R"("key_hi":[5,"000000000000000000000001"],"vt_min":-5,"vt_max":5,"vt_e_max":15,"tt_s_min":1,"tt_s_max":2,)"
    R"("rel_codes":[],"n_closed_folded":0,"all_current":true,"sha":""})";

ManifestDelta sample_delta() {
    ManifestDelta delta;
    delta.format = 3;
    delta.kind = "delta";
    delta.sha_kind = "merkle-v1";
    delta.generation = 1;
    delta.parent = 0;
    delta.parent_sha = "f6a8812338a9f3af";
    delta.checkpoint = 0;
    delta.created_tt = 5;
    delta.event_log = {10, "abc"};
    delta.dict = {1, 12};
    delta.next_segment_id = 1;
    delta.stats.n_entities = 1;
    delta.stats.n_node_versions = 3;
    delta.add_nodes.push_back(make_entry(0, 3));
    delta.add_close_runs.push_back({"close/000000000001.voc", 2, ""});
    delta.manifest_sha = "0123456789abcdef";
    delta.seal();
    return delta;
}

TEST(ManifestDeltaFile, DigestAndPrettyFileAreByteExact) {
    const ManifestDelta delta = sample_delta();
    const std::string compact =
        std::string(R"({"format":3,"kind":"delta","sha_kind":"merkle-v1","generation":1,"parent":0,)") +
        R"("parent_sha":"f6a8812338a9f3af","checkpoint":0,"created_tt":5,"event_log":{"offset":10,"chain":"abc"},)" +
        R"("dict":{"records":1,"bytes":12},"next_segment_id":1,"stats":{"n_entities":1,"n_node_versions":3,)" +
        R"("n_edge_versions":0,"vt_min":null,"vt_max":null,"max_out_degree":0},"add_nodes":[)" +
        std::string(ENTRY_COMPACT) +
        R"(],"add_close_runs":[{"file":"close/000000000001.voc","entries":2,"sha":""}],"delta_sha":"",)" +
        R"("manifest_sha":"0123456789abcdef"})";
    EXPECT_EQ(delta.body_sha(), short_sha(compact));
    EXPECT_EQ(delta.delta_sha, short_sha(compact));

    const std::string expected = std::string(R"({
  "format": 3,
  "kind": "delta",
  "sha_kind": "merkle-v1",
  "generation": 1,
  "parent": 0,
  "parent_sha": "f6a8812338a9f3af",
  "checkpoint": 0,
  "created_tt": 5,
  "event_log": {
    "offset": 10,
    "chain": "abc"
  },
  "dict": {
    "records": 1,
    "bytes": 12
  },
  "next_segment_id": 1,
  "stats": {
    "n_entities": 1,
    "n_node_versions": 3,
    "n_edge_versions": 0,
    "vt_min": null,
    "vt_max": null,
    "max_out_degree": 0
  },
  "add_nodes": [
    {
      "file": "seg/000000000000.vos",
      "rows": 3,
      "key_lo": [
        -5,
        "000000000000000000000000"
      ],
      "key_hi": [
        5,
        "000000000000000000000001"
      ],
      "vt_min": -5,
      "vt_max": 5,
      "vt_e_max": 15,
      "tt_s_min": 1,
      "tt_s_max": 2,
      "rel_codes": [],
      "n_closed_folded": 0,
      "all_current": true,
      "sha": ""
    }
  ],
  "add_close_runs": [
    {
      "file": "close/000000000001.voc",
      "entries": 2,
      "sha": ""
    }
  ],
  "delta_sha": ")") + delta.delta_sha + R"(",
  "manifest_sha": "0123456789abcdef"
})";
    EXPECT_EQ(delta.to_json(), expected);

    auto read = parse_record(delta.to_json());
    ASSERT_TRUE(read.has_value()) << read.error().display();
    EXPECT_EQ(read->delta(), delta);
}

TEST(ManifestDeltaFile, EmptyListsAreLeftOutOfFileAndDigest) {
    ManifestDelta delta = sample_delta();
    delta.add_nodes.clear();
    delta.add_close_runs.clear();
    delta.seal();
    const std::string text = delta.to_json();
    for (const char* member : {"add_", "del_"}) EXPECT_EQ(text.find(member), std::string::npos) << member;
    EXPECT_TRUE(text.starts_with("{\n  \"format\": 3,\n  \"kind\": \"delta\",\n"));
    EXPECT_TRUE(text.ends_with("\"manifest_sha\": \"0123456789abcdef\"\n}"));
    const std::string compact =
        std::string(R"({"format":3,"kind":"delta","sha_kind":"merkle-v1","generation":1,"parent":0,)") +
        R"("parent_sha":"f6a8812338a9f3af","checkpoint":0,"created_tt":5,"event_log":{"offset":10,"chain":"abc"},)" +
        R"("dict":{"records":1,"bytes":12},"next_segment_id":1,"stats":{"n_entities":1,"n_node_versions":3,)" +
        R"("n_edge_versions":0,"vt_min":null,"vt_max":null,"max_out_degree":0},"delta_sha":"",)" +
        R"("manifest_sha":"0123456789abcdef"})";
    EXPECT_EQ(delta.delta_sha, short_sha(compact));
}

TEST(ManifestDeltaVerify, ChecksInOrderWithExactMessages) {
    struct Case {
        const char* name;
        void (*edit)(ManifestDelta&);
        bool reseal;
        std::string message;  // empty: accepted
    };
    const ManifestDelta good = sample_delta();
    auto recomputed = [&](void (*edit)(ManifestDelta&)) {
        ManifestDelta copy = good;
        edit(copy);
        return copy.body_sha();
    };
    auto created = [](ManifestDelta& d) { d.created_tt = 6; };
    auto parent_sha = [](ManifestDelta& d) { d.parent_sha[0] = 'e'; };
    auto manifest_sha = [](ManifestDelta& d) { d.manifest_sha[15] = '0'; };
    const std::vector<Case> cases = {
        {"valid", [](ManifestDelta&) {}, false, ""},
        {"format 9 before kind",
         [](ManifestDelta& d) {
             d.format = 9;
             d.kind = "checkpoint";
         },
         true, "manifest delta format 9 is not supported by this build (expected 3, or 1 or 2 read-only)"},
        {"format 0", [](ManifestDelta& d) { d.format = 0; }, true,
         "manifest delta format 0 is not supported by this build (expected 3, or 1 or 2 read-only)"},
        {"capital kind", [](ManifestDelta& d) { d.kind = "Delta"; }, true, R"(manifest delta is tagged kind="Delta")"},
        {"spaced kind", [](ManifestDelta& d) { d.kind = " delta"; }, true, R"(manifest delta is tagged kind=" delta")"},
        {"empty kind", [](ManifestDelta& d) { d.kind = ""; }, true, R"(manifest delta is tagged kind="")"},
        {"control kind", [](ManifestDelta& d) { d.kind = "a\tb\x01"; }, true,
         R"(manifest delta is tagged kind="a\tb\u{1}")"},
        {"format 3 without sha_kind", [](ManifestDelta& d) { d.sha_kind.clear(); }, true,
         R"(manifest format 3 implies sha_kind "merkle-v1" but the record declares "")"},
        {"format 2 with sha_kind", [](ManifestDelta& d) { d.format = 2; }, true,
         R"(manifest format 2 implies sha_kind "" but the record declares "merkle-v1")"},
        {"format 2", [](ManifestDelta& d) { d.format = 2;
             d.sha_kind.clear(); }, true, ""},
        {"format 1", [](ManifestDelta& d) { d.format = 1;
             d.sha_kind.clear(); }, true, ""},
        {"created_tt changed", created, false,
         fmt::format("manifest delta checksum mismatch: computed {}, recorded {}", recomputed(created), good.delta_sha)},
        {"parent_sha changed", parent_sha, false,
         fmt::format("manifest delta checksum mismatch: computed {}, recorded {}", recomputed(parent_sha),
                     good.delta_sha)},
        {"manifest_sha changed", manifest_sha, false,
         fmt::format("manifest delta checksum mismatch: computed {}, recorded {}", recomputed(manifest_sha),
                     good.delta_sha)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ManifestDelta delta = good;
        c.edit(delta);
        if (c.reseal) delta.seal();
        const Status status = delta.verify_self();
        if (c.message.empty()) {
            EXPECT_TRUE(status.has_value()) << status.error().display();
        } else {
            expect_corrupt(status, c.message, std::nullopt);
        }
    }
}

TEST(ManifestDeltaApply, RemovesThenAppendsAndKeepsFormatAndWidths) {
    Manifest manifest = Manifest::genesis();
    manifest.format = 3;
    manifest.widths = {30, 31, 15};
    SegmentEntry a = make_entry(1, 1), b = make_entry(2, 1), c = make_entry(3, 1);
    SegmentEntry a_again = make_entry(4, 9);
    a_again.file = a.file;
    manifest.node_store = {a, b, a_again, c};
    manifest.edge_lanes.event = {b};
    manifest.close_runs = {{"close/000000000001.voc", 1, ""}};

    ManifestDelta delta = sample_delta();
    delta.generation = 8;
    delta.parent = 7;
    delta.del_nodes = {a.file, "seg/999999999999.vos"};
    SegmentEntry re_added = make_entry(5, 2);
    re_added.file = a.file;
    delta.add_nodes = {re_added};
    delta.del_close_runs = {"close/000000000001.voc"};
    delta.add_close_runs = {{"close/000000000008.voc", 4, ""}};

    ManifestMerkle merkle = ManifestMerkle::from_manifest(manifest);
    delta.apply_into(manifest, &merkle);

    EXPECT_EQ(manifest.node_store, (std::vector<SegmentEntry>{b, c, re_added}));
    EXPECT_EQ(manifest.edge_lanes.event, std::vector<SegmentEntry>{b});
    EXPECT_EQ(manifest.close_runs, (std::vector<CloseRunRef>{{"close/000000000008.voc", 4, ""}}));
    EXPECT_EQ(manifest.parent, std::optional<std::uint64_t>(7));
    EXPECT_EQ(manifest.generation, 8u);
    EXPECT_EQ(manifest.created_tt, 5);
    EXPECT_EQ(manifest.event_log, delta.event_log);
    EXPECT_EQ(manifest.dict, delta.dict);
    EXPECT_EQ(manifest.next_segment_id, delta.next_segment_id);
    EXPECT_EQ(manifest.stats, delta.stats);
    EXPECT_EQ(manifest.manifest_sha, delta.manifest_sha);
    EXPECT_EQ(manifest.format, 3u);
    EXPECT_EQ(manifest.widths, (Widths{30, 31, 15}));
    // A removal shifts later entries: the state is rebuilt, never pushed.
    EXPECT_EQ(merkle, ManifestMerkle::from_manifest(manifest));
}

TEST(ManifestDeltaApply, PureAppendPushesTheSameStateAsARebuild) {
    Manifest manifest = Manifest::genesis();
    for (int i = 0; i < 5; ++i) manifest.node_store.push_back(make_entry(100 + i, 1));
    ManifestMerkle merkle = ManifestMerkle::from_manifest(manifest);
    ManifestDelta delta = sample_delta();
    delta.add_edges_event = {make_entry(1, 1), make_entry(2, 1)};
    delta.add_edges_interval = {make_entry(3, 1)};
    delta.apply_into(manifest, &merkle);
    EXPECT_EQ(lens_of(manifest), (std::array<std::uint64_t, 4>{6, 2, 1, 1}));
    EXPECT_EQ(merkle, ManifestMerkle::from_manifest(manifest));

    Manifest without_state = Manifest::genesis();
    delta.apply_into(without_state, nullptr);
    EXPECT_EQ(without_state.node_store.size(), 1u);
}

// ---- cutting deltas ------------------------------------------------------------------------------

struct AppendFixture {
    Manifest parent;
    Manifest next;
    AppendFixture() {
        parent = Manifest::genesis().successor(1);
        parent.node_store = {make_entry(0, 1), make_entry(1, 2)};
        parent.edge_lanes.interval = {make_entry(2, 3)};
        parent.next_segment_id = 3;
        parent.seal();
        next = parent.successor(2);
        next.edge_lanes.event.push_back(make_entry(3, 4));
        next.close_runs.push_back({"close/000000000002.voc", 5, ""});
        next.next_segment_id = 4;
        next.seal();
    }
};

TEST(ManifestDeltaCut, PureAppendGivesASealedDeltaThatReproducesTheManifest) {
    AppendFixture f;
    const auto delta = ManifestDelta::from_appends(f.next, base_of(f.parent), 0);
    ASSERT_TRUE(delta.has_value());
    EXPECT_TRUE(delta->verify_self().has_value());
    EXPECT_EQ(delta->kind, "delta");
    EXPECT_EQ(delta->sha_kind, "merkle-v1");
    EXPECT_EQ(delta->generation, 2u);
    EXPECT_EQ(delta->parent, 1u);
    EXPECT_EQ(delta->parent_sha, f.parent.manifest_sha);
    EXPECT_EQ(delta->checkpoint, 0u);
    EXPECT_TRUE(delta->add_nodes.empty());
    EXPECT_EQ(delta->add_edges_event, f.next.edge_lanes.event);
    EXPECT_TRUE(delta->add_edges_interval.empty());
    EXPECT_EQ(delta->add_close_runs, f.next.close_runs);

    Manifest replayed = f.parent;
    ManifestMerkle merkle = ManifestMerkle::from_manifest(f.parent);
    delta->apply_into(replayed, &merkle);
    EXPECT_EQ(replayed, f.next);
    EXPECT_EQ(manifest_digest(replayed, merkle), f.next.manifest_sha);

    // Lists exactly as long as the parent's: a delta without list members.
    Manifest cursor_only = f.parent.successor(9);
    cursor_only.event_log = {77, "later"};
    cursor_only.seal();
    const auto bare = ManifestDelta::from_appends(cursor_only, base_of(f.parent), 0);
    ASSERT_TRUE(bare.has_value());
    EXPECT_EQ(bare->to_json().find("add_"), std::string::npos);
}

TEST(ManifestDeltaCut, NothingWhenADeltaCannotExpressTheChange) {
    struct Case {
        const char* name;
        void (*edit)(Manifest& next, DeltaBase& base);
    };
    const std::vector<Case> cases = {
        {"format 2", [](Manifest& n, DeltaBase&) { n.format = 2; }},
        {"widths changed", [](Manifest& n, DeltaBase&) { n.widths.rel_code = 17; }},
        {"no parent", [](Manifest& n, DeltaBase&) { n.parent.reset(); }},
        {"parent not the base", [](Manifest& n, DeltaBase&) { n.parent = 0; }},
        {"generation gap", [](Manifest& n, DeltaBase&) { n.generation = 3; }},
        {"base at the last generation",
         [](Manifest& n, DeltaBase& b) {
             b.generation = UINT64_MAX;
             n.parent = UINT64_MAX;
             n.generation = 0;
         }},
        {"a list got shorter", [](Manifest& n, DeltaBase&) { n.node_store.pop_back(); }},
        {"an entry rewritten in place, no list shorter",
         [](Manifest& n, DeltaBase&) { n.node_store[0].rows = 99; }},
        {"entries reordered", [](Manifest& n, DeltaBase&) { std::swap(n.node_store[0], n.node_store[1]); }},
        {"entry moved between lanes",
         [](Manifest& n, DeltaBase&) {
             n.edge_lanes.event.insert(n.edge_lanes.event.begin(), n.edge_lanes.interval[0]);
             n.edge_lanes.interval[0] = n.edge_lanes.event.back();
             n.edge_lanes.event.pop_back();
         }},
        {"no parent state", [](Manifest&, DeltaBase& b) { b.merkle.reset(); }},
        {"parent state out of step", [](Manifest&, DeltaBase& b) { b.lane_lens[LANE_NODES] = 1; }},
        {"manifest not sealed", [](Manifest& n, DeltaBase&) { n.manifest_sha.clear(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppendFixture f;
        DeltaBase base = base_of(f.parent);
        c.edit(f.next, base);
        if (!f.next.manifest_sha.empty()) f.next.seal();
        EXPECT_FALSE(ManifestDelta::from_appends(f.next, base, 0).has_value());
    }
}

// ---- checkpoint interval -------------------------------------------------------------------------

TEST(ManifestCheckpointEvery, ParsesTheEnvironmentOnEveryCall) {
    const std::string name(CHECKPOINT_EVERY_ENV);
    const std::vector<std::pair<std::string, std::uint64_t>> cases = {
        {"16", 16},
        {" 16 ", 16},
        {"+16", 16},
        {"\t16\n", 16},
        {"\xc2\xa0" "16\xe3\x80\x80", 16},  // no-break space, ideographic space
        {"00000000000000000000016", 16},
        {"1", 1},
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", 512},
        {"-16", 512},
        {"0", 512},
        {"", 512},
        {"   ", 512},
        {"+", 512},
        {"++16", 512},
        {"16x", 512},
        {"1 6", 512},
        {"0x10", 512},
        {"\xff" "16", 512},
    };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value);
        ASSERT_EQ(::setenv(name.c_str(), value.c_str(), 1), 0);
        EXPECT_EQ(checkpoint_every(), expected);
    }
    ASSERT_EQ(::unsetenv(name.c_str()), 0);
    EXPECT_EQ(checkpoint_every(), 512u);
}

// ---- tag sniffing and parsing --------------------------------------------------------------------

TEST(ManifestChainSniff, FindsTheFirstOccurrenceInsideTheWindow) {
    const std::string pad(1100, 'x');
    // `"kind":"delta"` starting at byte 1010 ends exactly at the window's last byte; at 1015 its
    // value runs past the window.
    const auto at = [](std::size_t start) {
        return "{\"pad\":\"" + std::string(start - 10, 'x') + "\"," + "\"kind\":\"delta\"}";
    };
    ASSERT_EQ(at(1010).find("\"kind\""), 1010u);
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {R"({"kind":"delta"})", "delta"},
        {"{\"kind\" \t\r\n:\n \"delta\"}", "delta"},
        {R"({"kind":""})", ""},
        {R"({"kind":5})", std::nullopt},
        {R"({"kind":null})", std::nullopt},
        {R"({"kind";"delta"})", std::nullopt},
        {R"({"a":"kind","kind":"delta"})", std::nullopt},  // only the first occurrence counts
        {R"({"a":"x\"kind\"","kind":"delta"})", "delta"},  // an escaped quote ends no needle
        {R"({"kind":"de\"lta"})", "de\\"},
        {"{\"pad\":\"" + pad + "\",\"kind\":\"delta\"}", std::nullopt},
        {at(1010), "delta"},
        {at(1015), std::nullopt},
        {"", std::nullopt},
        {R"({"kind":"unterminated)", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text.substr(0, 60));
        const auto got = sniff_tag(text, "kind");
        EXPECT_EQ(got ? std::optional<std::string>(*got) : std::nullopt, expected);
    }
}

TEST(ManifestChainParse, KindSelectsTheRecordAndMissingKindIsACheckpoint) {
    const Manifest genesis = Manifest::genesis();
    const std::string with_kind = checkpoint_json(genesis);
    const std::string without_kind = replace_once(with_kind, "\"kind\": \"checkpoint\",\n  ", "");
    for (const std::string& text : {with_kind, without_kind, with_kind + " \n\t\r\n"}) {
        auto record = parse_record(text);
        ASSERT_TRUE(record.has_value()) << record.error().display();
        ASSERT_TRUE(record->is_checkpoint());
        EXPECT_EQ(record->checkpoint(), genesis);
    }
}

TEST(ManifestChainParse, FailuresAreClassedAndWorded) {
    const std::string genesis = checkpoint_json(Manifest::genesis());
    const std::string delta = sample_delta().to_json();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "manifest is not valid JSON: EOF while parsing a value at line 1 column 0"},
        {"  \n ", "manifest is not valid JSON: EOF while parsing a value at line 2 column 1"},
        {"nope", "manifest is not valid JSON: expected ident at line 1 column 2"},
        {genesis + "x", "manifest is not valid JSON: trailing characters at line 37 column 2"},
        {genesis + "{}", "manifest is not valid JSON: trailing characters at line 37 column 2"},
        {genesis.substr(0, 20), "manifest is not valid JSON: EOF while parsing a string at line 2 column 18"},
        {R"({"kind":"delta","format":3})",
         "manifest delta is not a well-formed record: missing field `generation` at line 1 column 27"},
        {R"({"kind":"delta","format":3,"format":3})",
         "manifest delta is not a well-formed record: duplicate field `format` at line 1 column 35"},
        {R"(5 "kind":"delta")", "manifest delta is not a well-formed record: invalid type: integer `5`, expected "
                                "struct ManifestDelta at line 1 column 1"},
        {R"("text")", "manifest is not a well-formed document: invalid type: string \"text\", expected struct Manifest "
                      "at line 1 column 6"},
        {"[3,0]", "manifest is not a well-formed document: invalid length 2, expected struct Manifest with 13 "
                  "elements at line 1 column 5"},
        {R"({"kind":"checkpoint"})", "manifest is not a well-formed document: missing field `format` at line 1 column 21"},
        {replace_once(delta, "\"parent\": 0", "\"parent\": null"),
         "manifest delta is not a well-formed record: invalid type: null, expected u64 at line 6 column 16"},
        {R"({"kind":"Delta"})", R"(manifest document has unknown kind "Delta")"},
        {R"({"kind":"checkpoint "})", R"(manifest document has unknown kind "checkpoint ")"},
        {R"({"kind":""})", R"(manifest document has unknown kind "")"},
        {replace_once(genesis, "  \"sha_kind\": \"merkle-v1\",\n", ""),
         R"(manifest format 3 implies sha_kind "merkle-v1" but the record declares "")"},
        {replace_once(delta, "  \"sha_kind\": \"merkle-v1\",\n", ""),
         R"(manifest format 3 implies sha_kind "merkle-v1" but the record declares "")"},
        {replace_once(genesis, "\"format\": 3", "\"format\": 2"),
         R"(manifest format 2 implies sha_kind "" but the record declares "merkle-v1")"},
        {replace_once(genesis, "\"format\": 3", "\"format\": 4"),
         "manifest format 4 is not supported by this build (expected 3, or 1 or 2 read-only)"},
        {replace_once(genesis, "\"created_tt\": 0", "\"created_tt\": 1"),
         fmt::format("manifest checksum mismatch: computed {}, recorded f6a8812338a9f3af",
                     [] {
                         Manifest m = Manifest::genesis();
                         m.created_tt = 1;
                         return m.digest();
                     }())},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text.substr(0, 80));
        expect_corrupt(parse_record(text), message, std::nullopt);
    }
}

TEST(ManifestChainParse, KindBeyondTheWindowReadsAsCheckpoint) {
    const std::string delta = sample_delta().to_json();
    const std::string padded = "{\"pad\": \"" + std::string(1100, 'p') + "\"," + delta.substr(1);
    auto record = parse_record(padded);
    ASSERT_FALSE(record.has_value());
    EXPECT_TRUE(record.error().message.starts_with(
        "manifest is not a well-formed document: missing field `widths` at line "))
        << record.error().message;
}

// ---- legacy (format 1 and 2) records, written by hand ---------------------------------------------

constexpr std::string_view LEGACY_SCALARS_TAIL =
    R"("event_log":{"offset":0,"chain":"e3b0c44298fc1c14"},"dict":{"records":0,"bytes":0},)";
constexpr std::string_view LEGACY_WIDTHS = R"("widths":{"entity_id":32,"row_id":32,"rel_code":16},)";

std::string legacy_stats(int node_versions) {
    return fmt::format(R"("stats":{{"n_entities":0,"n_node_versions":{},"n_edge_versions":0,"vt_min":null,)"
                       R"("vt_max":null,"max_out_degree":0}})",
                       node_versions);
}

// The whole compact document of a legacy genesis with the given format and sha text.
std::string legacy_genesis(int format, std::string_view sha) {
    return fmt::format(R"({{"format":{},"generation":0,"parent":null,"created_tt":0,)", format) +
           std::string(LEGACY_SCALARS_TAIL) + std::string(LEGACY_WIDTHS) +
           R"("node_store":[],"edge_lanes":{"event":[],"interval":[]},"close_runs":[],"next_segment_id":0,)" +
           legacy_stats(0) + fmt::format(R"(,"manifest_sha":"{}"}})", sha);
}

// Generation 1 of a legacy chain: generation 0 plus one node segment.
std::string legacy_generation_one(std::string_view sha) {
    return std::string(R"({"format":2,"generation":1,"parent":0,"created_tt":7,)") + std::string(LEGACY_SCALARS_TAIL) +
           std::string(LEGACY_WIDTHS) + "\"node_store\":[" + std::string(ENTRY_COMPACT) +
           R"(],"edge_lanes":{"event":[],"interval":[]},"close_runs":[],"next_segment_id":1,)" + legacy_stats(3) +
           fmt::format(R"(,"manifest_sha":"{}"}})", sha);
}

// A format-2 delta from generation 0 to 1, sealed over its compact form.
std::string legacy_delta(std::string_view parent_sha, std::string_view manifest_sha) {
    const std::string body =
        fmt::format(R"({{"format":2,"kind":"delta","generation":1,"parent":0,"parent_sha":"{}","checkpoint":0,)",
                    parent_sha) +
        R"("created_tt":7,)" + std::string(LEGACY_SCALARS_TAIL) + R"("next_segment_id":1,)" + legacy_stats(3) +
        ",\"add_nodes\":[" + std::string(ENTRY_COMPACT) + "]," +
        fmt::format(R"("delta_sha":"","manifest_sha":"{}"}})", manifest_sha);
    return replace_once(body, "\"delta_sha\":\"\"", "\"delta_sha\":\"" + short_sha(body) + "\"");
}

TEST(ManifestChainLegacy, HandWrittenRecordsReadWithTheirOwnDigest) {
    const std::string format2_sha = short_sha(legacy_genesis(2, ""));
    EXPECT_EQ(format2_sha, "e96de1fc33697fdb");
    EXPECT_EQ(legacy_genesis(2, "").size(), 413u);
    for (int format : {1, 2}) {
        SCOPED_TRACE(format);
        const std::string sha = short_sha(legacy_genesis(format, ""));
        auto record = parse_record(legacy_genesis(format, sha));
        ASSERT_TRUE(record.has_value()) << record.error().display();
        EXPECT_EQ(record->checkpoint().format, static_cast<std::uint32_t>(format));
        EXPECT_EQ(record->checkpoint().manifest_sha, sha);
        auto finished = finish_raw_record(*record);
        ASSERT_TRUE(finished.has_value());
        EXPECT_FALSE(finished->merkle.has_value());

        expect_corrupt(parse_record(legacy_genesis(format, "0000000000000000")),
                       fmt::format("manifest checksum mismatch: computed {}, recorded 0000000000000000", sha),
                       std::nullopt);
    }
    expect_corrupt(parse_record(legacy_genesis(7, "0000000000000000")),
                   R"(manifest format 7 implies sha_kind "merkle-v1" but the record declares "")", std::nullopt);
    expect_corrupt(parse_record("{\"sha_kind\":\"merkle-v1\"," + legacy_genesis(0, "0000000000000000").substr(1)),
                   R"(manifest format 0 implies sha_kind "" but the record declares "merkle-v1")", std::nullopt);
}

TEST(ManifestChainLegacy, ChainWithoutMerkleStateIsCheckedOnceAtTheEnd) {
    TempDir dir;
    const std::string genesis_sha = short_sha(legacy_genesis(2, ""));
    const std::string one_sha = short_sha(legacy_generation_one(""));
    write_text(manifest_path(dir.path, 0), legacy_genesis(2, genesis_sha));
    write_text(manifest_path(dir.path, 1), legacy_delta(genesis_sha, one_sha));

    auto rebuilt = reconstruct(dir.path, 1);
    ASSERT_TRUE(rebuilt.has_value()) << rebuilt.error().display();
    auto expected = json_parse<Manifest>(legacy_generation_one(one_sha));
    ASSERT_TRUE(expected.has_value());
    EXPECT_EQ(rebuilt->manifest, *expected);
    EXPECT_FALSE(rebuilt->merkle.has_value());
    EXPECT_EQ(rebuilt->checkpoint, 0u);
    EXPECT_EQ(rebuilt->deltas_since_checkpoint, 1u);
    EXPECT_EQ(rebuilt->records_read, 2u);
    EXPECT_EQ(rebuilt->timings.chain_format, 2u);
    EXPECT_EQ(rebuilt->timings.deltas_applied, 1u);

    // A self-consistent delta recording the wrong digest: only the final check can see it, and it
    // names the chain file relative to the store root.
    write_text(manifest_path(dir.path, 1), legacy_delta(genesis_sha, "00000000deadbeef"));
    expect_corrupt(reconstruct(dir.path, 1),
                   fmt::format("reconstructed manifest 1 hashes to {} but the chain records 00000000deadbeef", one_sha),
                   fs::path("manifests/00000000000000000001.json"));
}

// ---- reading one generation ----------------------------------------------------------------------

TEST(ManifestChainRead, FileLevelFailures) {
    TempDir dir;
    ChainBuilder chain(dir.path, 512);
    chain.commit(1);

    auto missing = read_record(dir.path, 5);
    ASSERT_FALSE(missing.has_value());
    expect_error(missing.error(), Category::Io, "No such file or directory (os error 2)", chain.file(5));
    EXPECT_FALSE(missing.error().remedy.has_value());
    EXPECT_TRUE(missing.error().display().ends_with("00000000000000000005.json]"));

    write_text(chain.file(2), "{\"kind\":\"checkpoint\xff\"}");
    auto not_utf8 = read_record(dir.path, 2);
    ASSERT_FALSE(not_utf8.has_value());
    expect_corrupt(not_utf8, "stream did not contain valid UTF-8", chain.file(2));

    write_text(chain.file(3), checkpoint_json(chain.manifest(1)));
    expect_corrupt(read_record(dir.path, 3), "manifest says generation 1 but is filed as 3", chain.file(3));

    write_text(chain.file(4), "{}");
    expect_corrupt(read_record(dir.path, 4),
                   "manifest is not a well-formed document: missing field `format` at line 1 column 2", chain.file(4));

    auto one = read_record_with_state(dir.path, 1);
    ASSERT_TRUE(one.has_value()) << one.error().display();
    EXPECT_TRUE(one->record.is_delta());
    EXPECT_FALSE(one->merkle.has_value());
    auto zero = read_record_with_state(dir.path, 0);
    ASSERT_TRUE(zero.has_value());
    EXPECT_EQ(zero->merkle, ManifestMerkle::from_manifest(Manifest::genesis()));
}

// ---- reconstruction ------------------------------------------------------------------------------

TEST(ManifestChainReconstruct, CheckpointOnly) {
    TempDir dir;
    ChainBuilder chain(dir.path, 512);
    auto rebuilt = reconstruct(dir.path, 0);
    ASSERT_TRUE(rebuilt.has_value()) << rebuilt.error().display();
    EXPECT_EQ(rebuilt->manifest, Manifest::genesis());
    EXPECT_EQ(rebuilt->merkle, ManifestMerkle::from_manifest(Manifest::genesis()));
    EXPECT_EQ(rebuilt->checkpoint, 0u);
    EXPECT_EQ(rebuilt->deltas_since_checkpoint, 0u);
    EXPECT_EQ(rebuilt->records_read, 1u);
    EXPECT_EQ(rebuilt->timings.chain_format, 3u);
    EXPECT_EQ(rebuilt->timings.deltas_applied, 0u);
}

TEST(ManifestChainReconstruct, EveryGenerationOfACheckpointAndDeltaChain) {
    TempDir dir;
    ChainBuilder chain(dir.path, 4);
    chain.commit(1, 1, 0, 1);
    chain.commit(0, 2, 1, 0);
    chain.commit(0, 0, 0, 0);  // only the cursor and the dictionary move
    chain.commit(2, 0, 0, 1);  // generation 4: a checkpoint
    chain.commit(1, 1, 1, 1);
    chain.commit(0, 0, 3, 0);
    for (std::uint64_t generation = 0; generation <= 6; ++generation) {
        SCOPED_TRACE(generation);
        auto rebuilt = reconstruct(dir.path, generation);
        ASSERT_TRUE(rebuilt.has_value()) << rebuilt.error().display();
        const std::uint64_t checkpoint = generation < 4 ? 0 : 4;
        EXPECT_EQ(rebuilt->manifest, chain.manifest(generation));
        EXPECT_EQ(rebuilt->merkle, ManifestMerkle::from_manifest(chain.manifest(generation)));
        EXPECT_EQ(rebuilt->checkpoint, checkpoint);
        EXPECT_EQ(rebuilt->deltas_since_checkpoint, generation - checkpoint);
        EXPECT_EQ(rebuilt->records_read, generation - checkpoint + 1);
        EXPECT_EQ(rebuilt->timings.deltas_applied, generation - checkpoint);
        EXPECT_EQ(rebuilt->timings.chain_format, 3u);
        auto record = read_record(dir.path, generation);
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(record->is_checkpoint(), generation == checkpoint);
    }
}

TEST(ManifestChainReconstruct, NearerCheckpointAndRewrittenBase) {
    TempDir dir;
    ChainBuilder chain(dir.path, 512);
    for (int i = 0; i < 5; ++i) chain.commit(1, 1);

    // A checkpoint between the named one and the target: the walk moves onto it.
    chain.rewrite_as_checkpoint(2);
    auto nearer = reconstruct(dir.path, 5);
    ASSERT_TRUE(nearer.has_value()) << nearer.error().display();
    EXPECT_EQ(nearer->manifest, chain.manifest(5));
    EXPECT_EQ(nearer->checkpoint, 2u);
    EXPECT_EQ(nearer->deltas_since_checkpoint, 3u);
    EXPECT_EQ(nearer->records_read, 6u);

    // Garbage collection removed everything below its rewritten checkpoint: the named checkpoint
    // is gone and the fallback finds the nearest one.
    fs::remove(chain.file(0));
    fs::remove(chain.file(1));
    auto fallback = reconstruct(dir.path, 5);
    ASSERT_TRUE(fallback.has_value()) << fallback.error().display();
    EXPECT_EQ(fallback->manifest, chain.manifest(5));
    EXPECT_EQ(fallback->merkle, ManifestMerkle::from_manifest(chain.manifest(5)));
    EXPECT_EQ(fallback->checkpoint, 2u);
    EXPECT_EQ(fallback->deltas_since_checkpoint, 3u);
    EXPECT_EQ(fallback->records_read, 4u);
    EXPECT_EQ(fallback->timings.deltas_applied, 3u);
}

// The fast path steps a delta before it meets an unreadable file; the fallback then succeeds from a
// nearer checkpoint. The result counts only the fallback's steps, not the abandoned ones.
TEST(ManifestChainReconstruct, FallbackTimingsLeaveOutTheAbandonedFastPath) {
    TempDir dir;
    ChainBuilder chain(dir.path, 512);
    for (int i = 0; i < 5; ++i) chain.commit(1, 0, 1);
    chain.rewrite_as_checkpoint(3);
    write_text(chain.file(2), "]");
    auto rebuilt = reconstruct(dir.path, 5);
    ASSERT_TRUE(rebuilt.has_value()) << rebuilt.error().display();
    EXPECT_EQ(rebuilt->manifest, chain.manifest(5));
    EXPECT_EQ(rebuilt->merkle, ManifestMerkle::from_manifest(chain.manifest(5)));
    EXPECT_EQ(rebuilt->checkpoint, 3u);
    EXPECT_EQ(rebuilt->deltas_since_checkpoint, 2u);
    EXPECT_EQ(rebuilt->records_read, 3u);
    EXPECT_EQ(rebuilt->timings.deltas_applied, 2u);
    EXPECT_EQ(rebuilt->timings.chain_format, 3u);

    // Below the rewritten checkpoint the damage is out of reach; at it, the chain is broken.
    write_text(chain.file(3), "]");
    expect_corrupt(reconstruct(dir.path, 5),
                   "manifest chain broken below generation 5: generation 3 is unreadable: manifest is not valid "
                   "JSON: expected value at line 1 column 1",
                   chain.file(3));
}

TEST(ManifestChainReconstruct, BrokenChainsNameTheFaultAndTheFile) {
    struct Case {
        const char* name;
        std::uint64_t target;
        void (*damage)(ChainBuilder&);
        // The expected message and file, given the builder (some texts carry digests).
        std::pair<std::string, fs::path> (*expected)(const ChainBuilder&);
    };
    const std::vector<Case> cases = {
        {"missing delta below the target", 3, [](ChainBuilder& c) { fs::remove(c.file(2)); },
         [](const ChainBuilder& c) {
             return std::pair{std::string("manifest chain broken below generation 3: generation 2 is unreadable: No "
                                          "such file or directory (os error 2)"),
                              c.file(2)};
         }},
        {"missing checkpoint", 3, [](ChainBuilder& c) { fs::remove(c.file(0)); },
         [](const ChainBuilder& c) {
             return std::pair{std::string("manifest chain broken below generation 3: generation 0 is unreadable: No "
                                          "such file or directory (os error 2)"),
                              c.file(0)};
         }},
        {"unreadable delta below the target", 3,
         [](ChainBuilder& c) {
             fs::remove(c.file(2));
             fs::create_directory(c.file(2));
         },
         [](const ChainBuilder& c) {
             return std::pair{std::string("manifest chain broken below generation 3: generation 2 is unreadable: Is "
                                          "a directory (os error 21)"),
                              c.file(2)};
         }},
        {"delta below the target is not UTF-8", 3, [](ChainBuilder& c) { write_text(c.file(2), "\xff"); },
         [](const ChainBuilder& c) {
             return std::pair{std::string("manifest chain broken below generation 3: generation 2 is unreadable: "
                                          "stream did not contain valid UTF-8"),
                              c.file(2)};
         }},
        {"missing target", 3, [](ChainBuilder& c) { fs::remove(c.file(3)); },
         [](const ChainBuilder& c) {
             return std::pair{std::string("No such file or directory (os error 2)"), c.file(3)};
         }},
        {"wrong parent sha in a middle delta", 3,
         [](ChainBuilder& c) { c.edit_delta(2, true, [](ManifestDelta& d) { d.parent_sha[3] ^= 1; }); },
         [](const ChainBuilder& c) {
             std::string bad = c.manifest(1).manifest_sha;
             bad[3] ^= 1;
             return std::pair{fmt::format("manifest chain broken at generation 2: delta names parent sha {} but "
                                          "generation 1 reconstructs to {}",
                                          bad, c.manifest(1).manifest_sha),
                              c.file(2)};
         }},
        {"wrong manifest sha in a middle delta", 3,
         [](ChainBuilder& c) { c.edit_delta(2, true, [](ManifestDelta& d) { d.manifest_sha[0] ^= 1; }); },
         [](const ChainBuilder& c) {
             std::string bad = c.manifest(2).manifest_sha;
             bad[0] ^= 1;
             return std::pair{fmt::format("reconstructed manifest 2 hashes to {} but the delta records {}",
                                          c.manifest(2).manifest_sha, bad),
                              c.file(2)};
         }},
        {"tampered delta below the target", 3,
         [](ChainBuilder& c) { c.edit_delta(2, false, [](ManifestDelta& d) { d.created_tt += 1; }); },
         [](const ChainBuilder& c) {
             ManifestDelta tampered = *ManifestDelta::from_appends(c.manifest(2), base_of(c.manifest(1)), 0);
             const std::string recorded = tampered.delta_sha;
             tampered.created_tt += 1;
             return std::pair{fmt::format("manifest chain broken below generation 3: generation 2 is unreadable: "
                                          "manifest delta checksum mismatch: computed {}, recorded {}",
                                          tampered.body_sha(), recorded),
                              c.file(2)};
         }},
        {"tampered target delta", 3,
         [](ChainBuilder& c) { c.edit_delta(3, false, [](ManifestDelta& d) { d.created_tt += 1; }); },
         [](const ChainBuilder& c) {
             ManifestDelta tampered = *ManifestDelta::from_appends(c.manifest(3), base_of(c.manifest(2)), 0);
             const std::string recorded = tampered.delta_sha;
             tampered.created_tt += 1;
             return std::pair{fmt::format("manifest delta checksum mismatch: computed {}, recorded {}",
                                          tampered.body_sha(), recorded),
                              c.file(3)};
         }},
        {"target is not JSON", 3, [](ChainBuilder& c) { write_text(c.file(3), "{\"kind\": \"delta\", oops"); },
         [](const ChainBuilder& c) {
             return std::pair{std::string("manifest is not valid JSON: key must be a string at line 1 column 19"),
                              c.file(3)};
         }},
        {"middle file is not JSON", 3, [](ChainBuilder& c) { write_text(c.file(1), "]"); },
         [](const ChainBuilder& c) {
             return std::pair{std::string("manifest chain broken below generation 3: generation 1 is unreadable: "
                                          "manifest is not valid JSON: expected value at line 1 column 1"),
                              c.file(1)};
         }},
        {"middle file is JSON but no record", 3, [](ChainBuilder& c) { write_text(c.file(2), "[]"); },
         [](const ChainBuilder& c) {
             return std::pair{std::string("manifest chain broken below generation 3: generation 2 is unreadable: "
                                          "manifest is not a well-formed document: invalid length 0, expected "
                                          "struct Manifest with 13 elements at line 1 column 2"),
                              c.file(2)};
         }},
        {"target delta names the wrong parent", 3,
         [](ChainBuilder& c) { c.edit_delta(3, true, [](ManifestDelta& d) { d.parent = 1; }); },
         [](const ChainBuilder& c) {
             return std::pair{std::string("manifest delta 3 names parent 1 rather than 2"), c.file(3)};
         }},
        {"middle delta names the wrong parent", 3,
         [](ChainBuilder& c) { c.edit_delta(2, true, [](ManifestDelta& d) { d.parent = 0; }); },
         [](const ChainBuilder& c) {
             return std::pair{std::string("manifest delta 2 names parent 0 rather than 1"), c.file(2)};
         }},
        {"delta names a checkpoint at its own generation", 3,
         [](ChainBuilder& c) { c.edit_delta(3, true, [](ManifestDelta& d) { d.checkpoint = 3; }); },
         [](const ChainBuilder& c) {
             return std::pair{
                 std::string("manifest delta 3 names checkpoint 3 but the nearest checkpoint on disk is 0"), c.file(3)};
         }},
        {"generation 0 is a delta, requested", 0,
         [](ChainBuilder& c) {
             c.edit_delta(1, true, [](ManifestDelta& d) { d.generation = 0; });
             fs::rename(c.file(1), c.file(0));
         },
         [](const ChainBuilder& c) {
             return std::pair{std::string("generation 0 is a delta; the chain has no checkpoint to start from"),
                              c.file(0)};
         }},
        {"generation 0 is a delta, reached by the fallback", 3,
         [](ChainBuilder& c) {
             const std::string one = read_text(c.file(1));
             c.edit_delta(1, true, [](ManifestDelta& d) { d.generation = 0; });
             fs::copy_file(c.file(1), c.file(0), fs::copy_options::overwrite_existing);
             write_text(c.file(1), one);
         },
         [](const ChainBuilder& c) {
             return std::pair{std::string("generation 0 is a delta; the chain has no checkpoint to start from"),
                              c.file(0)};
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ChainBuilder chain(dir.path, 512);
        chain.commit(1, 0, 0, 1);
        chain.commit(0, 1, 1, 0);
        chain.commit(2, 1, 0, 0);
        c.damage(chain);
        const auto [message, file] = c.expected(chain);
        auto result = reconstruct(dir.path, c.target);
        ASSERT_FALSE(result.has_value()) << "expected: " << message;
        // A missing or unparsable file below the target is damage; any other OS failure is not.
        const std::string_view name = c.name;
        const Category category =
            name == "missing target" || name == "unreadable delta below the target" ? Category::Io : Category::Corrupt;
        expect_error(result.error(), category, message, file);
    }
}

TEST(ManifestChainReconstruct, FinishRefusesAnotherGeneration) {
    Walk walk{Manifest::genesis(), ManifestMerkle::from_manifest(Manifest::genesis()), 0, 0, {}};
    expect_corrupt(std::move(walk).finish(5, 1), "reconstruction produced generation 0 rather than 5", std::nullopt);
}

TEST(ManifestChainReconstruct, StepRefusesADeltaAboveTheWalksCheckpoint) {
    AppendFixture f;
    ManifestDelta delta = *ManifestDelta::from_appends(f.next, base_of(f.parent), 1);
    Walk walk{f.parent, ManifestMerkle::from_manifest(f.parent), 0, 0, {}};
    expect_corrupt(walk.step_delta("/store", delta),
                   "manifest delta 2 names checkpoint 1 but the nearest checkpoint on disk is 0",
                   manifest_path("/store", 2));
    walk.checkpoint = 1;
    ASSERT_TRUE(walk.step_delta("/store", delta).has_value());
    EXPECT_EQ(walk.manifest, f.next);
    EXPECT_EQ(walk.deltas_since_checkpoint, 1u);
    EXPECT_EQ(walk.timings.deltas_applied, 1u);
}

// ---- referenced files and the read-only error ----------------------------------------------------

TEST(ManifestChainRecord, ReferencedFilesInLaneOrder) {
    AppendFixture f;
    Manifest m = f.next;
    m.edge_lanes.interval.push_back(make_entry(0, 1));  // duplicates stay
    const ManifestRecord checkpoint{m};
    EXPECT_EQ(checkpoint.referenced_files(),
              (std::vector<std::string_view>{"seg/000000000000.vos", "seg/000000000001.vos", "seg/000000000003.vos",
                                             "seg/000000000002.vos", "seg/000000000000.vos",
                                             "close/000000000002.voc"}));
    EXPECT_EQ(checkpoint.referenced_files()[0].data(), checkpoint.checkpoint().node_store[0].file.data()) << "not borrowed";

    ManifestDelta delta = *ManifestDelta::from_appends(f.next, base_of(f.parent), 0);
    delta.del_nodes = {"seg/000000000000.vos"};
    const ManifestRecord delta_record{delta};
    EXPECT_EQ(delta_record.referenced_files(),
              (std::vector<std::string_view>{"seg/000000000003.vos", "close/000000000002.voc"}));
    delta.add_edges_event.clear();
    delta.add_close_runs.clear();
    EXPECT_TRUE(ManifestRecord{delta}.referenced_files().empty());
}

TEST(ManifestChainRecord, ReadOnlyFormatError) {
    EXPECT_EQ(UPGRADE_MANIFESTS_REMEDY.size(), 125u);
    const EngineError two = read_only_format_error(2);
    EXPECT_EQ(two.category, Category::Invariant);
    EXPECT_EQ(two.location, Location{});
    EXPECT_EQ(two.display(),
              "invariant: this store was written by a format-2 engine (manifest_sha is the sha of the whole document "
              "rather than a Merkle root over the segment set), and this build writes manifest format 3; it is open "
              "read-only \xe2\x80\x94 run `vorp store upgrade-manifests --store <path>`: it writes one format-3 "
              "checkpoint and flips CURRENT, touching nothing else");
    EXPECT_EQ(read_only_format_error(1).message,
              "this store was written by a format-1 engine (one full manifest per generation), and this build writes "
              "manifest format 3; it is open read-only");
    EXPECT_EQ(read_only_format_error(7).message,
              "this store uses an unknown manifest format, and this build writes manifest format 3; it is open "
              "read-only");
}

}  // namespace
}  // namespace vorp

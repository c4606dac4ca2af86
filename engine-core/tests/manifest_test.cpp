#include "vorp/manifest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>
#include <string>

#include <fmt/format.h>

#include "vorp/json.h"
#include "vorp/merkle.h"

namespace vorp {
namespace {

constexpr std::string_view kGenesisJson =
    R"({"format":3,"generation":0,"parent":null,"created_tt":0,)"
    R"("event_log":{"offset":0,"chain":"e3b0c44298fc1c14"},"dict":{"records":0,"bytes":0},)"
    R"("widths":{"entity_id":32,"row_id":32,"rel_code":16},"node_store":[],)"
    R"("edge_lanes":{"event":[],"interval":[]},"close_runs":[],"next_segment_id":0,)"
    R"("stats":{"n_entities":0,"n_node_versions":0,"n_edge_versions":0,"vt_min":null,"vt_max":null,)"
    R"("max_out_degree":0},"manifest_sha":"f6a8812338a9f3af"})";

SegmentEntry sample_entry(std::uint64_t id) {
    SegmentEntry entry;
    entry.file = fmt::format("seg/{:012}.vos", id);
    entry.rows = static_cast<std::uint32_t>(id * 10 + 1);
    entry.key_lo = {-5, "0000000000000000000000aa"};
    entry.key_hi = {static_cast<std::int64_t>(id), "0000000000000000000000bb"};
    entry.vt_min = -5;
    entry.vt_max = static_cast<std::int64_t>(id);
    entry.vt_e_max = 100;
    entry.tt_s_min = 1;
    entry.tt_s_max = 2;
    return entry;
}

// A manifest with every member away from its default and entries in every list.
Manifest populated_manifest() {
    Manifest manifest = Manifest::genesis().successor(std::numeric_limits<std::int64_t>::min());
    manifest.generation = std::numeric_limits<std::uint64_t>::max();
    manifest.event_log = {18, "tab\there\x01 caf\xc3\xa9 \"q\" \\"};
    manifest.dict = {4294967295u, 77};
    manifest.node_store = {sample_entry(0), sample_entry(3)};
    manifest.edge_lanes.event = {sample_entry(1)};
    manifest.edge_lanes.interval = {sample_entry(2)};
    manifest.edge_lanes.interval[0].rel_codes = {0, 65535};
    manifest.edge_lanes.interval[0].n_closed_folded = 2;
    manifest.edge_lanes.interval[0].all_current = false;
    manifest.close_runs = {{"close/000000000005.voc", 9, ""}};
    manifest.next_segment_id = 4;
    manifest.stats = {3, 4, 5, -7, std::nullopt, 12};
    manifest.seal();
    return manifest;
}

// Re-serialises a generic value with the members of every object in reverse order (and the layout
// spread over lines), or with every object turned into the array of its member values.
enum class Reshape { ReverseMembers, ArrayForm };

void reshape(const JsonValue& value, Reshape how, std::string& out) {
    switch (value.kind) {
        case JsonKind::Object:
            if (how == Reshape::ArrayForm) {
                out += '[';
                for (std::size_t idx = 0; idx < value.object.size(); ++idx) {
                    if (idx) out += ',';
                    reshape(value.object[idx].value, how, out);
                }
                out += ']';
            } else {
                out += "{\n  \"unknown\": [1, {\"x\": null}],";
                for (std::size_t idx = value.object.size(); idx-- > 0;) {
                    append_json_string(out, value.object[idx].key);
                    out += " :\t";
                    reshape(value.object[idx].value, how, out);
                    if (idx) out += ",\n ";
                }
                out += "\n}";
            }
            return;
        case JsonKind::Array:
            out += '[';
            for (std::size_t idx = 0; idx < value.array.size(); ++idx) {
                if (idx) out += ", ";
                reshape(value.array[idx], how, out);
            }
            out += ']';
            return;
        case JsonKind::Null: out += "null"; return;
        case JsonKind::Bool: out += value.boolean ? "true" : "false"; return;
        case JsonKind::UInt: out += std::to_string(value.uint_value); return;
        case JsonKind::Int: out += std::to_string(value.int_value); return;
        case JsonKind::String: append_json_string(out, value.string); return;
        case JsonKind::Float: break;
    }
    FAIL() << "unexpected value kind";
}

std::string reshaped(std::string_view json, Reshape how) {
    auto value = json_parse_value(json);
    EXPECT_TRUE(value.has_value());
    std::string out;
    if (value) reshape(*value, how, out);
    return out;
}

template <class Record>
std::string read_error(std::string_view text) {
    auto result = json_parse<Record>(text);
    if (result) return "(read succeeded)";
    return result.error().text();
}

TEST(ManifestRecord, ShortShaAndFormats) {
    EXPECT_EQ(short_sha(""), "e3b0c44298fc1c14");
    EXPECT_EQ(short_sha("abc"), "ba7816bf8f01cfea");
    EXPECT_EQ(read_only_list(), "1 or 2");
    EXPECT_EQ(MANIFEST_FORMAT_VERSION, 3u);
}

TEST(ManifestRecord, GenesisCompactJson) {
    const Manifest genesis = Manifest::genesis();
    EXPECT_EQ(genesis.manifest_sha, "f6a8812338a9f3af");
    const std::string json = to_compact_json(genesis);
    EXPECT_EQ(json, kGenesisJson);
    EXPECT_EQ(json.size(), 429u);
    EXPECT_EQ(to_compact_json(genesis.widths), R"({"entity_id":32,"row_id":32,"rel_code":16})");
    EXPECT_EQ(to_compact_json(genesis.widths).size(), 42u);
    EXPECT_EQ(to_compact_json(genesis.stats).size(), 103u);
    EXPECT_TRUE(genesis.verify().has_value());
}

TEST(ManifestRecord, EntryAndTextForms) {
    SegmentEntry entry = sample_entry(7);
    EXPECT_EQ(to_compact_json(entry),
              R"({"file":"seg/000000000007.vos","rows":71,"key_lo":[-5,"0000000000000000000000aa"],)"
              R"("key_hi":[7,"0000000000000000000000bb"],"vt_min":-5,"vt_max":7,"vt_e_max":100,)"
              R"("tt_s_min":1,"tt_s_max":2,"rel_codes":[],"n_closed_folded":0,"all_current":true,"sha":""})");
    EXPECT_EQ(to_compact_json(CloseRunRef{"close/000000000005.voc", 9, ""}),
              R"({"file":"close/000000000005.voc","entries":9,"sha":""})");

    // Only '"', '\\' and bytes below 0x20 are escaped; 0x7F, '/' and UTF-8 are written raw.
    const EventLogRef cursor{std::numeric_limits<std::uint64_t>::max(), "a\tb\x01\x1f\x7f/\xc3\xa9\"\\\n"};
    const std::string json = to_compact_json(cursor);
    EXPECT_EQ(json, "{\"offset\":18446744073709551615,\"chain\":\"a\\tb\\u0001\\u001f\x7f/\xc3\xa9\\\"\\\\\\n\"}");
    EXPECT_EQ(json_parse<EventLogRef>(json), cursor);

    Stats stats{1, 2, 3, std::numeric_limits<std::int64_t>::min(), 0, 4};
    EXPECT_EQ(to_compact_json(stats),
              R"({"n_entities":1,"n_node_versions":2,"n_edge_versions":3,"vt_min":-9223372036854775808,)"
              R"("vt_max":0,"max_out_degree":4})");
}

TEST(ManifestRecord, SuccessorAndEquality) {
    const Manifest genesis = Manifest::genesis();
    const Manifest next = genesis.successor(5);
    EXPECT_EQ(next.parent, std::optional<std::uint64_t>(0));
    EXPECT_EQ(next.generation, 1u);
    EXPECT_EQ(next.created_tt, 5);
    EXPECT_EQ(next.manifest_sha, "");
    Manifest restored = next;
    restored.parent.reset();
    restored.generation = 0;
    restored.created_tt = 0;
    restored.manifest_sha = genesis.manifest_sha;
    EXPECT_EQ(restored, genesis);

    // Deep copy: changing the copy's lists leaves the original alone.
    const Manifest original = populated_manifest();
    Manifest copy = original;
    EXPECT_EQ(copy, original);
    copy.node_store[0].key_lo.second[0] = 'f';
    copy.edge_lanes.interval[0].rel_codes.push_back(1);
    EXPECT_NE(copy, original);
    EXPECT_EQ(original.node_store[0].key_lo.second, "0000000000000000000000aa");
    EXPECT_EQ(original.edge_lanes.interval[0].rel_codes.size(), 2u);

    Manifest other_sha = original;
    other_sha.manifest_sha = "0000000000000000";
    EXPECT_NE(other_sha, original);
    Stats absent_bound = original.stats, zero_bound = original.stats;
    absent_bound.vt_max.reset();
    zero_bound.vt_max = 0;
    EXPECT_NE(absent_bound, zero_bound);
}

TEST(ManifestRecord, ReadsItsOwnFormsBack) {
    const Manifest manifest = populated_manifest();
    const std::string compact = to_compact_json(manifest);
    EXPECT_EQ(json_parse<Manifest>(compact), manifest);

    // Members in another order, extra keys and whitespace: the same record; written again, the
    // extra keys are gone and the bytes are the compact form.
    const std::string reordered = reshaped(compact, Reshape::ReverseMembers);
    ASSERT_NE(reordered, compact);
    auto from_reordered = json_parse<Manifest>(reordered);
    ASSERT_TRUE(from_reordered.has_value()) << from_reordered.error().text();
    EXPECT_EQ(*from_reordered, manifest);
    EXPECT_EQ(to_compact_json(*from_reordered), compact);

    // Every record given as the array of its member values, nested records included.
    const std::string arrays = reshaped(compact, Reshape::ArrayForm);
    ASSERT_EQ(arrays.front(), '[');
    auto from_arrays = json_parse<Manifest>(arrays);
    ASSERT_TRUE(from_arrays.has_value()) << from_arrays.error().text();
    EXPECT_EQ(*from_arrays, manifest);

    // A checkpoint's kind and sha_kind are skipped.
    const std::string checkpoint = R"({"kind":"checkpoint","sha_kind":"merkle-v1",)" + compact.substr(1);
    EXPECT_EQ(json_parse<Manifest>(checkpoint), manifest);
}

TEST(ManifestRecord, OptionalMembers) {
    // "parent":null reads as no parent, like an absent member.
    EXPECT_EQ(json_parse<Manifest>(kGenesisJson), Manifest::genesis());

    std::string without_parent(kGenesisJson);
    const std::string parent_member = R"("parent":null,)";
    without_parent.erase(without_parent.find(parent_member), parent_member.size());
    auto genesis = json_parse<Manifest>(without_parent);
    ASSERT_TRUE(genesis.has_value()) << genesis.error().text();
    EXPECT_FALSE(genesis->parent.has_value());
    EXPECT_EQ(to_compact_json(*genesis), kGenesisJson);

    auto stats = json_parse<Stats>(R"({"n_entities":1,"n_node_versions":2,"n_edge_versions":3,"max_out_degree":4})");
    ASSERT_TRUE(stats.has_value()) << stats.error().text();
    EXPECT_EQ(*stats, (Stats{1, 2, 3, std::nullopt, std::nullopt, 4}));
    EXPECT_EQ(json_parse<Stats>("[1,2,3,null,-9,4]"), (Stats{1, 2, 3, std::nullopt, -9, 4}));
}

TEST(ManifestRecord, ReadErrors) {
    const std::string entry = to_compact_json(sample_entry(1));
    const std::string entry_without_sha = entry.substr(0, entry.find(R"(,"sha")")) + "}";
    struct Case {
        std::string text;
        std::string (*read)(std::string_view);
        std::string expected;
    };
    const Case cases[] = {
        {R"({"file":"a","entries":1})", read_error<CloseRunRef>, "missing field `sha` at line 1 column 24"},
        {R"({"file":"a","file":"a","entries":1,"sha":""})", read_error<CloseRunRef>,
         "duplicate field `file` at line 1 column 18"},
        {entry_without_sha, read_error<SegmentEntry>,
         fmt::format("missing field `sha` at line 1 column {}", entry_without_sha.size())},
        {R"({"entity_id":256,"row_id":32,"rel_code":16})", read_error<Widths>,
         "invalid value: integer `256`, expected u8 at line 1 column 16"},
        {R"({"file":"a","entries":-1,"sha":""})", read_error<CloseRunRef>,
         "invalid value: integer `-1`, expected u32 at line 1 column 24"},
        {R"({"file":"a","entries":1.5,"sha":""})", read_error<CloseRunRef>,
         "invalid type: floating point `1.5`, expected u32 at line 1 column 25"},
        {R"({"records":1e2,"bytes":0})", read_error<DictRef>,
         "invalid type: floating point `100.0`, expected u32 at line 1 column 14"},
        {R"(["a",1])", read_error<CloseRunRef>, "invalid length 2, expected struct CloseRunRef with 3 elements at line 1 column 7"},
        {"[]", read_error<Manifest>, "invalid length 0, expected struct Manifest with 13 elements at line 1 column 2"},
        {"[0,0,0]", read_error<Stats>, "invalid length 3, expected struct Stats with 6 elements at line 1 column 7"},
        {"[[]]", read_error<EdgeLanes>, "invalid length 1, expected struct EdgeLanes with 2 elements at line 1 column 4"},
        {"5", read_error<Manifest>, "invalid type: integer `5`, expected struct Manifest at line 1 column 1"},
        {"\"x\"", read_error<SegmentEntry>, "invalid type: string \"x\", expected struct SegmentEntry at line 1 column 3"},
        {R"({"offset":1,"chain":null})", read_error<EventLogRef>,
         "invalid type: null, expected a string at line 1 column 24"},
        {R"({"event":[],"interval":[1]})", read_error<EdgeLanes>,
         "invalid type: integer `1`, expected struct SegmentEntry at line 1 column 25"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.read(c.text), c.expected) << c.text;

    // A repeated key fails even with the same value twice; the failing position is just after it.
    auto twice = json_parse<DictRef>(R"({"records":1,"bytes":2,"bytes":2})");
    ASSERT_FALSE(twice.has_value());
    EXPECT_EQ(twice.error().message, "duplicate field `bytes`");
    EXPECT_TRUE(twice.error().is_data());

    // Member types inside a segment entry.
    auto replace = [&](std::string_view from, std::string_view to) {
        std::string text = entry;
        text.replace(text.find(from), from.size(), to);
        auto result = json_parse<SegmentEntry>(text);
        return result ? std::string("(read succeeded)") : result.error().message;
    };
    EXPECT_EQ(replace("\"rel_codes\":[]", "\"rel_codes\":[65536]"), "invalid value: integer `65536`, expected u16");
    EXPECT_EQ(replace("[-5,\"0000000000000000000000aa\"]", "[-5]"), "invalid length 1, expected a tuple of size 2");
    EXPECT_EQ(replace("\"all_current\":true", "\"all_current\":1"), "invalid type: integer `1`, expected a boolean");
    EXPECT_EQ(replace("\"rows\":11", "\"rows\":4294967296"), "invalid value: integer `4294967296`, expected u32");

    // A longer array is not a record of the same shape: the JSON library's trailing-characters
    // error, a syntax-class failure.
    auto longer = json_parse<CloseRunRef>(R"(["a",1,"",4])");
    ASSERT_FALSE(longer.has_value());
    EXPECT_EQ(longer.error().message, "trailing characters");
    EXPECT_TRUE(longer.error().is_syntax());
}

// The compact forms of segment entries and close runs are written by hand, straight into the
// buffer; the pretty form still goes member by member through the record table. With the white
// space outside strings removed the two must be the same bytes, and the compact form must read back
// to the same record, for any strings (escapes, UTF-8, long enough to take the table's path) and
// numbers at their extremes, alone and as list elements.
std::string without_layout(std::string_view pretty) {
    std::string out;
    bool in_string = false;
    for (std::size_t index = 0; index < pretty.size(); ++index) {
        const char c = pretty[index];
        if (in_string) {
            out.push_back(c);
            if (c == '\\') out.push_back(pretty[++index]);
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
            out.push_back(c);
        } else if (c != ' ' && c != '\n') {
            out.push_back(c);
        }
    }
    return out;
}

std::string random_field_text(std::mt19937_64& rng) {
    static const std::vector<std::string> pieces = {"seg/", "0", "a", "\"", "\\", "\n", "\x01", "\x1f", "/",
                                                    "\xc3\xa9", "\xf0\x9f\x98\x80", " "};
    std::string out;
    const std::uint64_t length_class = rng() % 20;
    const std::size_t count = length_class == 0 ? 5000 : rng() % 30;  // some past the raw-form limit
    for (std::size_t index = 0; index < count; ++index) out += pieces[rng() % pieces.size()];
    return out;
}

std::int64_t random_i64(std::mt19937_64& rng) {
    switch (rng() % 4) {
        case 0: return std::numeric_limits<std::int64_t>::min();
        case 1: return std::numeric_limits<std::int64_t>::max();
        case 2: return -static_cast<std::int64_t>(rng() % 1000);
        default: return static_cast<std::int64_t>(rng() >> 1);
    }
}

TEST(ManifestCompactForm, HandWrittenEntriesMatchTheRecordTable) {
    std::mt19937_64 rng(31);
    for (int seed = 0; seed < 300; ++seed) {
        std::vector<SegmentEntry> entries(1 + rng() % 3);
        for (SegmentEntry& entry : entries) {
            entry.file = random_field_text(rng);
            entry.rows = rng() % 2 ? std::numeric_limits<std::uint32_t>::max() : static_cast<std::uint32_t>(rng() % 100);
            entry.key_lo = {random_i64(rng), random_field_text(rng)};
            entry.key_hi = {random_i64(rng), random_field_text(rng)};
            entry.vt_min = random_i64(rng);
            entry.vt_max = random_i64(rng);
            entry.vt_e_max = random_i64(rng);
            entry.tt_s_min = random_i64(rng);
            entry.tt_s_max = random_i64(rng);
            entry.rel_codes.resize(rng() % 4);
            for (auto& code : entry.rel_codes) code = static_cast<std::uint16_t>(rng());
            entry.n_closed_folded = static_cast<std::uint32_t>(rng());
            entry.all_current = rng() % 2 == 0;
            entry.sha = rng() % 2 ? "" : random_field_text(rng);
        }
        CloseRunRef run{random_field_text(rng), static_cast<std::uint32_t>(rng()), rng() % 2 ? "" : random_field_text(rng)};

        for (const SegmentEntry& entry : entries) {
            const std::string compact = to_compact_json(entry);
            ASSERT_EQ(compact, without_layout(json_to_string(entry, JsonStyle::Pretty))) << seed;
            JsonResult<SegmentEntry> back = json_parse<SegmentEntry>(compact);
            ASSERT_TRUE(back) << back.error().text();
            EXPECT_EQ(*back, entry) << seed;
        }
        ASSERT_EQ(json_to_string(entries), without_layout(json_to_string(entries, JsonStyle::Pretty))) << seed;
        const std::string compact_run = to_compact_json(run);
        ASSERT_EQ(compact_run, without_layout(json_to_string(run, JsonStyle::Pretty))) << seed;
        JsonResult<CloseRunRef> run_back = json_parse<CloseRunRef>(compact_run);
        ASSERT_TRUE(run_back) << run_back.error().text();
        EXPECT_EQ(*run_back, run);
    }
}

}  // namespace
}  // namespace vorp

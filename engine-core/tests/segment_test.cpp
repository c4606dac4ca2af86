#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "segment_image.h"
#include "test_support.h"
#include "vorp/checksum.h"
#include "vorp/codec.h"
#include "vorp/derive.h"
#include "vorp/durable.h"
#include "vorp/fileio.h"
#include "vorp/json.h"
#include "vorp/segment.h"
#include "vorp/text.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;
using testing::assemble;
using testing::craft;
using testing::FileParts;
using testing::get_u32;
using testing::le32;
using testing::set_u32;
using testing::split;
using Runs = std::vector<std::pair<std::uint32_t, std::int64_t>>;
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();

// ---- helpers -------------------------------------------------------------------------------------

struct TempDir : vorp::testing::TempDir {
    TempDir() : vorp::testing::TempDir("vorp-segment-test") {}
    const fs::path& path() const { return vorp::testing::TempDir::path; }
};

std::string chars(std::span<const std::uint8_t> bytes) { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }

Result<std::shared_ptr<const Segment>> open_image(std::string_view image, bool verify, const fs::path& path = "mem.vos") {
    return Segment::open(path, VORP_TRY(MemorySource::copy_of(image)), verify);
}

Result<std::shared_ptr<const Segment>> open_mapped(const fs::path& path, bool verify) {
    return Segment::open(path, VORP_TRY(MmapSource::load(path)), verify);
}

// The message of a failed result (empty when it succeeded).
template <class T>
std::string message_of(const Result<T>& result) {
    return result ? std::string() : result.error().message;
}

EdgeRow edge(std::string rel, std::string disc, std::string props, std::string source, std::optional<std::string> prov,
             Id96 vid, std::int64_t vt_s, std::int64_t vt_e, std::int64_t tt_s, std::uint32_t src, std::uint32_t dst) {
    return EdgeRow{std::move(rel), std::move(disc), std::move(props), std::move(source), std::move(prov), vid,
                   vt_s,           vt_e,           tt_s,             src,               dst};
}

NodeRow node(std::string label, std::string props, std::string source, std::optional<std::string> prov, Id96 vid,
             std::int64_t vt_s, std::int64_t vt_e, std::int64_t tt_s, std::uint32_t uid) {
    return NodeRow{std::move(label), std::move(props), std::move(source), std::move(prov), vid, vt_s, vt_e, tt_s, uid};
}

std::vector<std::string> column_names(const SegmentHeader& header) {
    std::vector<std::string> names;
    for (const ColumnDesc& desc : header.columns) names.push_back(desc.name);
    return names;
}

const ColumnDesc& column(const SegmentHeader& header, std::string_view name) {
    for (const ColumnDesc& desc : header.columns)
        if (desc.name == name) return desc;
    throw std::runtime_error("no such column");
}

template <class T>
std::vector<T> values(const Segment& segment, std::string_view name) {
    const Result<std::span<const T>> column = segment.typed<T>(name);
    EXPECT_TRUE(column.has_value()) << name << ": " << message_of(column);
    if (!column) return {};
    return {column->begin(), column->end()};
}

std::vector<std::string> texts_of(const Segment& segment, std::string_view ref_column) {
    const StringView strings = segment.strings().value();
    std::vector<std::string> out;
    for (const std::uint32_t ref : values<std::uint32_t>(segment, ref_column)) {
        const std::optional<std::string_view> text = strings.get_opt(ref).value();
        out.push_back(text ? std::string(*text) : std::string("<none>"));
    }
    return out;
}

std::string raw_table_of(std::initializer_list<std::string_view> texts) {
    StringTable table;
    for (const std::string_view text : texts) table.intern(text);
    const std::vector<std::uint8_t> raw = table.raw_table();
    return std::string(raw.begin(), raw.end());
}

template <class T>
std::string raw_values(std::initializer_list<T> list) {
    std::string out(list.size() * sizeof(T), '\0');
    std::memcpy(out.data(), std::data(list), out.size());
    return out;
}

// ---- format basics -------------------------------------------------------------------------------

TEST(SegmentFormat, BodyStartAndAlignment) {
    EXPECT_EQ(segment_body_start(52), 64u);   // 12 + 52 = 64: no padding
    EXPECT_EQ(segment_body_start(53), 128u);  // 63 bytes of padding
    EXPECT_EQ(segment_body_start(0), 64u);
    EXPECT_EQ(segment_body_start(116), 128u);
    EXPECT_EQ(segment_body_start(0xFFFFFFFFull), 0x100000040ull);
    EXPECT_EQ(align_up_64(0), 0u);
    EXPECT_EQ(align_up_64(2), 64u);
    EXPECT_EQ(align_up_64(64), 64u);
    EXPECT_EQ(segment_relative_path(7), fs::path("seg/000000000007.vos"));
    EXPECT_EQ(segment_relative_path(1234567890123ull), fs::path("seg/1234567890123.vos"));
    EXPECT_EQ(vt_s_plus_one(I64_MAX), I64_MIN);
    EXPECT_EQ(SEGMENT_HEAD_MAGIC, get_u32("VOSG", 0));
    EXPECT_EQ(SEGMENT_TAIL_MAGIC, get_u32("VOSE", 0));
}

TEST(SegmentFormat, DTypeWordsAndJson) {
    EXPECT_EQ(fmt::format("{} {} {} {}", DType::I64, DType::U64, DType::U32, DType::U16), "I64 U64 U32 U16");
    EXPECT_EQ(json_to_string(DType::U16), "\"u16\"");
    EXPECT_EQ(json_parse<DType>("\"u32\"").value(), DType::U32);
    EXPECT_EQ(json_parse<DType>("{\"u64\":null}").value(), DType::U64);
    EXPECT_EQ(json_parse<DType>("\"U32\"").error().text(),
              "unknown variant `U32`, expected one of `i64`, `u64`, `u32`, `u16` at line 1 column 5");
    EXPECT_EQ(dtype_width(DType::I64), 8u);
    EXPECT_EQ(dtype_width(DType::U64), 8u);
    EXPECT_EQ(dtype_width(DType::U32), 4u);
    EXPECT_EQ(dtype_width(DType::U16), 2u);
}

SegmentHeader sample_header() {
    SegmentHeader header;
    header.kind = RowKind::Edge;
    header.lane = Lane::Interval;
    header.rows = 2;
    header.block_rows = BLOCK_ROWS;
    header.key_lo = {5, "000000000000000100000002"};
    header.key_hi = {7, "000000000000000100000003"};
    header.vt_min = 5;
    header.vt_max = 7;
    header.vt_e_max = 9;
    header.tt_s_runs = {{0, 100}, {1, 101}};
    header.rel_types = {"knows", "a\"b"};
    header.columns = {ColumnDesc{"vt_s", DType::I64, 0, 16, 0}};
    header.strings_offset = 64;
    header.strings_bytes = 12;
    header.strings_count = 1;
    header.closed_rows = {{1, -3}};
    return header;
}

constexpr std::string_view SAMPLE_HEADER_JSON =
    R"({"format":1,"kind":"edge","lane":"interval","rows":2,"block_rows":32768,)"
    R"("key_lo":[5,"000000000000000100000002"],"key_hi":[7,"000000000000000100000003"],)"
    R"("vt_min":5,"vt_max":7,"vt_e_max":9,"tt_s_runs":[[0,100],[1,101]],"rel_types":["knows","a\"b"],)"
    R"("columns":[{"name":"vt_s","dtype":"i64","offset":0,"bytes":16,"codec":0}],"vt_e_elided":false,)"
    R"("strings_offset":64,"strings_bytes":12,"strings_count":1,"closed_rows":[[1,-3]]})";

TEST(SegmentFormat, HeaderAndFooterCompactJson) {
    EXPECT_EQ(segment_header_json(sample_header()), SAMPLE_HEADER_JSON);
    EXPECT_EQ(parse_segment_header(SAMPLE_HEADER_JSON).value(), sample_header());

    const SegmentFooter footer{{1, 4294967295u}, 3, 4, "0123456789abcdef"};
    const std::string footer_json = R"({"extent_crcs":[1,4294967295],"strings_crc":3,"rows":4,"body_sha":"0123456789abcdef"})";
    EXPECT_EQ(segment_footer_json(footer), footer_json);
    EXPECT_EQ(parse_segment_footer(footer_json).value(), footer);
    EXPECT_EQ(json_to_string(ColumnDesc{"x", DType::U16, 64, 2, 1}),
              R"({"name":"x","dtype":"u16","offset":64,"bytes":2,"codec":1})");
}

TEST(SegmentFormat, HeaderReaderRules) {
    const std::string full(SAMPLE_HEADER_JSON);
    const auto without = [&](std::string_view member_text) {
        std::string text = full;
        text.erase(text.find(member_text), member_text.size());
        return text;
    };
    // closed_rows is the one optional member.
    const std::string no_closed = without(",\"closed_rows\":[[1,-3]]");
    EXPECT_TRUE(parse_segment_header(no_closed).value().closed_rows.empty());
    const std::string no_count = without("\"strings_count\":1,");
    EXPECT_EQ(message_of(parse_segment_header(no_count)),
              fmt::format("missing field `strings_count` at line 1 column {}", no_count.size()));

    // Unknown members are skipped, repeated ones refused.
    SegmentHeader with_extra = parse_segment_header("{\"extra\":[1,{\"a\":null}]," + full.substr(1)).value();
    EXPECT_EQ(with_extra, sample_header());
    EXPECT_EQ(message_of(parse_segment_header(R"({"rows":1,"rows":1})")), "duplicate field `rows` at line 1 column 16");
    const std::string footer = R"({"extent_crcs":[1],"strings_crc":3,"rows":4,"body_sha":"0123456789abcdef"})";
    EXPECT_EQ(parse_segment_footer(R"({"seal":{"by":[1,null]},)" + footer.substr(1)).value(),
              (SegmentFooter{{1}, 3, 4, "0123456789abcdef"}));
    EXPECT_EQ(message_of(parse_segment_footer(R"({"strings_crc":3,"extent_crcs":[],"strings_crc":3})")),
              "duplicate field `strings_crc` at line 1 column 47");

    // The array form; closed_rows may be left out at the end.
    const std::string array_form =
        R"([1,"node","event",3,32768,[1,"a"],[2,"b"],1,2,3,[[0,9]],[],[],true,0,12,1])";
    const SegmentHeader from_array = parse_segment_header(array_form).value();
    EXPECT_EQ(from_array.rows, 3u);
    EXPECT_EQ(from_array.kind, RowKind::Node);
    EXPECT_TRUE(from_array.vt_e_elided);
    EXPECT_TRUE(from_array.closed_rows.empty());
    const std::string sixteen = R"([1,"node","event",3,32768,[1,"a"],[2,"b"],1,2,3,[[0,9]],[],[],true,0,12])";
    EXPECT_EQ(message_of(parse_segment_header(sixteen)),
              fmt::format("invalid length 16, expected struct SegmentHeader with 18 elements at line 1 column {}",
                          sixteen.size()));
    EXPECT_EQ(message_of(parse_segment_header("5")),
              "invalid type: integer `5`, expected struct SegmentHeader at line 1 column 1");
    EXPECT_EQ(message_of(parse_segment_footer("[[],1,2]")),
              "invalid length 3, expected struct SegmentFooter with 4 elements at line 1 column 8");
    EXPECT_EQ(json_parse<ColumnDesc>(R"(["a","u16",0])").error().text(),
              "invalid length 3, expected struct ColumnDesc with 5 elements at line 1 column 13");

    // Numbers must fit their member.
    std::string negative_rows = full;
    negative_rows.replace(negative_rows.find("\"rows\":2"), 8, "\"rows\":-1");
    EXPECT_EQ(message_of(parse_segment_header(negative_rows)).rfind("invalid value: integer `-1`, expected u32", 0), 0u);
    std::string huge_rows = full;
    huge_rows.replace(huge_rows.find("\"rows\":2"), 8, "\"rows\":4294967296");
    EXPECT_EQ(message_of(parse_segment_header(huge_rows)).rfind("invalid value: integer `4294967296`, expected u32", 0), 0u);
    std::string upper_dtype = full;
    upper_dtype.replace(upper_dtype.find("\"i64\""), 5, "\"I64\"");
    EXPECT_EQ(message_of(parse_segment_header(upper_dtype)).rfind("unknown variant `I64`, expected one of", 0), 0u);
}

TEST(SegmentFormat, TtsAt) {
    SegmentHeader header;
    header.tt_s_runs = {{0, 5}, {10, 7}};
    EXPECT_EQ(header.tt_s_at(0).value(), 5);
    EXPECT_EQ(header.tt_s_at(9).value(), 5);
    EXPECT_EQ(header.tt_s_at(10).value(), 7);
    EXPECT_EQ(header.tt_s_at(1000000).value(), 7);
    header.tt_s_runs = {{3, 1}};
    const Result<std::int64_t> uncovered = header.tt_s_at(2);
    ASSERT_FALSE(uncovered);
    EXPECT_EQ(uncovered.error().category, Category::Corrupt);
    EXPECT_EQ(uncovered.error().message, "no tt_s run covers row 2");
    EXPECT_EQ(uncovered.error().remedy, std::string(RESTORE_REMEDY));
    header.tt_s_runs.clear();
    EXPECT_EQ(message_of(header.tt_s_at(0)), "no tt_s run covers row 0");
}

// ---- writer and round trips ----------------------------------------------------------------------

TEST(SegmentWriter, EdgeRoundTripWithStoredVtE) {
    TempDir dir;
    const std::vector<EdgeRow> rows = {
        edge("knows", "", "{\"w\":1}", "src-a", std::nullopt, {1, 2}, 10, 20, 100, 1, 2),
        edge("likes", "d1", "{\"w\":1}", "src-b", "", {1, 3}, 11, 12, 100, 2, 3),
        edge("knows", "d1", "{}", "src-a", "p", {2, 0}, 9, 30, 101, 3, 1),
    };
    SegmentWriteOptions options;
    options.closed_rows = {{1, 500}};
    options.lane = Lane::Interval;
    const fs::path path = dir.path() / "seg" / "000000000001.vos";
    ASSERT_TRUE(write_edge_segment(path, rows, options));
    EXPECT_FALSE(fs::exists(dir.path() / "seg" / "000000000001.vos.tmp"));

    for (const bool verify : {true, false}) {
        const auto segment = open_mapped(path, verify).value();
        const SegmentHeader& h = segment->header;
        EXPECT_EQ(h.format, 1u);
        EXPECT_EQ(h.kind, RowKind::Edge);
        EXPECT_EQ(h.lane, Lane::Interval);
        EXPECT_EQ(h.rows, 3u);
        EXPECT_EQ(h.block_rows, BLOCK_ROWS);
        EXPECT_EQ(h.key_lo, (std::pair<std::int64_t, std::string>{10, "000000000000000100000002"}));
        EXPECT_EQ(h.key_hi, (std::pair<std::int64_t, std::string>{9, "000000000000000200000000"}));
        EXPECT_EQ(h.vt_min, 9);
        EXPECT_EQ(h.vt_max, 11);
        EXPECT_EQ(h.vt_e_max, 30);
        EXPECT_EQ(h.tt_s_runs, (Runs{{0, 100}, {2, 101}}));
        EXPECT_EQ(h.rel_types, (std::vector<std::string>{"knows", "likes"}));
        EXPECT_FALSE(h.vt_e_elided);
        EXPECT_EQ(h.strings_count, 7u);
        EXPECT_EQ(h.closed_rows, (Runs{{1, 500}}));
        EXPECT_EQ(column_names(h), (std::vector<std::string>{"vt_s", "src_id", "dst_id", "rel_code", "vid64", "vid_lo32",
                                                              "vt_e", "props_ref", "disc_ref", "source_ref", "prov_ref"}));
        EXPECT_EQ(segment->tt_s_min, 100);
        EXPECT_EQ(segment->tt_s_max, 101);

        EXPECT_EQ(values<std::int64_t>(*segment, "vt_s"), (std::vector<std::int64_t>{10, 11, 9}));
        EXPECT_EQ(values<std::uint32_t>(*segment, "src_id"), (std::vector<std::uint32_t>{1, 2, 3}));
        EXPECT_EQ(values<std::uint32_t>(*segment, "dst_id"), (std::vector<std::uint32_t>{2, 3, 1}));
        EXPECT_EQ(values<std::uint16_t>(*segment, "rel_code"), (std::vector<std::uint16_t>{0, 1, 0}));
        EXPECT_EQ(segment->u64_column("vid64").value().size(), 3u);
        EXPECT_EQ(values<std::uint64_t>(*segment, "vid64"), (std::vector<std::uint64_t>{1, 1, 2}));
        EXPECT_EQ(values<std::uint32_t>(*segment, "vid_lo32"), (std::vector<std::uint32_t>{2, 3, 0}));
        EXPECT_EQ(values<std::int64_t>(*segment, "vt_e"), (std::vector<std::int64_t>{20, 12, 30}));
        // References number texts in first use: "", then per row props, disc, source, prov.
        EXPECT_EQ(values<std::uint32_t>(*segment, "props_ref"), (std::vector<std::uint32_t>{1, 1, 5}));
        EXPECT_EQ(values<std::uint32_t>(*segment, "disc_ref"), (std::vector<std::uint32_t>{0, 3, 3}));
        EXPECT_EQ(values<std::uint32_t>(*segment, "source_ref"), (std::vector<std::uint32_t>{2, 4, 2}));
        EXPECT_EQ(values<std::uint32_t>(*segment, "prov_ref"), (std::vector<std::uint32_t>{NO_STRING, 0, 6}));
        EXPECT_EQ(texts_of(*segment, "props_ref"), (std::vector<std::string>{"{\"w\":1}", "{\"w\":1}", "{}"}));
        EXPECT_EQ(texts_of(*segment, "prov_ref"), (std::vector<std::string>{"<none>", "", "p"}));
        EXPECT_EQ(segment->strings().value().count, 7u);
        EXPECT_EQ(segment->vt_e_at(1).value(), 12);
        EXPECT_EQ(segment->rel_type_of(1).value(), "likes");
        EXPECT_EQ(message_of(segment->rel_type_of(2)), "rel_code 2 is out of range (the segment has 2 rel_types)");
        EXPECT_EQ(segment->header.tt_s_at(2).value(), 101);
        const Result<std::int64_t> past = segment->vt_e_at(3);
        ASSERT_FALSE(past);
        EXPECT_EQ(past.error().category, Category::Invariant);
    }
}

TEST(SegmentWriter, EdgeRoundTripWithElidedVtE) {
    TempDir dir;
    std::vector<EdgeRow> rows;
    for (int r = 0; r < 5; ++r)
        rows.push_back(edge("t", "", "{}", "s", std::nullopt, {7, static_cast<std::uint32_t>(r)}, r * 3, r * 3 + 1, r % 2, 1, 2));
    rows.push_back(edge("t", "", "{}", "s", std::nullopt, {8, 0}, I64_MAX, I64_MIN, 1, 1, 2));  // vt_s + 1 wraps
    const fs::path path = dir.path() / "e.vos";
    ASSERT_TRUE(write_edge_segment(path, rows, {}));
    const auto segment = open_mapped(path, true).value();
    EXPECT_TRUE(segment->header.vt_e_elided);
    EXPECT_EQ(segment->header.columns.size(), 10u);
    EXPECT_EQ(segment->header.vt_e_max, 13);  // the wrapped I64_MIN is the least
    EXPECT_EQ(message_of(segment->typed<std::int64_t>("vt_e")), "segment has no column 'vt_e'");
    for (std::size_t r = 0; r < rows.size(); ++r) EXPECT_EQ(segment->vt_e_at(r).value(), rows[r].vt_e) << r;
    // The typed view's ends give the same values; its vt_e column answers with the lookup's error.
    const ValidEnds ends = segment->edges.valid_ends().value();
    EXPECT_TRUE(ends.elided);
    EXPECT_TRUE(ends.vt_e.empty());
    for (std::size_t r = 0; r < rows.size(); ++r) EXPECT_EQ(ends.at(r), rows[r].vt_e) << r;
    EXPECT_FALSE(segment->edges.vt_e.present());
    EXPECT_EQ(message_of(segment->edges.vt_e.get()), "segment has no column 'vt_e'");
    EXPECT_FALSE(segment->stores_vt_e());
    // Alternating tt_s: one run per row.
    EXPECT_EQ(segment->header.tt_s_runs, (Runs{{0, 0}, {1, 1}, {2, 0}, {3, 1}, {4, 0}, {5, 1}}));
    EXPECT_EQ(segment->header.lane, Lane::Event);
    EXPECT_EQ(segment->header.block_rows, BLOCK_ROWS);
}

TEST(SegmentWriter, NodeRoundTrip) {
    TempDir dir;
    const std::vector<NodeRow> rows = {
        node("Person", "{\"name\":\"Ann\",\"age\":3}", "s", std::nullopt, {1, 1}, 1, 2, 5, 7),
        node("Person", "{\"age\":4}", "s", "x", {1, 2}, 2, 3, 5, 8),
        node("City", "{\"name\":\"\"}", "t", "", {1, 3}, 3, 4, 5, 9),
    };
    const fs::path path = dir.path() / "n.vos";
    ASSERT_TRUE(write_node_segment(path, rows, {{}, 77, Lane::Interval}));
    const auto segment = open_mapped(path, true).value();
    const SegmentHeader& h = segment->header;
    EXPECT_EQ(h.kind, RowKind::Node);
    EXPECT_EQ(h.lane, Lane::Interval);
    EXPECT_EQ(h.block_rows, 77u);
    EXPECT_TRUE(h.rel_types.empty());
    EXPECT_TRUE(h.vt_e_elided);
    EXPECT_EQ(h.vt_e_max, 4);
    EXPECT_EQ(h.tt_s_runs, (Runs{{0, 5}}));
    EXPECT_EQ(h.strings_count, 10u);
    EXPECT_EQ(column_names(h), (std::vector<std::string>{"vt_s", "uid_id", "vid64", "vid_lo32", "label_ref", "props_ref",
                                                          "name_ref", "source_ref", "prov_ref"}));
    EXPECT_EQ(values<std::uint32_t>(*segment, "uid_id"), (std::vector<std::uint32_t>{7, 8, 9}));
    // "", then per row label, props, name, source, prov.
    EXPECT_EQ(values<std::uint32_t>(*segment, "label_ref"), (std::vector<std::uint32_t>{1, 1, 7}));
    EXPECT_EQ(values<std::uint32_t>(*segment, "props_ref"), (std::vector<std::uint32_t>{2, 5, 8}));
    EXPECT_EQ(values<std::uint32_t>(*segment, "name_ref"), (std::vector<std::uint32_t>{3, NO_STRING, 0}));
    EXPECT_EQ(values<std::uint32_t>(*segment, "source_ref"), (std::vector<std::uint32_t>{4, 4, 9}));
    EXPECT_EQ(values<std::uint32_t>(*segment, "prov_ref"), (std::vector<std::uint32_t>{NO_STRING, 6, 0}));
    EXPECT_EQ(texts_of(*segment, "name_ref"), (std::vector<std::string>{"Ann", "<none>", ""}));
    EXPECT_EQ(texts_of(*segment, "label_ref"), (std::vector<std::string>{"Person", "Person", "City"}));
    EXPECT_EQ(segment->vt_e_at(2).value(), 4);
    // The node view holds the node table's columns; name_ref among them.
    EXPECT_EQ(segment->nodes.name_ref.values_or_empty().data(), segment->typed<std::uint32_t>("name_ref").value().data());
    EXPECT_TRUE(segment->nodes.uid_id.present() && segment->nodes.label_ref.present());
    EXPECT_FALSE(segment->edges.src_id.present());
    EXPECT_EQ(message_of(segment->edges.src_id.get()), "segment has no column 'src_id'");
    EXPECT_EQ(segment->nodes.valid_ends().value().at(2), 4);
    EXPECT_EQ(message_of(segment->rel_type_of(0)), "rel_code 0 is out of range (the segment has 0 rel_types)");

    // With one stored vt_e the column appears, between vid_lo32 and label_ref.
    std::vector<NodeRow> stored = rows;
    stored[1].vt_e = 100;
    ASSERT_TRUE(write_node_segment(path, stored, {}));
    const auto reopened = open_mapped(path, true).value();
    EXPECT_FALSE(reopened->header.vt_e_elided);
    EXPECT_EQ(reopened->header.columns.size(), 10u);
    EXPECT_EQ(reopened->header.columns[4].name, "vt_e");
    EXPECT_EQ(values<std::int64_t>(*reopened, "vt_e"), (std::vector<std::int64_t>{2, 100, 4}));
    EXPECT_EQ(reopened->header.vt_e_max, 100);
}

TEST(SegmentWriter, NameOf) {
    struct Case {
        std::string props;
        std::optional<std::string> name;
    };
    const std::vector<Case> cases = {
        {R"({"name":"Ann"})", "Ann"},
        {R"({"age":1,"name":"A\"B\u00e9"})", "A\"B\xc3\xa9"},
        {R"({"name":""})", ""},
        {R"({"name":"A","name":"B"})", "B"},
        {R"({"name":"A","name":5})", std::nullopt},
        {R"({"name":5})", std::nullopt},
        {R"({"x":{"name":"A"}})", std::nullopt},
        {R"({"x":"name"})", std::nullopt},
        {R"("name" is not json)", std::nullopt},
        {R"({"name":"A"} trailing)", std::nullopt},
        {R"({"name":"A"}   )", "A"},
        {R"([{"name":"A"}])", std::nullopt},
        {R"({"na\u006de":"A"})", std::nullopt},  // no literal "name": not parsed at all
        {R"({"Name":"A"})", std::nullopt},
        {R"({"name":"A", })", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(name_of(c.props), c.name) << c.props;
}

TEST(SegmentWriter, OneRowIsAllRaw) {
    TempDir dir;
    const fs::path path = dir.path() / "one.vos";
    ASSERT_TRUE(write_edge_segment(path, std::vector{edge("r", "", "", "", std::nullopt, {0, 0}, 4, 5, 6, 0, 0)}, {}));
    const auto segment = open_mapped(path, true).value();
    const SegmentHeader& h = segment->header;
    EXPECT_EQ(h.key_lo, h.key_hi);
    EXPECT_EQ(h.vt_min, h.vt_max);
    EXPECT_EQ(h.tt_s_runs, (Runs{{0, 6}}));
    for (const ColumnDesc& desc : h.columns) {
        EXPECT_EQ(desc.codec, CODEC_RAW) << desc.name;
        EXPECT_EQ(desc.bytes, dtype_width(desc.dtype)) << desc.name;
        EXPECT_EQ(desc.offset % 64, 0u);
    }
    // The raw u16 rel_code column is 2 bytes; the next column starts 64 bytes later.
    EXPECT_EQ(column(h, "rel_code").bytes, 2u);
    EXPECT_EQ(column(h, "vid64").offset, column(h, "rel_code").offset + 64);
    EXPECT_EQ(h.strings_offset, 64u * h.columns.size());
    // Only the empty string: count 1, offsets 0 and 0, stored raw.
    EXPECT_EQ(h.strings_count, 1u);
    EXPECT_EQ(h.strings_bytes, 12u);
    EXPECT_FALSE(segment->unpacked_strings.has_value());
    EXPECT_EQ(chars(segment->raw_strings().value()), le32(1) + le32(0) + le32(0));
}

TEST(SegmentWriter, ForColumnsAndPackedHeap) {
    TempDir dir;
    std::vector<EdgeRow> rows;
    for (std::uint32_t r = 0; r < 4096; ++r)
        rows.push_back(edge(r % 3 ? "knows" : "likes", "", fmt::format("{{\"weight\":{},\"note\":\"a fairly repetitive note\"}}", r),
                            "import", std::nullopt, {r, r * 2654435761u}, 42, 43, 9, r * 2654435761u, r));
    const fs::path path = dir.path() / "for.vos";
    ASSERT_TRUE(write_edge_segment(path, rows, {}));
    const auto segment = open_mapped(path, true).value();
    const SegmentHeader& h = segment->header;
    // 4096 equal vt_s: one width-0 block, 17 bytes instead of 32768.
    EXPECT_EQ(column(h, "vt_s").codec, CODEC_FOR);
    EXPECT_EQ(column(h, "vt_s").bytes, 17u);
    EXPECT_EQ(column(h, "src_id").codec, CODEC_RAW);  // scattered 32-bit values do not shrink
    EXPECT_EQ(column(h, "rel_code").codec, CODEC_FOR);
    EXPECT_EQ(column(h, "dst_id").codec, CODEC_FOR);
    EXPECT_TRUE(segment->unpacked_strings.has_value());
    EXPECT_EQ(get_u32(chars(segment->raw_strings().value()), 0), PACKED_HEAP_MARKER);
    EXPECT_LT(h.strings_bytes, segment->unpacked_strings->size());

    const auto vt_s = segment->typed<std::int64_t>("vt_s").value();
    ASSERT_EQ(vt_s.size(), 4096u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(vt_s.data()) % 8, 0u);
    const auto rel_code = segment->typed<std::uint16_t>("rel_code").value();
    const auto dst_id = segment->typed<std::uint32_t>("dst_id").value();
    const auto vid_lo32 = segment->typed<std::uint32_t>("vid_lo32").value();
    const auto props_ref = segment->typed<std::uint32_t>("props_ref").value();
    const StringView strings = segment->strings().value();
    ASSERT_EQ(rel_code.size(), 4096u);
    for (std::uint32_t r = 0; r < 4096; ++r) {
        ASSERT_EQ(vt_s[r], 42);
        ASSERT_EQ(segment->rel_type_of(rel_code[r]).value(), rows[r].rel_type);
        ASSERT_EQ(dst_id[r], r);
        ASSERT_EQ(vid_lo32[r], r * 2654435761u);
        ASSERT_EQ(strings.get(props_ref[r]).value(), rows[r].props);
        ASSERT_EQ(segment->vt_e_at(r).value(), 43);
    }
}

// A segment whose decoded parts take several MiB lives in one directly mapped buffer: opening it
// again reads the same values, and a zero-filled buffer of that size is zero.
TEST(SegmentWriter, LargeSegmentsReopenFromMappedMemory) {
    TempDir dir;
    constexpr std::uint32_t ROWS = 200000;
    std::vector<EdgeRow> rows;
    for (std::uint32_t r = 0; r < ROWS; ++r)
        rows.push_back(edge(r % 3 ? "knows" : "likes", "", fmt::format("{{\"w\":{}}}", r), "import", std::nullopt,
                            {r, r}, 1000 + 7 * std::int64_t{r}, 2000 + 7 * std::int64_t{r}, 9, r % 65536, r / 3));
    const fs::path path = dir.path() / "large.vos";
    ASSERT_TRUE(write_edge_segment(path, rows, {}));
    std::size_t decoded_bytes = 0;
    for (int round = 0; round < 2; ++round) {
        const auto segment = open_mapped(path, false).value();
        decoded_bytes = 0;
        for (const auto& decoded : segment->decoded)
            if (decoded) decoded_bytes += decoded->buffer.size();
        ASSERT_TRUE(segment->unpacked_strings.has_value());
        decoded_bytes += segment->unpacked_strings->size();
        ASSERT_GE(decoded_bytes, std::size_t{4} << 20);
        const auto vt_s = values<std::int64_t>(*segment, "vt_s");
        const auto dst_id = values<std::uint32_t>(*segment, "dst_id");
        const auto props = texts_of(*segment, "props_ref");
        ASSERT_EQ(vt_s.size(), ROWS);
        for (std::uint32_t r = 0; r < ROWS; ++r) {
            ASSERT_EQ(vt_s[r], rows[r].vt_s) << r;
            ASSERT_EQ(dst_id[r], rows[r].dst_id) << r;
            ASSERT_EQ(props[r], rows[r].props) << r;
        }
    }
    const AlignedBytes zeroed = AlignedBytes::zeroed(decoded_bytes).value();
    EXPECT_TRUE(std::all_of(zeroed.data(), zeroed.data() + zeroed.size(), [](std::uint8_t byte) { return byte == 0; }));
}

TEST(SegmentWriter, RelTypeLimit) {
    TempDir dir;
    std::vector<EdgeRow> rows;
    for (std::uint32_t r = 0; r < MAX_REL_TYPES; ++r)
        rows.push_back(edge(fmt::format("t{}", r), "", "", "", std::nullopt, {0, r}, 0, 1, 0, 0, 0));
    const fs::path ok_path = dir.path() / "many.vos";
    ASSERT_TRUE(write_edge_segment(ok_path, rows, {}));
    const auto segment = open_mapped(ok_path, true).value();
    ASSERT_EQ(segment->header.rel_types.size(), MAX_REL_TYPES);
    const auto codes = segment->typed<std::uint16_t>("rel_code").value();
    for (std::uint32_t r = 0; r < MAX_REL_TYPES; ++r) ASSERT_EQ(codes[r], r);
    EXPECT_EQ(segment->rel_type_of(65534).value(), "t65534");

    // A repeated type after the limit is fine; a new one is refused before anything is created.
    rows.push_back(edge("t5", "", "", "", std::nullopt, {0, 0}, 0, 1, 0, 0, 0));
    rows.push_back(edge("one-too-many", "", "", "", std::nullopt, {0, 0}, 0, 1, 0, 0, 0));
    const fs::path refused = dir.path() / "sub" / "over.vos";
    const Status status = write_edge_segment(refused, rows, {});
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().category, Category::Capacity);
    EXPECT_EQ(status.error().message, "a segment cannot hold more than 65535 distinct rel_types");
    EXPECT_FALSE(status.error().remedy.has_value());
    EXPECT_EQ(status.error().location, Location{});
    EXPECT_FALSE(fs::exists(dir.path() / "sub"));
}

TEST(SegmentWriter, EmptyIsRefusedAndNothingIsCreated) {
    TempDir dir;
    const fs::path path = dir.path() / "seg" / "000000000003.vos";
    for (const Status& status : {write_edge_segment(path, std::span<const EdgeRow>{}, {}),
                                      write_node_segment(path, std::span<const NodeRow>{}, {})}) {
        ASSERT_FALSE(status);
        EXPECT_EQ(status.error().category, Category::Invariant);
        EXPECT_EQ(status.error().message, "refusing to write an empty segment");
        EXPECT_EQ(status.error().remedy, std::string(ENGINE_BUG_REMEDY));
        EXPECT_EQ(status.error().location, Location{});
    }
    EXPECT_FALSE(fs::exists(dir.path() / "seg"));
}

// Readers binary-search closed_rows, so a list out of order (or with a row twice) would make closed
// versions read as believed; it is refused before anything is created.
TEST(SegmentWriter, ClosedRowsMustAscendStrictly) {
    TempDir dir;
    const fs::path path = dir.path() / "seg" / "000000000004.vos";
    std::vector<EdgeRow> edges;
    std::vector<NodeRow> nodes;
    for (std::uint32_t r = 0; r < 3; ++r) {
        edges.push_back(edge("knows", "", "", "", std::nullopt, {0, r}, r, r + 1, 0, 0, 0));
        nodes.push_back(node("L", "{}", "", std::nullopt, {0, r}, r, r + 1, 0, r));
    }
    const std::pair<Runs, std::string> refused[] = {
        {Runs{{2, 9}, {0, 7}}, "closed_rows must ascend strictly by row: row 0 follows row 2"},
        {Runs{{0, 7}, {1, 9}, {1, 8}}, "closed_rows must ascend strictly by row: row 1 follows row 1"},
    };
    for (const auto& [closed, message] : refused) {
        SegmentWriteOptions options;
        options.closed_rows = closed;
        for (const Status& status : {write_edge_segment(path, edges, options), write_node_segment(path, nodes, options)}) {
            ASSERT_FALSE(status) << message;
            EXPECT_EQ(status.error().category, Category::Invariant);
            EXPECT_EQ(status.error().message, message);
            EXPECT_EQ(status.error().remedy, std::string(ENGINE_BUG_REMEDY));
            EXPECT_EQ(status.error().location, Location{});
        }
    }
    EXPECT_FALSE(fs::exists(dir.path() / "seg"));

    SegmentWriteOptions options;
    options.closed_rows = {{0, 7}, {2, 9}};
    ASSERT_TRUE(write_node_segment(path, nodes, options));
    EXPECT_EQ(open_mapped(path, true).value()->header.closed_rows, options.closed_rows);
}

// A coded form is kept only when it is more than 8 bytes smaller than the raw one.
TEST(SegmentWriter, CodedFormsMustSaveMoreThanEightBytes) {
    TempDir dir;
    // rel_code over 9 types (codes 0 to 8, width 4): 17 values are 34 raw bytes against a FOR
    // stream of 26, a saving of exactly 8 (raw); 18 values are 36 raw bytes (FOR).
    for (const std::uint32_t n : {17u, 18u}) {
        std::vector<EdgeRow> rows;
        for (std::uint32_t r = 0; r < n; ++r)
            rows.push_back(edge(fmt::format("t{}", r % 9), "", "", "", std::nullopt, {0, r}, 0, 1, 0, 0, 0));
        const fs::path path = dir.path() / fmt::format("rel{}.vos", n);
        ASSERT_TRUE(write_edge_segment(path, rows, {}));
        const auto segment = open_mapped(path, true).value();
        const ColumnDesc& rel_code = column(segment->header, "rel_code");
        EXPECT_EQ(rel_code.codec, n == 17 ? CODEC_RAW : CODEC_FOR) << n;
        EXPECT_EQ(rel_code.bytes, n == 17 ? 34u : 26u) << n;
        const std::vector<std::uint16_t> codes = values<std::uint16_t>(*segment, "rel_code");
        for (std::uint32_t r = 0; r < n; ++r) ASSERT_EQ(codes.at(r), r % 9);
    }

    // The string table of an edge row with empty texts besides its props is ["", props]; find the
    // props lengths at which packing saves exactly 8 and 9 bytes.
    std::optional<std::size_t> saves_8, saves_9;
    for (std::size_t len = 1; len < 4096 && !(saves_8 && saves_9); ++len) {
        StringTable table;
        table.intern("");
        table.intern(std::string(len, 'a'));
        const std::vector<std::uint8_t> raw = table.raw_table();
        const std::optional<std::vector<std::uint8_t>> packed = pack_heap(raw);
        if (!packed) continue;
        const auto saving = static_cast<std::int64_t>(raw.size()) - static_cast<std::int64_t>(packed->size());
        if (saving == 8 && !saves_8) saves_8 = len;
        if (saving == 9 && !saves_9) saves_9 = len;
    }
    ASSERT_TRUE(saves_8 && saves_9);
    for (const auto& [len, packed] : {std::pair{*saves_8, false}, std::pair{*saves_9, true}}) {
        const fs::path path = dir.path() / fmt::format("props{}.vos", len);
        ASSERT_TRUE(write_edge_segment(path, std::vector{edge("r", "", std::string(len, 'a'), "", std::nullopt, {0, 0}, 0, 1, 0, 0, 0)}, {}));
        const auto segment = open_mapped(path, true).value();
        ASSERT_EQ(segment->header.strings_count, 2u);
        EXPECT_EQ(segment->unpacked_strings.has_value(), packed) << len;
        EXPECT_EQ(texts_of(*segment, "props_ref"), std::vector<std::string>{std::string(len, 'a')});
    }
}

TEST(SegmentWriter, ReplacesTargetAndReusesLeftoverTemporary) {
    TempDir dir;
    const fs::path path = dir.path() / "000000000009.vos";
    const fs::path tmp = dir.path() / "000000000009.vos.tmp";
    ASSERT_TRUE(write_via_temp(tmp, dir.path() / "x.tmp", std::string(100000, 'x')));  // a big leftover
    ASSERT_TRUE(write_via_temp(path, dir.path() / "y.tmp", "old contents"));
    ASSERT_TRUE(write_node_segment(path, std::vector{node("L", "{}", "", std::nullopt, {1, 1}, 0, 1, 0, 0)}, {}));
    EXPECT_FALSE(fs::exists(tmp));
    const auto segment = open_mapped(path, true).value();
    EXPECT_EQ(segment->header.rows, 1u);

    // A failure at the rename leaves the target as it was and the temporary file behind.
    const fs::path blocked = dir.path() / "blocked.vos";
    fs::create_directories(blocked / "occupied");
    const Status status = write_node_segment(blocked, std::vector{node("L", "{}", "", std::nullopt, {1, 1}, 0, 1, 0, 0)}, {});
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().category, Category::Io);
    EXPECT_EQ(status.error().location.file, blocked);
    EXPECT_TRUE(fs::exists(dir.path() / "blocked.vos.tmp"));
}

TEST(SegmentWriter, FileLayoutBytes) {
    TempDir dir;
    const fs::path path = dir.path() / "layout.vos";
    std::vector<EdgeRow> rows;
    for (std::uint32_t r = 0; r < 3; ++r)
        rows.push_back(edge("knows", "", "", "", std::nullopt, {r, r}, r, r + 5, 0, r * 1000003u, r));
    ASSERT_TRUE(write_edge_segment(path, rows, {}));
    const std::string image = read_file(path).value();

    EXPECT_EQ(image.substr(0, 4), "VOSG");
    EXPECT_EQ(get_u32(image, 4), 1u);
    const std::uint32_t header_len = get_u32(image, 8);
    const std::string header_json = image.substr(12, header_len);
    // All 18 members, compact and in order; three rows keep every column raw (a FOR stream of three
    // values is never 9 bytes shorter), and an empty closed_rows is still written.
    EXPECT_EQ(header_json,
              R"({"format":1,"kind":"edge","lane":"event","rows":3,"block_rows":32768,)"
              R"("key_lo":[0,"000000000000000000000000"],"key_hi":[2,"000000000000000200000002"],)"
              R"("vt_min":0,"vt_max":2,"vt_e_max":7,"tt_s_runs":[[0,0]],"rel_types":["knows"],"columns":[)"
              R"({"name":"vt_s","dtype":"i64","offset":0,"bytes":24,"codec":0},)"
              R"({"name":"src_id","dtype":"u32","offset":64,"bytes":12,"codec":0},)"
              R"({"name":"dst_id","dtype":"u32","offset":128,"bytes":12,"codec":0},)"
              R"({"name":"rel_code","dtype":"u16","offset":192,"bytes":6,"codec":0},)"
              R"({"name":"vid64","dtype":"u64","offset":256,"bytes":24,"codec":0},)"
              R"({"name":"vid_lo32","dtype":"u32","offset":320,"bytes":12,"codec":0},)"
              R"({"name":"vt_e","dtype":"i64","offset":384,"bytes":24,"codec":0},)"
              R"({"name":"props_ref","dtype":"u32","offset":448,"bytes":12,"codec":0},)"
              R"({"name":"disc_ref","dtype":"u32","offset":512,"bytes":12,"codec":0},)"
              R"({"name":"source_ref","dtype":"u32","offset":576,"bytes":12,"codec":0},)"
              R"({"name":"prov_ref","dtype":"u32","offset":640,"bytes":12,"codec":0}],)"
              R"("vt_e_elided":false,"strings_offset":704,"strings_bytes":12,"strings_count":1,"closed_rows":[]})");
    const SegmentHeader header = parse_segment_header(header_json).value();
    const std::size_t body_start = segment_body_start(header_len);
    EXPECT_EQ(body_start % 64, 0u);
    EXPECT_EQ(image.substr(12 + header_len, body_start - 12 - header_len), std::string(body_start - 12 - header_len, '\0'));

    const std::uint32_t footer_len = get_u32(image, image.size() - 8);
    EXPECT_EQ(image.substr(image.size() - 4), "VOSE");
    const std::size_t footer_start = image.size() - 8 - footer_len;
    EXPECT_EQ(footer_start, body_start + header.strings_offset + header.strings_bytes);
    const SegmentFooter footer = parse_segment_footer(image.substr(footer_start, footer_len)).value();
    EXPECT_EQ(segment_footer_json(footer), image.substr(footer_start, footer_len));
    EXPECT_EQ(footer.rows, 3u);
    EXPECT_EQ(footer.body_sha, sha256_hex_bytes(image.substr(0, footer_start)).substr(0, 16));

    std::uint64_t expected_offset = 0;
    ASSERT_EQ(footer.extent_crcs.size(), header.columns.size());
    for (std::size_t column_idx = 0; column_idx < header.columns.size(); ++column_idx) {
        const ColumnDesc& desc = header.columns[column_idx];
        EXPECT_EQ(desc.offset, expected_offset) << desc.name;
        const std::string extent = image.substr(body_start + desc.offset, desc.bytes);
        EXPECT_EQ(footer.extent_crcs[column_idx], crc32c(extent)) << desc.name;
        const std::size_t pad = align_up_64(desc.bytes) - desc.bytes;
        EXPECT_EQ(image.substr(body_start + desc.offset + desc.bytes, pad), std::string(pad, '\0')) << desc.name;
        expected_offset += align_up_64(desc.bytes);
        if (desc.codec == CODEC_RAW) {
            EXPECT_EQ(desc.bytes, 3u * dtype_width(desc.dtype)) << desc.name;
        }
    }
    EXPECT_EQ(header.strings_offset, expected_offset);
    const std::string table = image.substr(body_start + header.strings_offset, header.strings_bytes);
    EXPECT_EQ(footer.strings_crc, crc32c(table));
    EXPECT_EQ(table, le32(1) + le32(0) + le32(0));
    // The raw values of src_id, little-endian, in row order.
    EXPECT_EQ(image.substr(body_start + column(header, "src_id").offset, 12), raw_values<std::uint32_t>({0, 1000003u, 2000006u}));
}

// Each I/O step reports the file it failed on: the parent directory, the temporary file, the target.
TEST(SegmentWriter, IoFailuresNameTheFailingFile) {
    TempDir dir;
    const std::vector<NodeRow> rows = {node("L", "{}", "", std::nullopt, {1, 1}, 0, 1, 0, 0)};
    write_via_temp(dir.path() / "plain", dir.path() / "plain.tmp", "a file, not a directory").value();
    fs::create_directories(dir.path() / "000000000005.vos.tmp");  // the temporary name is taken by a directory
    fs::create_directories(dir.path() / "000000000006.vos" / "occupied");
    struct Case {
        fs::path target;
        std::string message;
        fs::path file;
    };
    const std::vector<Case> cases = {
        {dir.path() / "plain" / "000000000004.vos", "File exists (os error 17)", dir.path() / "plain"},
        {dir.path() / "000000000005.vos", "Is a directory (os error 21)", dir.path() / "000000000005.vos.tmp"},
        {dir.path() / "000000000006.vos", "Is a directory (os error 21)", dir.path() / "000000000006.vos"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target.string());
        const Status status = write_node_segment(c.target, rows, {});
        ASSERT_FALSE(status);
        EXPECT_EQ(status.error().category, Category::Io);
        EXPECT_EQ(status.error().message, c.message);
        EXPECT_EQ(status.error().location, (Location{c.file, std::nullopt, std::nullopt}));
        EXPECT_FALSE(status.error().remedy.has_value());
    }
}

TEST(SegmentWriter, StringTableInterning) {
    StringTable table;
    EXPECT_EQ(table.intern(""), 0u);
    EXPECT_EQ(table.intern("a"), 1u);
    EXPECT_EQ(table.intern("bc"), 2u);
    EXPECT_EQ(table.intern("a"), 1u);
    EXPECT_EQ(table.find("bc"), std::optional<std::uint32_t>(2));
    EXPECT_EQ(table.find("zz"), std::nullopt);
    std::vector<std::uint32_t> indices;
    for (int i = 0; i < 10000; ++i) indices.push_back(table.intern(std::to_string(i)));
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(table.intern(std::to_string(i)), indices[i]);
    EXPECT_EQ(table.size(), 10003u);
    EXPECT_EQ(table.text(2), "bc");
    const std::vector<std::uint8_t> raw = StringTable().raw_table();
    EXPECT_EQ(raw.size(), 8u);  // no texts: count 0 and the one offset 0
    EXPECT_EQ(raw_table_of({"", "ab", "c"}), le32(3) + le32(0) + le32(0) + le32(2) + le32(3) + "abc");
    EXPECT_TRUE(check_string_table_capacity(table));
}

TEST(SegmentWriter, SharedAcrossThreads) {
    TempDir dir;
    std::vector<NodeRow> rows;
    for (std::uint32_t r = 0; r < 5000; ++r)
        rows.push_back(node("L", fmt::format("{{\"name\":\"n{}\"}}", r), "s", std::nullopt, {r, r}, r, r + 1, r / 100, r));
    const fs::path path = dir.path() / "shared.vos";
    ASSERT_TRUE(write_node_segment(path, rows, {}));
    std::shared_ptr<const Segment> segment = open_mapped(path, true).value();
    std::vector<std::thread> readers;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([segment, &mismatches] {
            const auto names = segment->typed<std::uint32_t>("name_ref").value();
            const StringView strings = segment->strings().value();
            for (std::uint32_t r = 0; r < names.size(); ++r)
                if (strings.get(names[r]).value() != fmt::format("n{}", r) || segment->header.tt_s_at(r).value() != r / 100)
                    ++mismatches;
        });
    }
    segment.reset();  // the readers' copies keep the map alive
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// Header lengths on both sides of a 64-byte boundary: 12 + 116 = 128 needs no padding, 117 needs 63
// bytes. The header (and its column) is given in array form and padded with JSON white space to the exact length.
TEST(SegmentReader, BodyStartFollowsHeaderLength) {
    const std::string json =
        R"([1,"node","event",1,0,[0,""],[0,""],0,0,0,[[0,3]],[],)"
        R"([["vt_s","i64",0,8,0]],true,64,12,1])";
    ASSERT_LE(json.size(), 116u);
    FileParts parts;
    const std::string value = raw_values<std::int64_t>({-42});
    const std::string table = raw_table_of({""});
    parts.body = value + std::string(56, '\0') + table;
    parts.footer = SegmentFooter{{crc32c(value)}, crc32c(table), 1, ""};
    for (const std::size_t header_len : {116u, 117u}) {
        const std::string padded = json + std::string(header_len - json.size(), ' ');
        const std::string image = assemble(parts, true, padded);
        const std::size_t body_start = header_len == 116 ? 128 : 192;
        EXPECT_EQ(image.substr(12 + header_len, body_start - 12 - header_len), std::string(body_start - 12 - header_len, '\0'));
        EXPECT_EQ(image.substr(body_start, 8), value);
        const auto segment = open_image(image, true).value();
        EXPECT_EQ(segment->body_start, body_start);
        EXPECT_EQ(values<std::int64_t>(*segment, "vt_s"), (std::vector<std::int64_t>{-42}));
        EXPECT_EQ(segment->vt_e_at(0).value(), -41);
        EXPECT_EQ(segment->tt_s_min, 3);
        EXPECT_EQ(segment->tt_s_max, 3);
        EXPECT_EQ(segment->strings().value().get(0).value(), "");
    }
}

// ---- reader: sources -----------------------------------------------------------------------------

TEST(SegmentReader, Sources) {
    TempDir dir;
    const fs::path missing = dir.path() / "missing.vos";
    const auto mapped_missing = MmapSource::load(missing);
    const auto read_missing = MemorySource::load(missing);
    ASSERT_FALSE(mapped_missing);
    ASSERT_FALSE(read_missing);
    for (const EngineError& error : {mapped_missing.error(), read_missing.error()}) {
        EXPECT_EQ(error.category, Category::Io);
        EXPECT_EQ(error.message, "No such file or directory (os error 2)");
        EXPECT_EQ(error.location.file, missing);
    }
    const fs::path empty = dir.path() / "empty.vos";
    ASSERT_TRUE(write_via_temp(empty, dir.path() / "e.tmp", ""));
    const MmapSource mapped = MmapSource::load(empty).value();
    EXPECT_EQ(mapped.bytes().size(), 0u);
    const auto opened = Segment::open(empty, MmapSource::load(empty).value(), true);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().message, "not a VORP segment (bad magic)");
    EXPECT_EQ(opened.error().location.file, empty);
    EXPECT_EQ(opened.error().remedy, std::string(RESTORE_REMEDY));

    ASSERT_TRUE(write_via_temp(empty, dir.path() / "e.tmp", "hello"));
    EXPECT_EQ(chars(MemorySource::load(empty).value().bytes()), "hello");
    EXPECT_EQ(chars(MmapSource::load(empty).value().bytes()), "hello");
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(MemorySource::copy_of("x").value().bytes().data()) % 64, 0u);

    const std::string bytes = "abcdefgh";
    EXPECT_EQ(read_u32(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), 8), 4).value(), get_u32(bytes, 4));
    const Result<std::uint32_t> short_read = read_u32(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), 8), 5);
    ASSERT_FALSE(short_read);
    EXPECT_EQ(short_read.error().message, "unexpected end of segment");
    EXPECT_EQ(short_read.error().location, (Location{std::nullopt, 5, std::nullopt}));
    EXPECT_FALSE(read_u32(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), 8), UINT64_MAX - 1));
}

// ---- reader: the ordered checks, over one real file ---------------------------------------------

// A small edge segment with raw and FOR columns and a packed string heap.
std::string base_image(const fs::path& dir) {
    std::vector<EdgeRow> rows;
    for (std::uint32_t r = 0; r < 40; ++r)
        rows.push_back(edge(r % 2 ? "knows" : "likes", r % 3 ? "" : "d",
                            fmt::format("{{\"weight\":{},\"note\":\"a repetitive note that compresses\"}}", r), "import",
                            r % 4 ? std::optional<std::string>("prov") : std::nullopt,
                            {r * 0x9E3779B97F4A7C15ull, r * 2654435761u}, 100 + r,
                            200 + r, 7, r * 2654435761u, r));
    const fs::path path = dir / "base.vos";
    EXPECT_TRUE(write_edge_segment(path, rows, {{{3, 99}}, BLOCK_ROWS, Lane::Event}));
    return read_file(path).value();
}

class SegmentMutation : public ::testing::Test {
protected:
    void SetUp() override {
        image = base_image(dir.path());
        parts = split(image);
        // The fixture relies on both codecs and a packed heap being present.
        ASSERT_EQ(column(parts.header, "vt_s").codec, CODEC_FOR);
        ASSERT_EQ(column(parts.header, "src_id").codec, CODEC_RAW);
        ASSERT_EQ(column(parts.header, "vid_lo32").codec, CODEC_RAW);
        ASSERT_EQ(column(parts.header, "vid64").codec, CODEC_RAW);
        ASSERT_EQ(column(parts.header, "dst_id").codec, CODEC_FOR);
        ASSERT_EQ(get_u32(parts.body, parts.header.strings_offset), PACKED_HEAP_MARKER);
    }

    std::size_t index_of(std::string_view name) const {
        for (std::size_t i = 0; i < parts.header.columns.size(); ++i)
            if (parts.header.columns[i].name == name) return i;
        throw std::runtime_error("no such column");
    }
    std::size_t extent_in_body(std::string_view name) const { return column(parts.header, name).offset; }

    // Expects the open to fail with exactly `message` (category corrupt, at the file) for the
    // given verify flags.
    void expect_refused(const std::string& bytes, const std::string& message, std::initializer_list<bool> flags = {true, false}) {
        for (const bool verify : flags) {
            const auto result = open_image(bytes, verify, "damaged.vos");
            ASSERT_FALSE(result) << "verify=" << verify << " expected: " << message;
            EXPECT_EQ(result.error().message, message) << "verify=" << verify;
            EXPECT_EQ(result.error().category, Category::Corrupt);
            EXPECT_EQ(result.error().location.file, fs::path("damaged.vos"));
            EXPECT_EQ(result.error().remedy, std::string(RESTORE_REMEDY));
        }
    }

    TempDir dir;
    std::string image;
    FileParts parts;
};

TEST_F(SegmentMutation, IntactFileOpensBothWays) {
    EXPECT_EQ(assemble(parts), image);  // the split/assemble helpers are faithful
    for (const bool verify : {true, false}) {
        const auto segment = open_image(image, verify).value();
        EXPECT_EQ(segment->header.rows, 40u);
        EXPECT_EQ(segment->header.closed_rows, (Runs{{3, 99}}));
        EXPECT_EQ(segment->body_start, segment_body_start(get_u32(image, 8)));
        EXPECT_EQ(segment->decoded.size(), segment->header.columns.size());
        EXPECT_TRUE(segment->decoded[index_of("vt_s")].has_value());
        EXPECT_FALSE(segment->decoded[index_of("src_id")].has_value());
    }
}

TEST_F(SegmentMutation, Frame) {
    const std::string bad_magic = "not a VORP segment (bad magic)";
    expect_refused("", bad_magic);
    expect_refused(image.substr(0, 19), bad_magic);
    expect_refused("VOSG" + std::string(11, '\0') + "VOSE", bad_magic);  // 19 bytes, even with both magics
    std::string flipped = image;
    flipped[0] ^= 0x20;
    expect_refused(flipped, bad_magic);

    const std::string unfinished = "segment has no completion marker — it was never finished being written";
    expect_refused(image.substr(0, image.size() - 1), unfinished);
    expect_refused(image + "X", unfinished);
    std::string marker = image;
    marker.back() = 'F';
    set_u32(marker, 4, 2);  // the marker is looked at before the format
    expect_refused(marker, unfinished);

    std::string format = image;
    set_u32(format, 4, 2);
    expect_refused(format, "segment format 2 is not supported (expected 1)");
    set_u32(format, 4, 0);
    expect_refused(format, "segment format 0 is not supported (expected 1)");

    // 12 + header_len = file length passes the truncation check (and fails on the JSON); one more fails it.
    std::string header_len = image;
    set_u32(header_len, 8, static_cast<std::uint32_t>(image.size() - 12));
    const auto at_limit = open_image(header_len, false);
    ASSERT_FALSE(at_limit);
    EXPECT_EQ(at_limit.error().message.rfind("segment header is invalid: trailing characters at line 1 column ", 0), 0u)
        << at_limit.error().message;
    set_u32(header_len, 8, static_cast<std::uint32_t>(image.size() - 11));
    expect_refused(header_len, "segment header is truncated");
    set_u32(header_len, 8, 0xFFFFFFFFu);
    expect_refused(header_len, "segment header is truncated");
}

TEST_F(SegmentMutation, HeaderAndFooterJson) {
    std::string header = image;
    header[12] = 'x';
    expect_refused(header, "segment header is invalid: expected value at line 1 column 1");
    const std::string json(SAMPLE_HEADER_JSON);
    std::string no_rows = json;
    no_rows.replace(no_rows.find("\"rows\":2,"), 9, "");
    expect_refused(assemble(parts, true, no_rows),
                   fmt::format("segment header is invalid: missing field `rows` at line 1 column {}", no_rows.size()));

    // footer_len reaching back to byte 0 is accepted as a length; the footer JSON then fails.
    std::string footer_len = image;
    set_u32(footer_len, image.size() - 8, static_cast<std::uint32_t>(image.size() - 8));
    const auto from_zero = open_image(footer_len, true);
    ASSERT_FALSE(from_zero);
    EXPECT_EQ(from_zero.error().message.rfind("segment footer is invalid: ", 0), 0u) << from_zero.error().message;
    set_u32(footer_len, image.size() - 8, static_cast<std::uint32_t>(image.size() - 7));
    expect_refused(footer_len, "segment footer length is impossible");
    set_u32(footer_len, image.size() - 8, 0xFFFFFFFFu);
    expect_refused(footer_len, "segment footer length is impossible");

    std::string footer = image;
    footer[image.size() - 9] = ']';  // the footer's closing brace
    const auto broken = open_image(footer, false);
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error().message.rfind("segment footer is invalid: ", 0), 0u) << broken.error().message;

    FileParts rows = parts;
    rows.footer.rows = 41;
    expect_refused(assemble(rows), "row count disagrees: header 40 vs footer 41");
    rows.footer.rows = 40 + (std::uint64_t{1} << 32);
    expect_refused(assemble(rows), "row count disagrees: header 40 vs footer 4294967336");

    FileParts crcs = parts;
    crcs.footer.extent_crcs.pop_back();
    expect_refused(assemble(crcs), "footer checksum count does not match the column count");
    crcs.footer.extent_crcs.push_back(0);
    crcs.footer.extent_crcs.push_back(0);
    expect_refused(assemble(crcs), "footer checksum count does not match the column count");
}

TEST_F(SegmentMutation, LargeFilesReportInTheSameOrder) {
    // Past a few MiB the body digest runs beside the CRC checks and decoding; the first failure in
    // the order digest, CRCs, decoding must still be the one reported. Padding after the string
    // table (covered by the digest only) makes the file that large.
    FileParts large = parts;
    large.body += std::string(6 << 20, '\x5a');
    const std::string image_large = assemble(large);
    ASSERT_TRUE(open_image(image_large, true));

    std::string flipped = image_large;
    const std::size_t body_start = segment_body_start(get_u32(image_large, 8));
    flipped[body_start + extent_in_body("vt_s") + 12] ^= 0x01;  // also breaks its CRC and its stream
    const std::size_t footer_start = image_large.size() - 8 - get_u32(image_large, image_large.size() - 8);
    expect_refused(flipped,
                   fmt::format("segment body checksum mismatch: computed {}, recorded {}",
                               sha256_hex_bytes(flipped.substr(0, footer_start)).substr(0, 16),
                               split(image_large).footer.body_sha),
                   {true});

    // Resealed: the CRC of the damaged FOR column comes before its decoding error.
    FileParts stream = large;
    stream.body[extent_in_body("vt_s")] ^= 0x01;  // the value count
    expect_refused(assemble(stream), fmt::format("column 'vt_s' failed its checksum (computed {}, recorded {})",
                                                 hex_0x(crc32c(stream.body.substr(extent_in_body("vt_s"),
                                                                                  column(parts.header, "vt_s").bytes))),
                                                 hex_0x(parts.footer.extent_crcs[index_of("vt_s")])),
                   {true});
    // With its CRC recorded too, the decoding error is what remains.
    stream.footer.extent_crcs[index_of("vt_s")] =
        crc32c(stream.body.substr(extent_in_body("vt_s"), column(parts.header, "vt_s").bytes));
    expect_refused(assemble(stream), "FOR stream: has 41 values, column expects 40");
}

TEST_F(SegmentMutation, Verification) {
    // A flipped byte in a raw extent: the digest is checked first, and only when verifying.
    std::string flipped = image;
    const std::size_t body_start = segment_body_start(get_u32(image, 8));
    flipped[body_start + extent_in_body("src_id") + 5] ^= 0x01;
    const std::size_t footer_start = image.size() - 8 - get_u32(image, image.size() - 8);
    expect_refused(flipped,
                   fmt::format("segment body checksum mismatch: computed {}, recorded {}",
                               sha256_hex_bytes(flipped.substr(0, footer_start)).substr(0, 16), parts.footer.body_sha),
                   {true});
    EXPECT_TRUE(open_image(flipped, false));

    FileParts sha = parts;
    sha.footer.body_sha = sha256_hex_bytes(image.substr(0, footer_start));  // all 64 digits
    expect_refused(assemble(sha, false),
                   fmt::format("segment body checksum mismatch: computed {}, recorded {}", parts.footer.body_sha,
                               sha.footer.body_sha),
                   {true});
    for (char& c : sha.footer.body_sha = parts.footer.body_sha) c = static_cast<char>(std::toupper(c));
    if (sha.footer.body_sha != parts.footer.body_sha) {
        expect_refused(assemble(sha, false),
                       fmt::format("segment body checksum mismatch: computed {}, recorded {}", parts.footer.body_sha,
                                   sha.footer.body_sha),
                       {true});
    }
    EXPECT_TRUE(open_image(assemble(sha, false), false));

    // With the digest resealed, the first column in header order whose CRC differs is reported.
    FileParts extents = parts;
    extents.body[extent_in_body("vid_lo32") + 1] ^= 0x10;
    extents.body[extent_in_body("src_id") + 1] ^= 0x10;
    const std::string src_id_now = extents.body.substr(extent_in_body("src_id"), column(parts.header, "src_id").bytes);
    expect_refused(assemble(extents),
                   fmt::format("column 'src_id' failed its checksum (computed {}, recorded {})",
                               hex_0x(crc32c(src_id_now)), hex_0x(parts.footer.extent_crcs[index_of("src_id")])),
                   {true});
    EXPECT_TRUE(open_image(assemble(extents), false));  // raw columns are not decoded

    FileParts table = parts;
    table.body[parts.header.strings_offset + parts.header.strings_bytes - 1] ^= 0x01;
    expect_refused(assemble(table), "segment string table failed its checksum", {true});

    FileParts recorded = parts;
    recorded.footer.strings_crc ^= 1;
    expect_refused(assemble(recorded), "segment string table failed its checksum", {true});
    EXPECT_TRUE(open_image(assemble(recorded), false));

    // Bytes inserted between the string table and the footer are covered by the digest only.
    FileParts extended = parts;
    extended.body += std::string(100, '\x5a');
    EXPECT_TRUE(open_image(assemble(extended, false), false));
    const auto refused = open_image(assemble(extended, false), true);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message.rfind("segment body checksum mismatch: ", 0), 0u);
}

TEST_F(SegmentMutation, ExtentsAndCodecs) {
    // An extent past the end: during verification (before later CRCs) and, for FOR columns, at
    // decoding; a raw column only when it is read.
    FileParts far = parts;
    far.header.columns[index_of("vid_lo32")].offset = 1u << 20;
    expect_refused(assemble(far), "column 'vid_lo32' extends past the file", {true});
    const auto raw_far_segment = open_image(assemble(far), false);
    ASSERT_TRUE(raw_far_segment) << message_of(raw_far_segment);
    EXPECT_EQ(message_of((*raw_far_segment)->typed<std::uint32_t>("vid_lo32")), "column 'vid_lo32' extends past the file");
    FileParts far_decoded = parts;
    far_decoded.header.columns[index_of("dst_id")].offset = 1u << 20;
    expect_refused(assemble(far_decoded), "column 'dst_id' extends past the file");

    FileParts far_for = parts;
    far_for.header.columns[index_of("vt_s")].offset = UINT64_MAX - 10;  // the sum overflows
    expect_refused(assemble(far_for), "column 'vt_s' extends past the file");
    far_for.header.columns[index_of("vt_s")].offset = 0;
    far_for.header.columns[index_of("vt_s")].bytes = UINT64_MAX;
    expect_refused(assemble(far_for), "column 'vt_s' extends past the file");

    FileParts strings = parts;
    strings.header.strings_offset = UINT64_MAX;
    expect_refused(assemble(strings), "string table extends past the file");
    strings.header.strings_offset = parts.header.strings_offset;
    strings.header.strings_bytes = parts.header.strings_bytes + 100000;
    expect_refused(assemble(strings), "string table extends past the file");

    // An unknown codec is reported after verification, and still at open without it.
    FileParts codec = parts;
    codec.header.columns[index_of("vid64")].codec = 2;
    expect_refused(assemble(codec), "column 'vid64' uses codec 2 which this build cannot decode");
    codec.footer.extent_crcs[index_of("src_id")] ^= 1;
    expect_refused(assemble(codec), "column 'src_id' failed its checksum (computed " +
                                        hex_0x(parts.footer.extent_crcs[index_of("src_id")]) + ", recorded " +
                                        hex_0x(parts.footer.extent_crcs[index_of("src_id")] ^ 1) + ")",
                   {true});

    // A malformed FOR stream (not verifying, so the stored CRC does not matter).
    FileParts stream = parts;
    set_u32(stream.body, extent_in_body("vt_s"), 41);
    expect_refused(assemble(stream), "FOR stream: has 41 values, column expects 40", {false});
    stream = parts;
    stream.body[extent_in_body("vt_s") + 16] = 65;  // the first block's width
    expect_refused(assemble(stream), "FOR stream: impossible bit width 65", {false});

    // A malformed packed heap.
    FileParts heap = parts;
    set_u32(heap.body, parts.header.strings_offset + 12, 0xFFFFFFF0u);  // D far beyond the bytes
    expect_refused(assemble(heap), "packed string heap: truncated", {false});
}

TEST_F(SegmentMutation, EveryColumnHoldsRowsValues) {
    FileParts shorter = parts;
    shorter.header.columns[index_of("src_id")].bytes -= 4;
    expect_refused(assemble(shorter), "column 'src_id' holds 39 values but the segment has 40 rows", {false});
    shorter.header.columns[index_of("src_id")].bytes -= 2;
    expect_refused(assemble(shorter), "column 'src_id' length 154 is not a multiple of 4", {false});

    // A header claiming more rows than the columns hold: the FOR decoder refuses first.
    FileParts more = parts;
    more.header.rows = 1000000;
    more.footer.rows = 1000000;
    expect_refused(assemble(more), "FOR stream: has 40 values, column expects 1000000", {false});
}

// A header claiming billions of rows over a tiny stream of width-0 blocks: refused before any
// buffer is sized from the count, whether or not the file is verified.
TEST(SegmentReader, ImplausibleRowCountIsRefusedBeforeAllocating) {
    SegmentHeader header;
    header.rows = 0xFFFFFFFFu;
    header.tt_s_runs = {{0, 1}};
    header.vt_e_elided = true;
    header.strings_count = 1;
    header.columns = {ColumnDesc{"vt_s", DType::I64, 0, 0, CODEC_FOR}, ColumnDesc{"src_id", DType::U32, 0, 0, CODEC_RAW}};
    // 4096 blocks of 1048576 values each: 8 bytes of base and a width byte of 0 per block.
    std::string stream = le32(0xFFFFFFFFu) + le32(FOR_MAX_BLOCK_LEN);
    for (int block = 0; block < 4096; ++block) stream += raw_values<std::int64_t>({7}) + std::string(1, '\0');
    const std::string image = craft(header, {stream, raw_values<std::uint32_t>({1})}, raw_table_of({""}));
    for (const bool verify : {true, false}) {
        const auto result = open_image(image, verify);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message, "FOR stream: implausible value count 4294967295");
        EXPECT_EQ(result.error().category, Category::Corrupt);
        EXPECT_EQ(result.error().location.file, fs::path("mem.vos"));
    }
    // A raw column is held to the row count as well (it is never allocated from it).
    header.columns[0].codec = CODEC_RAW;
    const auto raw = open_image(craft(header, {raw_values<std::int64_t>({7}), raw_values<std::uint32_t>({1})},
                                      raw_table_of({""})),
                                false);
    ASSERT_FALSE(raw);
    EXPECT_EQ(raw.error().message, "column 'vt_s' holds 1 values but the segment has 4294967295 rows");
}

TEST_F(SegmentMutation, HeaderVariantsThatOpen) {
    // No tt_s runs: the sentinels.
    FileParts no_runs = parts;
    no_runs.header.tt_s_runs.clear();
    const auto segment = open_image(assemble(no_runs), true).value();
    EXPECT_EQ(segment->tt_s_min, I64_MAX);
    EXPECT_EQ(segment->tt_s_max, I64_MIN);
    EXPECT_EQ(message_of(segment->header.tt_s_at(0)), "no tt_s run covers row 0");

    // A stored table of 3 bytes opens; reading it fails.
    FileParts tiny = parts;
    tiny.header.strings_bytes = 3;
    tiny.footer.strings_crc = crc32c(parts.body.substr(parts.header.strings_offset, 3));
    const auto tiny_segment = open_image(assemble(tiny), true).value();
    EXPECT_FALSE(tiny_segment->unpacked_strings.has_value());
    const Result<StringView> view = tiny_segment->strings();
    ASSERT_FALSE(view);
    EXPECT_EQ(view.error().message, "unexpected end of segment");
    EXPECT_EQ(view.error().location, (Location{std::nullopt, 0, std::nullopt}));
    EXPECT_NE(view.error().display().find("[offset=0]"), std::string::npos);
}

// Every single-byte change and every truncation of the file: never a crash or a read outside the
// file (the sanitizer build checks that); with verification, always refused; without it, anything
// that opens can be read in full without failing unsafely.
TEST_F(SegmentMutation, ExhaustiveFlipsAndTruncations) {
    const auto read_everything = [](const Segment& segment) {
        for (const ColumnDesc& desc : segment.header.columns) {
            switch (desc.dtype) {
                case DType::I64: (void)segment.typed<std::int64_t>(desc.name); break;
                case DType::U64: (void)segment.typed<std::uint64_t>(desc.name); break;
                case DType::U32: {
                    const auto refs = segment.typed<std::uint32_t>(desc.name);
                    const auto strings = segment.strings();
                    if (refs && strings)
                        for (const std::uint32_t ref : *refs) (void)strings->get_opt(ref);
                    break;
                }
                case DType::U16: {
                    if (const auto codes = segment.typed<std::uint16_t>(desc.name))
                        for (const std::uint16_t code : *codes) (void)segment.rel_type_of(code);
                    break;
                }
            }
        }
        for (std::uint32_t row = 0; row < segment.header.rows; ++row) {
            (void)segment.vt_e_at(row);
            (void)segment.header.tt_s_at(row);
        }
    };
    std::size_t opened_unverified = 0;
    for (std::size_t at = 0; at < image.size(); ++at) {
        for (const std::uint8_t mask : {std::uint8_t{0x01}, std::uint8_t{0x80}}) {
            std::string damaged = image;
            damaged[at] = static_cast<char>(damaged[at] ^ mask);
            const auto verified = open_image(damaged, true);
            ASSERT_FALSE(verified) << "flip at " << at << " went unnoticed";
            EXPECT_TRUE(verified.error().category == Category::Corrupt) << verified.error().display();
            if (const auto segment = open_image(damaged, false)) {
                ++opened_unverified;
                read_everything(**segment);
            } else {
                EXPECT_TRUE(segment.error().category == Category::Corrupt) << segment.error().display();
            }
        }
    }
    EXPECT_GT(opened_unverified, 0u);  // flips inside raw extents open without verification
    for (std::size_t len = 0; len < image.size(); ++len) {
        for (const bool verify : {true, false}) {
            const auto result = open_image(image.substr(0, len), verify);
            ASSERT_FALSE(result) << len;
            EXPECT_EQ(result.error().category, Category::Corrupt);
        }
    }
}

// ---- column access -------------------------------------------------------------------------------

TEST_F(SegmentMutation, TypedAccessErrors) {
    const auto segment = open_image(image, true).value();
    const auto expect_error = [&](const auto& result, const std::string& message) {
        ASSERT_FALSE(result) << message;
        EXPECT_EQ(result.error().message, message);
        EXPECT_EQ(result.error().category, Category::Corrupt);
        EXPECT_EQ(result.error().location.file, fs::path("mem.vos"));
        EXPECT_EQ(result.error().remedy, std::string(RESTORE_REMEDY));
    };
    expect_error(segment->typed<std::int64_t>("vid64"), "column 'vid64' is U64, not I64");
    expect_error(segment->typed<std::uint32_t>("rel_code"), "column 'rel_code' is U16, not U32");
    expect_error(segment->typed<std::uint64_t>("vt_s"), "column 'vt_s' is I64, not U64");
    expect_error(segment->typed<std::uint16_t>("src_id"), "column 'src_id' is U32, not U16");
    expect_error(segment->typed<std::uint32_t>("nope"), "segment has no column 'nope'");
    expect_error(segment->u64_column("vt_s"), "column 'vt_s' is I64, not U64");
    expect_error(segment->typed<std::int64_t>("VT_S"), "segment has no column 'VT_S'");

    // The edge view of an edge segment holds every column of the edge table, each with every row
    // and the very values a lookup by name gives; its node view holds none, and each of its
    // columns answers exactly as the lookup by name does (present or not).
    const EdgeSegmentView& edges = segment->edges;
    EXPECT_EQ(edges.rows, segment->header.rows);
    EXPECT_TRUE(edges.vt_s.present() && edges.vt_e.present() && edges.src_id.present() && edges.dst_id.present() &&
                edges.rel_code.present() && edges.vid64.present() && edges.vid_lo32.present() &&
                edges.props_ref.present() && edges.disc_ref.present() && edges.source_ref.present() &&
                edges.prov_ref.present());
    EXPECT_EQ(edges.dst_id.get().value().data(), segment->typed<std::uint32_t>("dst_id").value().data());
    EXPECT_EQ(edges.vid64.get().value().size(), segment->header.rows);
    EXPECT_FALSE(segment->nodes.vt_s.present());
    EXPECT_EQ(segment->nodes.vt_s.get().value().data(), edges.vt_s.get().value().data());
    expect_error(segment->nodes.uid_id.get(), "segment has no column 'uid_id'");
    expect_error(segment->nodes.label_ref.get(), "segment has no column 'label_ref'");
    EXPECT_TRUE(segment->nodes.name_ref.values_or_empty().empty());
    const ValidEnds ends = edges.valid_ends().value();
    for (std::size_t r = 0; r < ends.vt_s.size(); ++r) EXPECT_EQ(ends.at(r), segment->vt_e_at(r).value()) << r;

    // A column of the wrong type, and one that is missing, are absent from the view and report
    // the lookup's error when asked for; the other columns are unaffected.
    FileParts retyped = parts;
    retyped.header.columns[index_of("rel_code")].dtype = DType::U32;
    retyped.header.columns[index_of("rel_code")].bytes *= 2;
    FileParts renamed = parts;
    renamed.header.columns[index_of("disc_ref")].name = "disc";
    const auto renamed_segment = open_image(assemble(renamed), false).value();
    EXPECT_FALSE(renamed_segment->edges.disc_ref.present());
    expect_error(renamed_segment->edges.disc_ref.get(), "segment has no column 'disc_ref'");
    EXPECT_TRUE(renamed_segment->edges.props_ref.present());
    const auto retyped_segment = open_image(assemble(retyped), false);
    ASSERT_TRUE(retyped_segment) << retyped_segment.error().message;
    EXPECT_FALSE((*retyped_segment)->edges.rel_code.present());
    expect_error((*retyped_segment)->edges.rel_code.get(), "column 'rel_code' is U32, not U16");

    // A raw u64 column moved by 4 bytes (still inside the file) cannot be viewed in place.
    FileParts shifted = parts;
    shifted.header.columns[index_of("vid64")].offset += 4;
    const auto shifted_segment = open_image(assemble(shifted), false).value();
    expect_error(shifted_segment->u64_column("vid64"), "column 'vid64' is misaligned for zero-copy access");
    EXPECT_FALSE(shifted_segment->edges.vid64.present());
    expect_error(shifted_segment->edges.vid64.get(), "column 'vid64' is misaligned for zero-copy access");
    // u32 columns only need 4-byte alignment.
    FileParts shifted32 = parts;
    shifted32.header.columns[index_of("src_id")].offset += 4;
    EXPECT_TRUE(open_image(assemble(shifted32), false).value()->typed<std::uint32_t>("src_id"));

    // A column name given twice resolves to the first.
    FileParts twice = parts;
    ColumnDesc copy = column(parts.header, "dst_id");
    copy.name = "src_id";
    twice.header.columns.push_back(copy);
    twice.footer.extent_crcs.push_back(parts.footer.extent_crcs[index_of("dst_id")]);
    const auto twice_segment = open_image(assemble(twice), true).value();
    EXPECT_EQ(values<std::uint32_t>(*twice_segment, "src_id"), values<std::uint32_t>(*segment, "src_id"));
}

TEST(SegmentAccess, ForU16OfThreeRowsAndEmptyColumns) {
    // Files the writer would not produce (it keeps 3 u16 values raw) but a reader must handle.
    SegmentHeader header;
    header.kind = RowKind::Edge;
    header.rows = 3;
    header.tt_s_runs = {{0, 1}};
    header.rel_types = {"a", "b", "c"};
    header.strings_count = 1;
    header.columns = {ColumnDesc{"rel_code", DType::U16, 0, 0, CODEC_FOR}, ColumnDesc{"wide", DType::U16, 0, 0, CODEC_FOR},
                      ColumnDesc{"vt_s", DType::I64, 0, 0, CODEC_RAW}};
    const std::vector<std::int64_t> codes = {0, 2, 1};
    const std::vector<std::int64_t> wide = {65535, 65536, 70000};  // narrowed to the low 16 bits
    const std::vector<std::uint8_t> codes_stream = encode_i64(codes);
    const std::vector<std::uint8_t> wide_stream = encode_i64(wide);
    const std::string image = craft(header,
                                    {std::string(codes_stream.begin(), codes_stream.end()),
                                     std::string(wide_stream.begin(), wide_stream.end()), raw_values<std::int64_t>({5, 6, 7})},
                                    raw_table_of({""}));
    const auto segment = open_image(image, true).value();
    const auto rel_code = segment->typed<std::uint16_t>("rel_code").value();
    ASSERT_EQ(rel_code.size(), 3u);
    EXPECT_EQ(segment->decoded[0]->buffer.size() % 8, 0u);
    EXPECT_EQ(std::vector<std::uint16_t>(rel_code.begin(), rel_code.end()), (std::vector<std::uint16_t>{0, 2, 1}));
    EXPECT_EQ(values<std::uint16_t>(*segment, "wide"), (std::vector<std::uint16_t>{65535, 0, 4464}));
    EXPECT_EQ(message_of(segment->vt_e_at(2)), "segment has no column 'vt_e'");  // not elided, yet no vt_e column
    header.vt_e_elided = true;
    EXPECT_EQ(open_image(craft(header,
                               {std::string(codes_stream.begin(), codes_stream.end()),
                                std::string(wide_stream.begin(), wide_stream.end()), raw_values<std::int64_t>({5, 6, I64_MAX})},
                               raw_table_of({""})),
                         true)
                  .value()
                  ->vt_e_at(2)
                  .value(),
              I64_MIN);

    // Zero rows: an empty raw column yields an empty slice.
    SegmentHeader empty;
    empty.vt_e_elided = true;
    empty.columns = {ColumnDesc{"vt_s", DType::I64, 0, 0, CODEC_RAW}, ColumnDesc{"x", DType::U32, 0, 0, CODEC_FOR}};
    const std::vector<std::uint8_t> empty_stream = encode_i64(std::vector<std::int64_t>{});
    const auto empty_segment =
        open_image(craft(empty, {"", std::string(empty_stream.begin(), empty_stream.end())}, raw_table_of({""})), true).value();
    EXPECT_TRUE(empty_segment->typed<std::int64_t>("vt_s").value().empty());
    EXPECT_TRUE(empty_segment->typed<std::uint32_t>("x").value().empty());
    const Result<std::int64_t> past = empty_segment->vt_e_at(0);
    ASSERT_FALSE(past);
    EXPECT_EQ(past.error().category, Category::Invariant);
}

TEST(SegmentAccess, StringViewChecks) {
    const auto as_span = [](const std::string& bytes) {
        return std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    };
    const std::string table = raw_table_of({"", "ab", "\xc3\xa9"});
    const StringView view = StringView::parse(as_span(table)).value();
    EXPECT_EQ(view.count, 3u);
    EXPECT_EQ(view.get(0).value(), "");
    EXPECT_EQ(view.get(1).value(), "ab");
    EXPECT_EQ(view.get(2).value(), "\xc3\xa9");
    EXPECT_EQ(view.get_opt(NO_STRING).value(), std::nullopt);
    EXPECT_EQ(view.get_opt(1).value(), std::optional<std::string_view>("ab"));

    const auto expect_error = [](const auto& result, const std::string& message, Location location = {}) {
        ASSERT_FALSE(result) << message;
        EXPECT_EQ(result.error().message, message);
        EXPECT_EQ(result.error().category, Category::Corrupt);
        EXPECT_EQ(result.error().location, location);
        EXPECT_EQ(result.error().remedy, std::string(RESTORE_REMEDY));
    };
    expect_error(view.get(3), "string ref 3 out of range (table holds 3)");
    expect_error(view.get(NO_STRING), "string ref 4294967295 out of range (table holds 3)");
    expect_error(view.get_opt(3), "string ref 3 out of range (table holds 3)");
    expect_error(StringView::parse(as_span("abc")), "unexpected end of segment", Location{std::nullopt, 0, std::nullopt});
    expect_error(StringView::parse(as_span(le32(2) + le32(0) + le32(0))), "string table offsets are truncated");
    expect_error(StringView::parse(as_span(le32(0xFFFFFFFFu) + le32(0))), "string table offsets are truncated");

    // A table with no strings: get_opt of "none" never touches it.
    const std::string no_strings = le32(0) + le32(0);
    const StringView empty = StringView::parse(as_span(no_strings)).value();
    EXPECT_EQ(empty.get_opt(NO_STRING).value(), std::nullopt);
    expect_error(empty.get(0), "string ref 0 out of range (table holds 0)");

    // Offsets that run backwards or past the data, and bytes that are not UTF-8.
    const std::string backwards = le32(2) + le32(3) + le32(1) + le32(3) + "abc";
    const StringView bad = StringView::parse(as_span(backwards)).value();
    expect_error(bad.get(0), "string ref 0 spans past the table");
    EXPECT_EQ(bad.get(1).value(), "bc");
    const std::string past = le32(1) + le32(0) + le32(4) + "abc";
    expect_error(StringView::parse(as_span(past)).value().get(0), "string ref 0 spans past the table");
    const std::string not_utf8 = le32(1) + le32(0) + le32(2) + "a\xff";
    expect_error(StringView::parse(as_span(not_utf8)).value().get(0),
                 "string ref 0 is not UTF-8: invalid utf-8 sequence of 1 bytes from index 1");
    const std::string long_texts = le32(2) + le32(0) + le32(17) + le32(26) + "abcdefgh\xe2\x82\xacijklmn" + "abcdefgh\xc3";
    const StringView longer = StringView::parse(as_span(long_texts)).value();
    EXPECT_EQ(longer.get(0).value(), "abcdefgh\xe2\x82\xacijklmn");
    expect_error(longer.get(1), "string ref 1 is not UTF-8: incomplete utf-8 byte sequence from index 8");
}

}  // namespace
}  // namespace vorp

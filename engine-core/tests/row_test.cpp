#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "vorp/json.h"
#include "vorp/row.h"

namespace vorp {
namespace {

TEST(RowKind, NumbersAndWords) {
    EXPECT_EQ(static_cast<int>(RowKind::Node), 0);
    EXPECT_EQ(static_cast<int>(RowKind::Edge), 1);
    EXPECT_EQ(static_cast<int>(Lane::Event), 0);
    EXPECT_EQ(static_cast<int>(Lane::Interval), 1);
    EXPECT_EQ(row_kind_word(RowKind::Node), "node");
    EXPECT_EQ(row_kind_word(RowKind::Edge), "edge");
    EXPECT_EQ(lane_word(Lane::Event), "event");
    EXPECT_EQ(lane_word(Lane::Interval), "interval");
}

TEST(RowKind, WordsMatchExactly) {
    EXPECT_EQ(row_kind_from_word("node"), RowKind::Node);
    EXPECT_EQ(row_kind_from_word("edge"), RowKind::Edge);
    EXPECT_EQ(lane_from_word("event"), Lane::Event);
    EXPECT_EQ(lane_from_word("interval"), Lane::Interval);
    for (const char* word : {"Node", "NODE", " node", "node ", "", "edges", "event"})
        EXPECT_FALSE(row_kind_from_word(word).has_value()) << word;
    for (const char* word : {"Event", "INTERVAL", " event", "interval ", "", "node"})
        EXPECT_FALSE(lane_from_word(word).has_value()) << word;
}

TEST(EdgeRow, AbsentProvenanceDiffersFromEmpty) {
    EdgeRow absent;
    EdgeRow empty;
    empty.prov = std::string();
    EXPECT_FALSE(absent.prov.has_value());
    EXPECT_NE(absent, empty);
}

TEST(Rows, CopiesAreDeep) {
    EdgeRow edge{"knows", "d", "{\"w\":1}", "import", std::string("p"), Id96{1, 2}, 10, 11, 5, 3, 4};
    EdgeRow edge_copy = edge;
    edge_copy.rel_type += "-changed";
    edge_copy.prov->append("-changed");
    EXPECT_EQ(edge.rel_type, "knows");
    EXPECT_EQ(edge.prov, std::string("p"));

    auto node = std::make_unique<NodeRow>(NodeRow{"Person", "{\"name\":\"ann\"}", "import", std::nullopt, Id96{7, 8}, 1, 2, 3, 9});
    const NodeRow node_copy = *node;
    node.reset();
    EXPECT_EQ(node_copy.label, "Person");
    EXPECT_EQ(node_copy.props, "{\"name\":\"ann\"}");
    EXPECT_FALSE(node_copy.prov.has_value());
    EXPECT_EQ(node_copy.vid, (Id96{7, 8}));
}

TEST(RowKind, JsonWordsAndSingleMemberObjects) {
    EXPECT_EQ(json_parse<RowKind>("\"node\"").value(), RowKind::Node);
    EXPECT_EQ(json_parse<RowKind>(" \"edge\" ").value(), RowKind::Edge);
    EXPECT_EQ(json_parse<RowKind>("{\"edge\":null}").value(), RowKind::Edge);
    EXPECT_EQ(json_parse<Lane>("\"event\"").value(), Lane::Event);
    EXPECT_EQ(json_parse<Lane>("{\"interval\": null}").value(), Lane::Interval);
    EXPECT_EQ(json_to_string(RowKind::Node), "\"node\"");
    EXPECT_EQ(json_to_string(RowKind::Edge), "\"edge\"");
    EXPECT_EQ(json_to_string(Lane::Event), "\"event\"");
    EXPECT_EQ(json_to_string(Lane::Interval), "\"interval\"");
}

TEST(RowKind, JsonRefusals) {
    struct Case {
        std::string text;
        std::string message;
    };
    const std::vector<Case> kind_cases = {
        {"\"Node\"", "unknown variant `Node`, expected `node` or `edge`"},
        {"\"EDGE\"", "unknown variant `EDGE`, expected `node` or `edge`"},
        {"\" node\"", "unknown variant ` node`, expected `node` or `edge`"},
        {"\"edge \"", "unknown variant `edge `, expected `node` or `edge`"},
        {"\"event\"", "unknown variant `event`, expected `node` or `edge`"},
        {"0", "invalid type: integer `0`, expected variant identifier"},
        {"true", "invalid type: boolean `true`, expected variant identifier"},
        {"[\"node\"]", "invalid type: sequence, expected variant identifier"},
    };
    for (const Case& c : kind_cases) {
        const auto kind = json_parse<RowKind>(c.text);
        ASSERT_FALSE(kind.has_value()) << c.text;
        EXPECT_EQ(kind.error().message, c.message) << c.text;
        EXPECT_TRUE(kind.error().is_data()) << c.text;
    }
    const std::vector<Case> lane_cases = {
        {"\"Event\"", "unknown variant `Event`, expected `event` or `interval`"},
        {"\"node\"", "unknown variant `node`, expected `event` or `interval`"},
        {"1", "invalid type: integer `1`, expected variant identifier"},
    };
    for (const Case& c : lane_cases) {
        const auto lane = json_parse<Lane>(c.text);
        ASSERT_FALSE(lane.has_value()) << c.text;
        EXPECT_EQ(lane.error().message, c.message) << c.text;
    }
    EXPECT_EQ(json_parse<RowKind>("\"Node\"").error().text(),
              "unknown variant `Node`, expected `node` or `edge` at line 1 column 6");
    // Malformed JSON is the reader's own syntax error.
    EXPECT_TRUE(json_parse<RowKind>("\"node").error().is_syntax());
    EXPECT_FALSE(json_parse<RowKind>("{\"node\":1}").has_value());
}

}  // namespace
}  // namespace vorp

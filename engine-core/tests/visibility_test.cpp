#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <limits>
#include <tuple>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "vorp/checksum.h"
#include "vorp/durable.h"
#include "vorp/fileio.h"
#include "vorp/visibility.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;

class CloseRunFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vorp-close-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    void write_bytes(const fs::path& path, const std::string& bytes) {
        ASSERT_TRUE(write_via_temp(path, fs::path(path) += ".tmp", bytes).has_value());
    }

    static std::string le32(std::uint32_t value) { return std::string(reinterpret_cast<const char*>(&value), 4); }

    // A run image with the given rows, with its checksum right.
    static std::string image_of(const std::vector<StagedClose>& rows) { return encode_close_run(rows).value(); }

    fs::path root_;
};

const std::vector<StagedClose> kRows = {
    {.segment_id = 7, .tt_e = 100, .row = 0, .kind = true},
    {.segment_id = UINT64_MAX, .tt_e = INT64_MIN, .row = UINT32_MAX, .kind = false},
    {.segment_id = 7, .tt_e = -1, .row = 3, .kind = true},
    {.segment_id = 7, .tt_e = 50, .row = 0, .kind = true},  // duplicates are kept, in order
    {.segment_id = 0, .tt_e = INT64_MAX, .row = 1, .kind = false},
};

TEST_F(CloseRunFile, RoundTripAndByteLayout) {
    const fs::path path = root_ / close_run_relative_path(7);
    EXPECT_EQ(close_run_relative_path(7), fs::path("close/000000000007.voc"));
    const auto written = write_close_run(path, kRows);
    ASSERT_TRUE(written.has_value()) << written.error().display();
    EXPECT_EQ(*written, 5u);
    EXPECT_FALSE(fs::exists(root_ / "close/000000000007.voc.tmp"));

    const std::string bytes = read_file(path).value();
    ASSERT_EQ(bytes.size(), 20u + 21u * 5u);
    EXPECT_EQ(bytes.substr(0, 4), "VOCR");
    EXPECT_EQ(bytes.substr(4, 4), le32(1));
    EXPECT_EQ(bytes.substr(8, 4), le32(5));
    // Row 1: kind 0, segment id, row, tt_e at their offsets.
    const std::string row1 = bytes.substr(12 + 21, 21);
    EXPECT_EQ(row1, std::string("\x00", 1) + std::string(8, '\xff') + std::string(4, '\xff') + std::string(7, '\0') + "\x80");
    EXPECT_EQ(bytes[12], '\x01');
    EXPECT_EQ(bytes.substr(12 + 21 * 5, 4), le32(crc32c(bytes.data() + 12, 21 * 5)));
    EXPECT_EQ(bytes.substr(bytes.size() - 4), "VOCE");

    const auto read = read_close_run(path);
    ASSERT_TRUE(read.has_value()) << read.error().display();
    EXPECT_EQ(*read, kRows);

    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST_F(CloseRunFile, ReplacesAnEarlierRunAndItsLeftoverTemporary) {
    const fs::path path = root_ / "close/000000000003.voc";
    write_bytes(path, "old run");
    write_bytes(root_ / "close/000000000003.voc.tmp", std::string(4096, 'x'));
    ASSERT_TRUE(write_close_run(path, std::span(kRows).first(1)).has_value());
    EXPECT_EQ(read_close_run(path).value(), std::vector<StagedClose>(kRows.begin(), kRows.begin() + 1));
    EXPECT_FALSE(fs::exists(root_ / "close/000000000003.voc.tmp"));
}

TEST_F(CloseRunFile, EmptyRunIsRefusedWithoutTouchingTheDisk) {
    const auto written = write_close_run(root_ / "close/000000000001.voc", {});
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().display(),
              "invariant: refusing to write an empty close run \u2014 " + std::string(ENGINE_BUG_REMEDY));
    EXPECT_FALSE(fs::exists(root_ / "close"));
}

TEST_F(CloseRunFile, RunTooLargeForItsCountIsRefusedBeforeWriting) {
    // 2^32 rows: a reserved but inaccessible region stands in for them, so the writer must refuse
    // from the count alone (touching a row would fault).
    const std::size_t count = std::size_t{1} << 32;
    const std::size_t bytes = count * sizeof(StagedClose);
    void* region = ::mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED) GTEST_SKIP() << "cannot reserve address space";
    const std::span<const StagedClose> rows(static_cast<const StagedClose*>(region), count);
    const auto written = write_close_run(root_ / "close/000000000001.voc", rows);
    ::munmap(region, bytes);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().category, Category::Capacity);
    EXPECT_EQ(written.error().message, "a close run cannot hold more than 4294967295 rows (got 4294967296)");
    EXPECT_FALSE(fs::exists(root_ / "close"));
}

TEST_F(CloseRunFile, WriteFailuresNameTheFileOfTheFailingStep) {
    // Parent directory cannot be created: a plain file sits where it should be.
    write_bytes(root_ / "blocked", "");
    auto written = write_close_run(root_ / "blocked/close/000000000001.voc", kRows);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().category, Category::Io);
    EXPECT_EQ(written.error().location.file, root_ / "blocked/close");

    // Temporary file cannot be created: a directory has its name.
    fs::create_directories(root_ / "close/000000000002.voc.tmp");
    written = write_close_run(root_ / "close/000000000002.voc", kRows);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().display(),
              "io: Is a directory (os error 21) [file=" + (root_ / "close/000000000002.voc.tmp").string() + "]");

    // Rename fails: the target is a non-empty directory; the temporary file stays.
    fs::create_directories(root_ / "close/000000000003.voc/inside");
    written = write_close_run(root_ / "close/000000000003.voc", kRows);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().category, Category::Io);
    EXPECT_EQ(written.error().location.file, root_ / "close/000000000003.voc");
    EXPECT_TRUE(fs::exists(root_ / "close/000000000003.voc.tmp"));
}

TEST_F(CloseRunFile, ReadRefusesDamagedFiles) {
    const std::string good = image_of(kRows);  // 125 bytes
    std::string bit_flipped = good;
    bit_flipped[12 + 21 * 2 + 5] ^= 0x10;
    std::string bad_kind = image_of({kRows[0], kRows[1], kRows[2], kRows[3], kRows[4]});
    bad_kind[12 + 21 * 3] = 2;
    // Keep the checksum right so the kind check is reached.
    const std::uint32_t crc = crc32c(bad_kind.data() + 12, 21 * 5);
    std::memcpy(bad_kind.data() + 12 + 21 * 5, &crc, 4);
    std::string big_n = good;
    big_n.replace(8, 4, le32(6));
    std::string huge_n = good;
    huge_n.replace(8, 4, le32(UINT32_MAX));
    std::string bad_checksum = good;
    bad_checksum.replace(12 + 21 * 5, 4, le32(0xab));

    struct Case {
        const char* name;
        std::string bytes;
        std::string message;
        std::optional<std::uint64_t> offset;
    };
    const std::vector<Case> cases = {
        {"empty file", "", "not a VORP close run (bad magic)", std::nullopt},
        {"19 bytes", "VOCR" + std::string(11, '\0') + "VOCE", "not a VORP close run (bad magic)", std::nullopt},
        {"wrong head", "VOCX" + good.substr(4), "not a VORP close run (bad magic)", std::nullopt},
        {"wrong tail", good.substr(0, good.size() - 1) + "F",
         "close run has no completion marker \u2014 it was never finished being written", std::nullopt},
        {"wrong tail and too short for n", good.substr(0, 40),
         "close run has no completion marker \u2014 it was never finished being written", std::nullopt},
        {"n one too many", big_n, "close run is truncated", std::nullopt},
        {"n at its maximum", huge_n, "close run is truncated", std::nullopt},
        {"cut row", good.substr(0, good.size() - 25) + "VOCE", "close run is truncated", std::nullopt},
        {"one bit changed", bit_flipped,
         fmt::format("close run failed its checksum (computed {:#x}, recorded {:#x})",
                     crc32c(bit_flipped.data() + 12, 21 * 5), crc32c(good.data() + 12, 21 * 5)),
         std::nullopt},
        {"recorded checksum changed", bad_checksum,
         fmt::format("close run failed its checksum (computed {:#x}, recorded 0xab)", crc32c(good.data() + 12, 21 * 5)),
         std::nullopt},
        {"kind 2 in row 3", bad_kind, "close run has unknown row kind 2", 75},
    };
    for (const Case& c : cases) {
        const fs::path path = root_ / "close/000000000009.voc";
        write_bytes(path, c.bytes);
        const auto read = read_close_run(path);
        ASSERT_FALSE(read.has_value()) << c.name;
        EXPECT_EQ(read.error().category, Category::Corrupt) << c.name;
        EXPECT_EQ(read.error().message, c.message) << c.name;
        EXPECT_EQ(read.error().location.file, path) << c.name;
        EXPECT_EQ(read.error().location.offset, c.offset) << c.name;
        EXPECT_EQ(read.error().remedy, std::string(RESTORE_REMEDY)) << c.name;
    }
}

TEST_F(CloseRunFile, ReadAcceptsWhatTheFormatAllows) {
    const fs::path path = root_ / "run.voc";
    // 20 bytes, n = 0, stored checksum 0.
    write_bytes(path, "VOCR" + le32(1) + le32(0) + le32(0) + "VOCE");
    EXPECT_EQ(read_close_run(path).value(), std::vector<StagedClose>{});

    // The version field is not examined.
    std::string other_version = image_of(kRows);
    other_version.replace(4, 4, le32(7));
    write_bytes(path, other_version);
    EXPECT_EQ(read_close_run(path).value(), kRows);

    // Bytes between the checksum and a later marker are not examined.
    std::string padded = image_of(kRows);
    padded.insert(padded.size() - 4, "junk");
    write_bytes(path, padded);
    EXPECT_EQ(read_close_run(path).value(), kRows);
}

TEST_F(CloseRunFile, MissingFileIsAnIoErrorAtThePath) {
    const auto read = read_close_run(root_ / "close/000000000001.voc");
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error().display(),
              "io: No such file or directory (os error 2) [file=" + (root_ / "close/000000000001.voc").string() + "]");
}

// ---- the close index ------------------------------------------------------------------------

std::shared_ptr<const CloseIndex> committed(std::initializer_list<std::vector<StagedClose>> runs) {
    auto layer = std::make_shared<CloseIndex>();
    for (const auto& run : runs) layer->insert_run(run);
    return layer;
}

TEST(CloseIndex, LaterRunWinsInTheCommittedIndex) {
    const auto index = committed({
        {{.segment_id = 4, .tt_e = 10, .row = 1, .kind = true}, {.segment_id = 5, .tt_e = 11, .row = 1, .kind = false}},
        {{.segment_id = 4, .tt_e = 20, .row = 1, .kind = true}},
    });
    EXPECT_EQ(index->find(4, 1), 20);
    EXPECT_EQ(index->find(5, 1), 11);
    EXPECT_EQ(index->find(5, 2), std::nullopt);
    EXPECT_EQ(index->find(6, 1), std::nullopt);
    EXPECT_EQ(index->touched, (std::unordered_set<std::uint64_t>{4, 5}));
}

TEST(CloseIndex, TouchesFollowsTheLayers) {
    const auto base = committed({{{.segment_id = 9, .tt_e = 1, .row = 0, .kind = true}}});
    CloseIndex pending = CloseIndex::layered_over(base);
    EXPECT_TRUE(pending.closed.empty());
    EXPECT_EQ(pending.base, base);
    EXPECT_TRUE(pending.touches(9));
    EXPECT_FALSE(pending.touches(8));
    pending.insert(8, 3, 5);
    EXPECT_TRUE(pending.touches(8));
    EXPECT_FALSE(base->touches(8));

    const CloseIndex empty_top = CloseIndex::layered_over(std::make_shared<CloseIndex>());
    EXPECT_FALSE(empty_top.touches(0));
    EXPECT_FALSE(empty_top.touches(9));
}

TEST(CloseIndex, LookupRuleThroughLayersAndClosedRows) {
    // Segment 1's own folded closes, sorted by row.
    const std::vector<std::pair<std::uint32_t, std::int64_t>> closed_rows = {{2, 200}, {5, 500}, {9, 900}};
    auto bottom = std::make_shared<CloseIndex>();
    bottom->insert(1, 2, 21);         // overrides the folded close
    bottom->insert(1, 3, 31);
    bottom->insert(1, 5, 51);
    auto middle = std::make_shared<CloseIndex>(CloseIndex::layered_over(bottom));
    middle->insert(1, 3, 32);         // shadows the bottom layer
    middle->insert(1, 5, OPEN_END);   // reopens: falls through to closed_rows, not to the bottom
    middle->insert(1, 7, OPEN_END);   // reopened and not folded: open
    const CloseIndex top = CloseIndex::layered_over(middle);

    const std::vector<std::pair<std::uint32_t, std::int64_t>> two_layer_expected = {
        {0, OPEN_END}, {2, 21}, {3, 32}, {5, 500}, {7, OPEN_END}, {9, 900}, {10, OPEN_END}};
    for (const auto& [row, tt_e] : two_layer_expected) EXPECT_EQ(close_tt_e(middle.get(), 1, row, closed_rows), tt_e) << row;
    for (const auto& [row, tt_e] : two_layer_expected) EXPECT_EQ(close_tt_e(&top, 1, row, closed_rows), tt_e) << row;

    // A third layer on top that closes and reopens keys of its own.
    CloseIndex third = CloseIndex::layered_over(std::make_shared<CloseIndex>(top));
    third.insert(1, 0, 1);
    third.insert(1, 2, OPEN_END);     // falls to closed_rows (200), though both lower layers hold nothing / 21
    third.insert(1, 7, 77);
    EXPECT_EQ(close_tt_e(&third, 1, 0, closed_rows), 1);
    EXPECT_EQ(close_tt_e(&third, 1, 2, closed_rows), 200);
    EXPECT_EQ(close_tt_e(&third, 1, 3, closed_rows), 32);
    EXPECT_EQ(close_tt_e(&third, 1, 7, closed_rows), 77);
    EXPECT_EQ(close_tt_e(&third, 1, 9, closed_rows), 900);
    // Another segment with the same row numbers is unaffected.
    EXPECT_EQ(close_tt_e(&third, 2, 3, std::vector<std::pair<std::uint32_t, std::int64_t>>{}), OPEN_END);
    // No index at all: only the folded closes count.
    EXPECT_EQ(close_tt_e(nullptr, 1, 5, closed_rows), 500);
    EXPECT_EQ(close_tt_e(nullptr, 1, 6, closed_rows), OPEN_END);
}

TEST(CloseIndex, ClosedRowsAsRecords) {
    struct ClosedRow {
        std::uint32_t row;
        std::int64_t tt_e;
    };
    const std::vector<ClosedRow> closed_rows = {{0, 5}, {4, 6}, {UINT32_MAX, 7}};
    EXPECT_EQ(find_closed_row(closed_rows, 0), 5);
    EXPECT_EQ(find_closed_row(closed_rows, 4), 6);
    EXPECT_EQ(find_closed_row(closed_rows, 3), std::nullopt);
    EXPECT_EQ(find_closed_row(closed_rows, UINT32_MAX), 7);
    EXPECT_EQ(find_closed_row(std::vector<ClosedRow>{}, 0), std::nullopt);
}

TEST(CloseIndex, CopyOnWriteLeavesReadersLayerUnchanged) {
    auto holder = std::make_shared<CloseIndex>();
    holder->insert(3, 1, 10);
    // A unique layer is changed in place.
    const CloseIndex* before = holder.get();
    CloseIndex::unshare(holder).insert(3, 2, 20);
    EXPECT_EQ(holder.get(), before);

    const auto base = std::make_shared<CloseIndex>();
    holder->base = base;
    const std::shared_ptr<const CloseIndex> reader = holder;  // now shared
    CloseIndex& writable = CloseIndex::unshare(holder);
    EXPECT_NE(holder.get(), reader.get());
    writable.insert(3, 1, 99);
    writable.insert(4, 0, 7);
    EXPECT_EQ(reader->find(3, 1), 10);
    EXPECT_EQ(reader->find(4, 0), std::nullopt);
    EXPECT_FALSE(reader->touches(4));
    EXPECT_EQ(holder->find(3, 1), 99);
    EXPECT_EQ(holder->find(3, 2), 20);
    EXPECT_EQ(holder->base, base);  // the layer below is shared, not copied

    std::shared_ptr<CloseIndex> none;
    CloseIndex::unshare(none).insert(1, 1, 1);
    EXPECT_EQ(none->find(1, 1), 1);
}

TEST(BeliefRule, ClampsEveryCurrentAsOfTimeAndKeepsTheHalfOpenInterval) {
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    // (tt_s, tt_e, as_of, believed)
    const std::tuple<std::int64_t, std::int64_t, std::int64_t, bool> cases[] = {
        {10, 20, 10, true},   {10, 20, 19, true},  {10, 20, 20, false}, {10, 20, 9, false},
        {10, OPEN_END, OPEN_END, true}, {10, OPEN_END, max, true}, {10, OPEN_END, OPEN_END - 1, true},
        {10, OPEN_END - 1, OPEN_END, false},  // closed at the clamp point: no longer believed now
        {OPEN_END - 1, OPEN_END, max, true},  {OPEN_END, OPEN_END, max, false},
        {std::numeric_limits<std::int64_t>::min(), 0, -1, true},
    };
    for (const auto& [tt_s, tt_e, as_of, believed] : cases) {
        EXPECT_EQ(is_believed(tt_s, tt_e, as_of), believed) << tt_s << " " << tt_e << " " << as_of;
    }
    EXPECT_EQ(belief_tt(max), OPEN_END - 1);
    EXPECT_EQ(belief_tt(-5), -5);
}

// The flat table against the layers it flattens: random layers sharing keys, some reopening
// with OPEN_END, flattened from the top down to each possible stop.
TEST(CloseTable, EqualsTheLayersItFlattens) {
    const char* text = std::getenv("VORP_CLOSE_TABLE_SEEDS");
    const int seeds = text == nullptr ? 20 : std::max(1, std::atoi(text));
    for (int seed = 0; seed < seeds; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(0x7ab1e + seed);
        std::vector<std::shared_ptr<CloseIndex>> layers;  // bottom first
        const std::size_t depth = 1 + rng() % 4;
        for (std::size_t level = 0; level < depth; ++level) {
            auto layer = std::make_shared<CloseIndex>(
                CloseIndex::layered_over(layers.empty() ? nullptr : std::shared_ptr<const CloseIndex>(layers.back())));
            const std::size_t count = rng() % 300;
            for (std::size_t i = 0; i < count; ++i)
                layer->insert(rng() % 5, static_cast<std::uint32_t>(rng() % 64),
                              rng() % 4 == 0 ? OPEN_END : static_cast<std::int64_t>(rng() % 100));
            layers.push_back(std::move(layer));
        }
        for (std::size_t stop_level = 0; stop_level <= depth; ++stop_level) {
            // stop_level 0: to the bottom; otherwise stop at layers[stop_level - 1].
            const CloseIndex* stop = stop_level == 0 ? nullptr : layers[stop_level - 1].get();
            const CloseTable table = CloseTable::build(layers.back(), stop);
            EXPECT_EQ(table.source, layers.back());
            std::size_t held = 0;
            for (std::uint64_t segment = 0; segment < 6; ++segment) {
                const auto rows = table.of(segment);
                for (std::size_t i = 1; i < rows.size(); ++i) EXPECT_LT(rows[i - 1].first, rows[i].first);
                for (std::uint32_t row = 0; row < 66; ++row) {
                    std::optional<std::int64_t> want;
                    for (const CloseIndex* layer = layers.back().get(); layer != stop && !want; layer = layer->base.get())
                        if (const std::int64_t* value = layer->closed.find(segment, row)) want = *value;
                    held += want.has_value();
                    EXPECT_EQ(table.find(segment, row), want) << segment << " " << row << " stop " << stop_level;
                }
            }
            EXPECT_EQ(table.entries, held);
            if (stop == nullptr) {
                for (std::uint64_t segment = 0; segment < 6; ++segment)
                    for (std::uint32_t row = 0; row < 66; ++row)
                        EXPECT_EQ(table.find(segment, row), layers.back()->find(segment, row));
            }
        }
    }
}

}  // namespace
}  // namespace vorp


// Allocation failures on the caller's thread and on the engine's own threads: every one reaches
// the caller as std::bad_alloc (never a finding, an engine error, a panic or the end of the
// process), and a strip that published its generation leaves its marker.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "alloc_fault.h"
#include "store_access.h"
#include "store_support.h"
#include "vorp/compact.h"
#include "vorp/durable.h"
#include "vorp/integrity.h"
#include "vorp/scan.h"
#include "vorp/segment.h"

namespace vorp::testing {
namespace {

namespace fs = std::filesystem;

// Commits `batches` batches of `rows` edges each; props of `props_bytes` random characters (which
// deflate poorly, so the file keeps its size). With `close_previous`, each batch after the first
// also closes the versions the one before it wrote, so every commit after the first adds a close run.
void fill_store(NativeStore& store, int batches, int rows, std::size_t props_bytes, std::uint64_t seed,
                bool close_previous = false) {
    std::mt19937_64 rng(seed);
    for (int uid = 0; uid < 8; ++uid) entity(store, fmt::format("u{}", uid));
    std::uint32_t next_vid = 1;
    std::vector<Id96> previous;
    for (int batch = 1; batch <= batches; ++batch) {
        if (!store.begin(100 * batch)) throw std::runtime_error("begin");
        if (close_previous)
            for (const Id96& vid : std::exchange(previous, {}))
                if (!store.close_version(RowKind::Edge, vid, 100 * batch)) throw std::runtime_error("close");
        for (int row = 0; row < rows; ++row) {
            std::string props(props_bytes, ' ');
            for (char& c : props) c = static_cast<char>('0' + rng() % 64);
            // One version per edge: a healthy store, with no believed versions overlapping.
            EdgeRow edge{fmt::format("R{}", rng() % 3), fmt::format("d{}", next_vid), "\"" + props + "\"", "src",
                         std::nullopt,
                         Id96{rng() % 4, next_vid++}, static_cast<std::int64_t>(rng() % 50), OPEN_END,
                         100 * batch, static_cast<std::uint32_t>(rng() % 8), static_cast<std::uint32_t>(rng() % 8)};
            previous.push_back(edge.vid);
            if (!store.stage_edge(std::move(edge))) throw std::runtime_error("stage");
        }
        if (!store.commit(store.manifest().event_log)) throw std::runtime_error("commit");
    }
}

// Fails the 1st, 2nd, ... allocation of `operation` (a fresh handle each time, so nothing one
// failure leaves behind meets the next) until it runs without reaching its failure. What it may
// do: succeed (then `check` judges the answer) or throw std::bad_alloc; anything else fails.
struct Row {
    const char* name;
    const char* threads;
    const fs::path* store;
    std::function<void(NativeStore&)> operation;  // EXPECTs on its answer when it completes
};

class AllocationFailurePaths : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("VORP_PARALLEL_MIN_ROWS", "0", 1);
        // Three segments for verification's walk to fan out over, eight for the scan's selection,
        // and four with a close run each but the first for the table of closes a fresh handle
        // builds straight from the run files.
        for (const auto& [dir, batches] : {std::pair{&small.path, 3}, std::pair{&wide.path, 8}, std::pair{&closed.path, 4}}) {
            auto store = open_ok(*dir);
            StoreTestAccess::set_segment_target_bytes(*store, 400);
            fill_store(*store, batches, 2, 8, 7, dir == &closed.path);
            ASSERT_GE(store->edge_files().size(), static_cast<std::size_t>(batches));
            const VerifyReport report = verify_full(*store).value();
            ASSERT_TRUE(report.healthy());
            rows_of[*dir] = report.rows_walked;
        }
        believed_now = scan_edges(*open_ok(closed.path), EdgeScanArgs{}).value().columns.vt_s.size();
        ASSERT_EQ(believed_now, 2u);  // the last batch's versions: every earlier one was closed
    }
    void TearDown() override {
        ::unsetenv("VORP_PARALLEL_MIN_ROWS");
        ::unsetenv("VORP_SCAN_THREADS");
    }

    TempDir small{"vorp-alloc"};
    TempDir wide{"vorp-alloc"};
    TempDir closed{"vorp-alloc"};
    std::map<fs::path, std::uint64_t> rows_of;
    std::size_t believed_now = 0;
};

TEST_F(AllocationFailurePaths, EveryAllocationReachesTheCallerAsBadAlloc) {
    const auto verify_is_healthy = [&](NativeStore& store) {
        const auto report = verify_full(store);
        ASSERT_TRUE(report) << report.error().display();
        EXPECT_TRUE(report->healthy()) << report->findings.front().kind << ": " << report->problems.front();
        EXPECT_EQ(report->rows_walked, rows_of.at(store.root()));
    };
    const auto scan_finds_all = [&](NativeStore& store) {
        const auto scanned = scan_edges(store, EdgeScanArgs{});
        ASSERT_TRUE(scanned);
        EXPECT_EQ(scanned->columns.vt_s.size(), rows_of.at(store.root()));
    };
    const std::vector<Row> rows = {
        {"verify, one thread", "1", &small.path, verify_is_healthy},
        {"verify, four threads", "4", &small.path, verify_is_healthy},
        {"scan, four threads", "4", &wide.path, scan_finds_all},
        {"cold scan of close runs, four threads", "4", &closed.path,
         [&](NativeStore& store) {
             const auto scanned = scan_edges(store, EdgeScanArgs{});
             ASSERT_TRUE(scanned) << scanned.error().error.display();
             EXPECT_EQ(scanned->columns.vt_s.size(), believed_now);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ::setenv("VORP_SCAN_THREADS", row.threads, 1);
        for (std::uint64_t nth = 1;; ++nth) {
            auto store = open_ok(*row.store);
            bool fired = false;
            try {
                bool failed = false;
                {
                    FailNthAllocation failing(nth);
                    try {
                        row.operation(*store);
                    } catch (const std::bad_alloc&) {
                        failed = true;
                    }
                    fired = failing.fired();
                }
                // The same handle, asked again, answers in full: the failure stranded nothing.
                if (failed) row.operation(*store);
            } catch (const EnginePanic& panic) {
                ADD_FAILURE() << "allocation " << nth << ": panic " << panic.text;
                return;
            }
            if (::testing::Test::HasFailure()) {
                ADD_FAILURE() << "at allocation " << nth;
                return;
            }
            if (!fired) break;
        }
    }
}

// The body digest of a large file runs on a thread of its own: its allocation failures come back
// to the opener as std::bad_alloc, as do those of the buffers sized from the file.
TEST_F(AllocationFailurePaths, LargeSegmentOpenUnderFailingAllocations) {
    TempDir dir{"vorp-alloc-large"};
    fs::path file;
    {
        auto store = open_ok(dir.path);
        fill_store(*store, 1, 1400, 4096, 11);
        file = dir.path / store->edge_files().front().file;
    }
    ASSERT_GE(fs::file_size(file), std::uintmax_t{4} << 20);
    for (std::uint64_t nth = 1;; ++nth) {
        bool fired = false;
        {
            FailNthAllocation failing(nth);
            try {
                auto source = MemorySource::load(file);
                if (source) {
                    const auto opened = Segment::open(file, std::move(*source), true);
                    EXPECT_TRUE(opened) << "allocation " << nth << ": " << opened.error().display();
                } else {
                    ADD_FAILURE() << "allocation " << nth << ": " << source.error().display();
                }
            } catch (const std::bad_alloc&) {
            }
            fired = failing.fired();
        }
        if (::testing::Test::HasFailure() || !fired) break;
    }
}

// An allocation failure after CURRENT names the stripped generation: the marker is written all
// the same, so a fresh handle refuses past reads.
TEST_F(AllocationFailurePaths, StripPublishedBeforeTheFailureIsMarked) {
    auto store = open_ok(small.path);
    bool renamed = false;
    bool thrown = false;
    {
        ScopedDurableFault fault([&](DurableOp op, const fs::path& path, std::uint64_t, std::size_t&) -> int {
            if (op == DurableOp::rename && path.filename() == "CURRENT") renamed = true;
            if (renamed && !thrown && op == DurableOp::open_dir) {
                thrown = true;
                throw std::bad_alloc();
            }
            return 0;
        });
        EXPECT_THROW((void)compact_current_only(*store), std::bad_alloc);
    }
    ASSERT_TRUE(thrown);
    EXPECT_TRUE(store->current_only());
    EXPECT_TRUE(fs::exists(small.path / "CURRENT_ONLY"));
    EXPECT_TRUE(open_ok(small.path)->current_only());
}

}  // namespace
}  // namespace vorp::testing

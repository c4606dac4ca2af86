// An allocation failure at any allocation of any operation of a store handle: the failure reaches
// the caller as std::bad_alloc, and the handle stays usable. After each failure the handle still
// answers a read, its batch commits and shows afterwards exactly what its reads showed before, the
// store reopens with nothing committed lost, and the operation tried again gives what a run
// without failures gives. Each operation runs on a small store (a dozen segments, close runs, an
// open batch with staged rows and closes) at 1 and at 4 worker threads, with the parallel gate
// open, so the fan-outs run too.
//
// Every allocation from 0 up is failed in turn for the first few dozen; past them the sweep thins
// out geometrically to stay within seconds. VORP_ALLOC_SWEEP=full fails every allocation in turn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include "alloc_fault.h"
#include "store_access.h"
#include "store_support.h"
#include "vorp/aggregate.h"
#include "vorp/compact.h"
#include "vorp/derive.h"
#include "vorp/gc.h"
#include "vorp/integrity.h"
#include "vorp/read.h"
#include "vorp/scan.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;
using testing::FailNthAllocation;
using testing::TempDir;

// An engine error, as the test's own exception (not an allocation failure).
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

template <class T>
T must(Result<T> result) {
    if (!result) throw Refused(result.error().display());
    if constexpr (!std::is_void_v<T>) return std::move(*result);
}

// ---- answers as text ---------------------------------------------------------------------------

std::string text_of(const std::string& value) { return value; }
std::string text_of(const std::optional<std::string>& value) { return value ? *value : "-"; }
template <class T>
    requires std::is_arithmetic_v<T>
std::string text_of(T value) {
    return fmt::format("{}", value);
}

template <class Record>
std::string record_text(const Record& record) {
    std::string out;
    std::apply([&](const auto&... field) { ((out += text_of(record.*(field.member)) + "|"), ...); },
               RecordFields<Record>::fields);
    return out + "\n";
}

template <class Records>
std::string records_text(const Records& records) {
    std::string out;
    for (const auto& record : records) out += record_text(record);
    return out;
}

// Where two texts first differ, by line ("" when they are equal): views run to hundreds of lines.
std::string difference(const std::string& got, const std::string& want) {
    if (got == want) return "";
    std::size_t line = 1;
    std::size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) {
        if (got[at] == '\n') ++line;
        ++at;
    }
    const auto line_at = [&](const std::string& text) {
        const std::size_t begin = text.rfind('\n', at == 0 ? 0 : at - 1);
        const std::size_t from = begin == std::string::npos || at == 0 ? 0 : begin + 1;
        return text.substr(from, text.find('\n', from) - from);
    };
    return fmt::format("line {}: got \"{}\", want \"{}\"", line, line_at(got), line_at(want));
}

// Every version of both kinds as a read of the handle shows it now, staged ones included.
std::string view(NativeStore& store) {
    VersionQuery query{OPEN_END - 1, INT64_MIN, INT64_MAX, nullptr, BeliefMode::All};
    std::string out = fmt::format("current_only={}\n", store.current_only());
    for (const RowKind kind : {RowKind::Edge, RowKind::Node}) {
        const VersionPage page = must(version_page(store, kind, query, 0, INT64_MAX));
        std::visit([&](const auto& rows) { out += records_text(rows); }, page.rows);
    }
    return out;
}

// ---- the store ------------------------------------------------------------------------------------

EdgeRow edge_row(NativeStore& store, Id96 vid, int i, std::int64_t tt) {
    EdgeRow row;
    row.rel_type = i % 3 == 0 ? "likes" : "knows";
    row.disc = i % 4 == 0 ? fmt::format("d{}", i) : "";
    row.props = fmt::format("{{\"w\":{}}}", i);
    row.source = "feed";
    row.vid = vid;
    row.vt_s = i * 1000;
    row.vt_e = i % 2 == 0 ? OPEN_END : i * 1000 + 700;
    row.tt_s = tt;
    row.src_id = testing::entity(store, fmt::format("u{}", i % 7));
    row.dst_id = testing::entity(store, fmt::format("u{}", (i + 3) % 7));
    return row;
}

NodeRow node_row(NativeStore& store, Id96 vid, int i, std::int64_t tt) {
    NodeRow row;
    row.label = i % 2 == 0 ? "person" : "place";
    row.props = fmt::format("{{\"name\":\"Name {}\"}}", i);
    row.source = "feed";
    row.vid = vid;
    row.vt_s = i * 500;
    row.vt_e = OPEN_END;
    row.tt_s = tt;
    row.uid_id = testing::entity(store, fmt::format("u{}", i % 7));
    return row;
}

// Three commits of small segments, the later two closing versions of the earlier ones.
void build_store(const fs::path& dir) {
    auto store = testing::open_ok(dir);
    StoreTestAccess::set_segment_target_bytes(*store, 400);
    for (std::uint64_t batch = 1; batch <= 3; ++batch) {
        const std::int64_t tt = static_cast<std::int64_t>(batch) * 10;
        must(store->begin(tt));
        for (int i = 0; i < 30; ++i) must(store->stage_edge(edge_row(*store, {batch, std::uint32_t(i)}, i, tt)));
        for (int i = 0; i < 10; ++i) must(store->stage_node(node_row(*store, {batch + 10, std::uint32_t(i)}, i, tt)));
        if (batch > 1) {
            for (std::uint32_t i = 0; i < 4; ++i) must(store->close_version(RowKind::Edge, {batch - 1, i}, tt));
            must(store->close_version(RowKind::Node, {batch + 9, 1}, tt));
        }
        must(store->commit(store->manifest().event_log));
    }
}

constexpr std::int64_t BATCH_TT = 100;

// The batch every operation that needs one finds open: staged rows of both kinds, a close of a
// staged version and of stored versions.
void open_batch(NativeStore& store) {
    must(store.begin(BATCH_TT));
    for (int i = 0; i < 6; ++i) must(store.stage_edge(edge_row(store, {90, std::uint32_t(i)}, i, BATCH_TT)));
    for (int i = 0; i < 3; ++i) must(store.stage_node(node_row(store, {91, std::uint32_t(i)}, i, BATCH_TT)));
    must(store.close_version(RowKind::Edge, {90, 1}, BATCH_TT + 5));
    must(store.close_version(RowKind::Edge, {3, 10}, BATCH_TT));
}

// ---- the operations ---------------------------------------------------------------------------------

// Closed: no handle yet. InBatchLookedUp: the batch's rows indexed by a lookup of each kind.
// Warm: no batch, and the operation has run once already (its caches are filled).
enum class Start { Closed, NoBatch, InBatch, InBatchLookedUp, Warm };

struct Ctx {
    fs::path dir;
    std::unique_ptr<NativeStore> store;
};

// An operation runs with the failure armed and returns how to describe its result (null: the
// view of the handle describes it), so that describing allocates nothing while armed.
using Describe = std::function<std::string()>;
using Run = std::function<Describe(Ctx&)>;

struct Operation {
    const char* name;
    Start start;
    Run run;
};

// Built and cached by the first call outside a batch, copied from the cache by later ones.
Describe describe_stats(Ctx& ctx) {
    auto stats = std::make_shared<StatsAccum>(must(ctx.store->stats_accum()));
    return [stats] {
        std::vector<std::pair<std::string, std::uint64_t>> types(stats->rel_type_counts.begin(),
                                                                stats->rel_type_counts.end());
        std::sort(types.begin(), types.end());
        std::string out = fmt::format("{} {} {} {} {} {}", stats->n_edge_versions, stats->n_node_versions,
                                      stats->vt_min.value_or(0), stats->vt_max.value_or(0),
                                      stats->out_degree.max(), stats->out_degree.size());
        for (const auto& [type, count] : types) out += fmt::format(" {}={}", type, count);
        return out;
    };
}

// A scan as of a past time and one of now. On a fresh handle without a batch, the first builds the
// committed closes' table straight from the run files and caches it.
Describe describe_scans(Ctx& ctx) {
    EdgeScanArgs args;
    args.as_of_tt = 25;
    auto past = scan_edges(*ctx.store, args);
    if (!past) throw Refused("scan refused");
    auto now = scan_edges(*ctx.store, EdgeScanArgs{});
    if (!now) throw Refused("scan refused");
    auto columns = std::make_shared<std::pair<ScanColumns, ScanColumns>>(std::move(past->columns),
                                                                         std::move(now->columns));
    return [columns] {
        std::string out;
        for (const ScanColumns* scan : {&columns->first, &columns->second}) {
            for (std::size_t row = 0; row < scan->rows(); ++row)
                out += fmt::format("{} {} {} {} {}\n", scan->vid[row].to_hex(), scan->vt_s[row], scan->vt_e[row],
                                   scan->rel_type[row], scan->props[row]);
            out += "--\n";
        }
        return out;
    };
}

const std::vector<Operation>& operations() {
    static const std::vector<Operation> table = {
        {"open", Start::Closed,
         [](Ctx& ctx) -> Describe {
             ctx.store = must(NativeStore::open(ctx.dir.string()));
             return nullptr;
         }},
        {"begin", Start::NoBatch,
         [](Ctx& ctx) -> Describe {
             must(ctx.store->begin(BATCH_TT));
             return nullptr;
         }},
        {"stage_edges", Start::InBatch,
         [](Ctx& ctx) -> Describe {
             NativeStore& store = *ctx.store;
             // A call that fails part-way keeps the rows before the failing one: the rest follow.
             const std::size_t kept = store.batch().staging.edges.size() - 6;
             std::vector<Id96> vids;
             for (std::uint32_t i = static_cast<std::uint32_t>(kept); i < 5; ++i) vids.push_back({92, i});
             const std::vector<EdgeRow> rows = [&] {
                 std::vector<EdgeRow> out;
                 for (const Id96& vid : vids) out.push_back(edge_row(store, vid, static_cast<int>(vid.suffix), BATCH_TT));
                 return out;
             }();
             must(store.stage_edges(vids, [&](std::size_t i, EdgeRow& row) { row = rows[i]; }));
             return nullptr;
         }},
        {"stage_nodes", Start::InBatch,
         [](Ctx& ctx) -> Describe {
             NativeStore& store = *ctx.store;
             const std::size_t kept = store.batch().staging.nodes.size() - 3;
             std::vector<Id96> vids;
             for (std::uint32_t i = static_cast<std::uint32_t>(kept); i < 5; ++i) vids.push_back({93, i});
             const std::vector<NodeRow> rows = [&] {
                 std::vector<NodeRow> out;
                 for (const Id96& vid : vids) out.push_back(node_row(store, vid, static_cast<int>(vid.suffix), BATCH_TT));
                 return out;
             }();
             must(store.stage_nodes(vids, [&](std::size_t i, NodeRow& row) { row = rows[i]; }));
             return nullptr;
         }},
        {"stage_closes", Start::InBatch,
         [](Ctx& ctx) -> Describe {
             must(ctx.store->close_version(RowKind::Edge, {2, 12}, BATCH_TT + 1));
             must(ctx.store->close_version(RowKind::Node, {13, 4}, BATCH_TT + 2));
             must(ctx.store->close_version(RowKind::Node, {91, 2}, BATCH_TT + 3));
             return nullptr;
         }},
        {"retire", Start::InBatchLookedUp,
         [](Ctx& ctx) -> Describe {
             // Tried again, it withdraws what a failed call left staged (all of it when that call
             // changed nothing).
             NativeStore& store = *ctx.store;
             if (store.batch().staging.staged_edge_vids.contains({90, 1}))
                 must(store.retire_version(RowKind::Edge, {90, 1}));
             if (store.batch().staging.staged_node_vids.contains({91, 0}))
                 must(store.retire_version(RowKind::Node, {91, 0}));
             return nullptr;
         }},
        {"commit", Start::InBatch,
         [](Ctx& ctx) -> Describe {
             must(ctx.store->commit(ctx.store->manifest().event_log));
             return nullptr;
         }},
        {"rollback", Start::InBatch,
         [](Ctx& ctx) -> Describe {
             must(ctx.store->rollback());
             return nullptr;
         }},
        {"scan", Start::InBatch, describe_scans},
        // A fresh handle of a store with close runs: the cold close table is built and cached.
        {"scan_cold", Start::NoBatch, describe_scans},
        {"aggregate", Start::InBatch,
         [](Ctx& ctx) -> Describe {
             AggregateRequest request;
             request.group_by = {Dim{DimKind::RelType, 0, 0}, Dim{DimKind::Endpoint, ROLE_SRC, 0}};
             request.aggregates = {Agg{AggKind::Count, 0}, Agg{AggKind::CountDistinct, 1}, Agg{AggKind::Mean, 1}};
             request.as_of_tt = OPEN_END - 1;
             request.t_a = 0;
             request.t_b = 1000000;
             request.max_groups = 1000;
             auto result = std::make_shared<AggregateResult>(must(aggregate_edges(*ctx.store, request)));
             return [result] {
                 std::string out;
                 for (const auto& keys : result->keys) out += fmt::format("{}\n", fmt::join(keys, " "));
                 for (const AggValues& values : result->aggs)
                     std::visit([&](const auto& column) {
                         for (const auto& value : column) out += value ? fmt::format("{} ", *value) : "- ";
                         out += "\n";
                     }, values);
                 return out + fmt::format("{}\n", fmt::join(result->rel_names, " "));
             };
         }},
        {"version_page", Start::InBatch,
         [](Ctx& ctx) -> Describe {
             VersionQuery query{15, 0, 20000, nullptr, BeliefMode::Current};
             auto edges = std::make_shared<VersionPage>(must(version_page(*ctx.store, RowKind::Edge, query, 2, 9)));
             auto nodes = std::make_shared<VersionPage>(must(version_page(*ctx.store, RowKind::Node, query, 0, 50)));
             return [edges, nodes] {
                 std::string out;
                 for (const auto& page : {edges, nodes})
                     std::visit([&](const auto& rows) { out += records_text(rows); }, page->rows);
                 return out;
             };
         }},
        {"believed", Start::InBatch,
         [](Ctx& ctx) -> Describe {
             NativeStore& store = *ctx.store;
             // Identities with stored versions and an open staged one, staged early in the batch:
             // a lookup that absorbs them more than once, or not at all, changes the answer.
             const std::string eid = edge_eid("u2", "u5", "knows", "").to_hex();
             auto edges = std::make_shared<std::vector<EdgeVersionOut>>(must(believed_edge_versions(store, eid, 25)));
             auto now = std::make_shared<std::vector<EdgeVersionOut>>(must(believed_edge_versions(store, eid, OPEN_END)));
             auto nodes =
                 std::make_shared<std::vector<NodeVersionOut>>(must(believed_node_versions(store, "u0", OPEN_END)));
             const std::vector<std::string> uids{"u1", "u2", "u6", "nobody"};
             auto any = std::make_shared<std::unordered_set<std::string>>(
                 must(nodes_with_believed_versions(store, uids, OPEN_END)));
             return [edges, now, nodes, any] {
                 std::vector<std::string> members(any->begin(), any->end());
                 std::sort(members.begin(), members.end());
                 return records_text(*edges) + records_text(*now) + records_text(*nodes) +
                        fmt::format("{}", fmt::join(members, " "));
             };
         }},
        {"resolve", Start::InBatch,
         [](Ctx& ctx) -> Describe {
             auto found = std::make_shared<std::vector<ResolvedEntity>>(must(resolve_entities(*ctx.store, "NAME", OPEN_END)));
             auto nodes = std::make_shared<NodeScanOut>(must(scan_node_versions(*ctx.store, 25, 0, 3000)));
             return [found, nodes] {
                 std::string out;
                 for (const ResolvedEntity& entity : *found)
                     out += fmt::format("{} {} {} {}\n", entity.uid, entity.score, entity.label, entity.props);
                 for (const NodeScanRow& row : nodes->rows)
                     out += fmt::format("{} {} {} {} {}\n", row.uid, row.vid, row.label, row.vt_s, row.vt_e);
                 return out;
             };
         }},
        {"stats", Start::NoBatch, describe_stats},
        {"stats_cached", Start::Warm, describe_stats},
        {"gc", Start::NoBatch,
         [](Ctx& ctx) -> Describe {
             (void)must(gc::collect(*ctx.store, 1));
             return nullptr;
         }},
        {"compact", Start::NoBatch,
         [](Ctx& ctx) -> Describe {
             (void)must(compact(*ctx.store));
             return nullptr;
         }},
        {"compact_current_only", Start::NoBatch,
         [](Ctx& ctx) -> Describe {
             (void)must(compact_current_only(*ctx.store));
             return nullptr;
         }},
        {"verify", Start::InBatch,
         [](Ctx& ctx) -> Describe {
             auto fast = std::make_shared<FastVerification>(must(verify_files(*ctx.store)));
             auto full = std::make_shared<VerifyReport>(must(verify_full(*ctx.store)));
             return [fast, full] {
                 return fmt::format("{} {} {} {} {}", fast->report.healthy(), fast->report.rows, full->healthy(),
                                    full->rows, full->findings.size());
             };
         }},
    };
    return table;
}

// ---- the sweep -------------------------------------------------------------------------------------

struct Case {
    std::string operation;
    int threads;
};

std::vector<Case> cases() {
    std::vector<Case> out;
    for (const Operation& operation : operations())
        for (const int threads : {1, 4}) out.push_back({operation.name, threads});
    return out;
}

class AllocationFailure : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        save("VORP_SCAN_THREADS");
        save("VORP_PARALLEL_MIN_ROWS");
        save("TMPDIR");
        // Every run commits, and syncs what it writes: in memory where the system offers it.
        if (fs::is_directory("/dev/shm")) ::setenv("TMPDIR", "/dev/shm", 1);
        // The operation runs at the case's thread count (with_threads); everything else at one.
        ::setenv("VORP_SCAN_THREADS", "1", 1);
        ::setenv("VORP_PARALLEL_MIN_ROWS", "0", 1);
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }

private:
    void save(const char* name) {
        const char* value = std::getenv(name);
        saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

const Operation& operation_named(const std::string& name) {
    for (const Operation& operation : operations())
        if (operation.name == name) return operation;
    throw std::logic_error("no operation " + name);
}

// A copy of the template store, opened, with the start the operation needs.
Ctx prepare(const fs::path& from, const fs::path& to, const Operation& operation) {
    const Start start = operation.start;
    fs::remove_all(to);
    fs::copy(from, to, fs::copy_options::recursive);
    Ctx ctx{to, nullptr};
    if (start == Start::Closed) return ctx;
    ctx.store = testing::open_ok(to);
    if (start == Start::InBatch || start == Start::InBatchLookedUp) open_batch(*ctx.store);
    if (start == Start::InBatchLookedUp) {
        (void)must(believed_edge_versions(*ctx.store, edge_eid("u2", "u5", "knows", "").to_hex(), OPEN_END));
        (void)must(believed_node_versions(*ctx.store, "u0", OPEN_END));
    }
    if (start == Start::Warm) (void)operation.run(ctx);
    return ctx;
}

// What the operation's run gives, then the view once the batch (if any) is committed. The batch
// must store what its reads showed.
struct Outcome {
    std::string answer;
    std::string committed;
};

Outcome finish(Ctx& ctx, const Describe& describe) {
    NativeStore& store = *ctx.store;
    Outcome outcome;
    outcome.answer = describe ? describe() : view(store);
    if (!store.in_batch()) {
        // A handle without a batch still commits one.
        must(store.begin(BATCH_TT + 50));
        must(store.stage_edge(edge_row(store, {94, 0}, 3, BATCH_TT + 50)));
    }
    const std::string shown = view(store);
    must(store.commit(store.manifest().event_log));
    EXPECT_EQ(difference(view(store), shown), "") << "the batch's commit stores what its reads showed";
    outcome.committed = view(store);
    return outcome;
}

// Runs `run` with VORP_SCAN_THREADS at `threads`, then back at one.
template <class Run>
auto with_threads(int threads, Run&& run) {
    struct Back {
        ~Back() { ::setenv("VORP_SCAN_THREADS", "1", 1); }
    } back;
    ::setenv("VORP_SCAN_THREADS", std::to_string(threads).c_str(), 1);
    return run();
}

// The run with allocation `n` failing: whether it failed (std::bad_alloc) and whether the failing
// allocation was reached at all. Any other exception is a fault of the operation.
struct Attempt {
    bool failed = false;
    bool fired = false;
    Describe describe;
};

Attempt attempt(const Operation& operation, Ctx& ctx, int threads, std::uint64_t n) {
    return with_threads(threads, [&] {
        Attempt out;
        FailNthAllocation failing(n + 1);  // counted from 1: n allocations pass first
        try {
            out.describe = operation.run(ctx);
        } catch (const std::bad_alloc&) {
            out.failed = true;
        } catch (const Refused& refused) {
            throw std::runtime_error(fmt::format("{} instead of an allocation failure: {}",
                                                 failing.fired() ? "an engine error" : "refused", refused.what()));
        } catch (const EnginePanic& panic) {
            throw std::runtime_error(fmt::format("a panic instead of an allocation failure: {}", panic.what()));
        }
        out.fired = failing.fired();
        return out;
    });
}

// The next allocation to fail: every one up to `dense`, then a quarter further each time (half
// under the sanitizers, which run this several times slower).
std::uint64_t next_n(std::uint64_t n) {
    static const bool full = [] {
        const char* sweep = std::getenv("VORP_ALLOC_SWEEP");
        return sweep != nullptr && std::string(sweep) == "full";
    }();
#if defined(__SANITIZE_ADDRESS__)
    constexpr std::uint64_t dense = 16;
    constexpr std::uint64_t stride_divisor = 2;
#else
    constexpr std::uint64_t dense = 64;
    constexpr std::uint64_t stride_divisor = 4;
#endif
    return full || n < dense ? n + 1 : n + n / stride_divisor;
}

TEST_P(AllocationFailure, LeavesTheHandleUsable) {
    const Case& param = GetParam();
    const Operation& operation = operation_named(param.operation);

    TempDir temp("vorp-alloc");
    const fs::path base = temp.path / "base";
    const fs::path work = temp.path / "work";
    build_store(base);

    Outcome expected;
    {
        Ctx ctx = prepare(base, work, operation);
        const Describe describe = with_threads(param.threads, [&] { return operation.run(ctx); });
        expected = finish(ctx, describe);
    }

    std::uint64_t failing_at = 0;
    try {
        for (std::uint64_t n = 0;; n = next_n(n)) {
            failing_at = n;
            SCOPED_TRACE(fmt::format("{} at {} threads, allocation {} failing", param.operation, param.threads, n));
            // First run: after the failure the handle answers, its batch commits what it showed,
            // and a new handle reads what it committed.
            Ctx ctx = prepare(base, work, operation);
            const Attempt first = attempt(operation, ctx, param.threads, n);
            if (!first.failed) {
                // The failing allocation was not reached, or the operation did without it.
                const Outcome got = finish(ctx, first.describe);
                EXPECT_EQ(difference(got.answer, expected.answer), "");
                EXPECT_EQ(difference(got.committed, expected.committed), "");
                if (!first.fired || HasFailure()) break;
                continue;
            }
            if (ctx.store) {
                (void)finish(ctx, nullptr);
                const std::string stored = view(*ctx.store);
                ctx.store.reset();
                EXPECT_EQ(difference(view(*testing::open_ok(ctx.dir)), stored), "")
                    << "a new handle reads what was committed";
            }

            // Second run, the same failure: the operation tried again (unless it had completed
            // before the failure, a publish that an exception followed) gives what a run without
            // failures gives.
            ctx = prepare(base, work, operation);
            const Attempt second = attempt(operation, ctx, param.threads, n);
            Describe describe = second.describe;
            bool completed = false;
            if (second.failed) {
                const std::string& name = param.operation;
                completed = ctx.store && ((name == "commit" || name == "rollback") ? !ctx.store->in_batch()
                                          : name == "begin"                        ? ctx.store->in_batch()
                                                                                   : false);
                if (!completed) describe = with_threads(param.threads, [&] { return operation.run(ctx); });
            }
            const Outcome got = finish(ctx, describe);
            if (!completed) {
                EXPECT_EQ(difference(got.answer, expected.answer), "");
            }
            EXPECT_EQ(difference(got.committed, expected.committed), "");
            if (HasFailure()) break;
        }
    } catch (const std::exception& error) {
        ADD_FAILURE() << param.operation << " at " << param.threads << " threads, allocation " << failing_at
                      << " failing: " << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, AllocationFailure, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return fmt::format("{}_{}threads", info.param.operation, info.param.threads);
                         });

}  // namespace
}  // namespace vorp

// Power cuts and kills at every step of the writing operations (commit, failed commit and retry,
// compaction, garbage collection).
//
// The durable-write seam reports every sync, rename and removal before it happens. From those
// reports a recorder keeps two images of the store directory for each moment of the operation:
//  - power cut: only what was synced survives. A file's content is what it held at its last
//    sync; a directory holds the names it held at its last sync (a rename or a new file is lost
//    until its directory is synced, an unsynced file behind a durable name is empty);
//  - power cut with CURRENT ahead: as above, but the rename of CURRENT already on disk (the
//    unsynced changes of one directory may reach the disk in any order);
//  - kill: every file exactly as it is at that moment, with a torn record appended to dict.log.
// Every image must open at the generation before or after the operation with exactly that
// generation's versions and dictionary, pass full verification, and take a further commit and
// garbage collections with other windows.
#include "store_support.h"
#include "vorp/compact.h"
#include "vorp/gc.h"
#include "vorp/integrity.h"
#include "vorp/store.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

namespace vorp {
namespace {

namespace fs = std::filesystem;
using vorp::testing::TempDir;
using vorp::testing::read_text;
using vorp::testing::open_ok;
using vorp::testing::entity;

constexpr const char* DIRS[] = {"", "manifests", "seg", "close", "idx"};

// A store directory's regular files: path relative to the root -> content.
using Image = std::map<std::string, std::string>;

class Recorder {
public:
    explicit Recorder(fs::path root) : root_(std::move(root)) {
        // Everything on disk before the operation counts as durable.
        for (const char* dir : DIRS) {
            for (const auto& [name, ino] : list(dir)) {
                contents_[ino] = read_text(root_ / dir / name);
                durable_[dir][name] = ino;
            }
        }
        cuts_.push_back(durable_image());
    }

    // `failing`: the operation is about to fail, so it changes nothing on disk.
    void on(DurableOp op, const fs::path& path, bool failing) {
        kills_.push_back(actual_image());
        // No order is promised between the unsynced changes of one directory: the rename of
        // CURRENT may reach the disk before a file created earlier in the root does.
        const Image& now = kills_.back();
        if (const auto current = now.find("CURRENT"); current != now.end()) {
            Image ahead = durable_image();
            if (ahead["CURRENT"] != current->second) {
                ahead["CURRENT"] = current->second;
                aheads_.push_back(std::move(ahead));
            }
        }
        if (failing) return;
        if (op == DurableOp::sync_file) {
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0) contents_[st.st_ino] = read_text(path);
        } else if (op == DurableOp::sync_dir) {
            const std::string dir = path.lexically_relative(root_).lexically_normal().generic_string();
            durable_[dir == "." ? "" : dir] = list(dir == "." ? "" : dir);
        } else {
            return;
        }
        cuts_.push_back(durable_image());
    }

    // The images once the operation has returned.
    void finish() {
        kills_.push_back(actual_image());
        cuts_.push_back(durable_image());
    }

    const std::vector<Image>& cuts() const { return cuts_; }
    const std::vector<Image>& kills() const { return kills_; }
    const std::vector<Image>& aheads() const { return aheads_; }

private:
    std::map<std::string, ino_t> list(const std::string& dir) const {
        std::map<std::string, ino_t> out;
        for (const auto& entry : fs::directory_iterator(root_ / dir)) {
            struct stat st {};
            if (::lstat(entry.path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
                out[entry.path().filename().string()] = st.st_ino;
        }
        return out;
    }

    static std::string join(const std::string& dir, const std::string& name) {
        return dir.empty() ? name : dir + "/" + name;
    }

    Image durable_image() const {
        Image image;
        for (const auto& [dir, names] : durable_)
            for (const auto& [name, ino] : names) {
                const auto content = contents_.find(ino);
                image[join(dir, name)] = content == contents_.end() ? std::string() : content->second;
            }
        return image;
    }

    Image actual_image() const {
        Image image;
        for (const char* dir : DIRS)
            for (const auto& [name, ino] : list(dir)) image[join(dir, name)] = read_text(root_ / dir / name);
        return image;
    }

    fs::path root_;
    std::map<ino_t, std::string> contents_;
    std::map<std::string, std::map<std::string, ino_t>> durable_;
    std::vector<Image> cuts_;
    std::vector<Image> kills_;
    std::vector<Image> aheads_;
};

void materialize(const Image& image, const fs::path& root, bool torn_dict_tail) {
    for (const char* dir : DIRS) fs::create_directories(root / dir);
    for (const auto& [relative, content] : image) {
        std::ofstream out(root / relative, std::ios::binary);
        out << content;
        // A record cut short: its length promises far more bytes than follow.
        if (torn_dict_tail && relative == "dict.log") out << std::string("\xff\xff\xff\x7f" "abc", 7);
    }
}

// What a generation holds, as a reader sees it.
struct Observed {
    std::uint64_t generation = 0;
    std::map<Id96, std::int64_t> versions;  // vid -> tt_e, both kinds
    std::vector<std::string> uids;          // the committed dictionary, by dense id

    bool operator==(const Observed&) const = default;
};

Observed observe(NativeStore& store) {
    Observed out;
    out.generation = store.manifest().generation;
    out.versions = vorp::testing::stored_versions(store);
    for (std::uint32_t id = 0; id < store.dict().size(); ++id) out.uids.push_back(store.uid_of(id).value());
    return out;
}

// Stages `edges` edges (vids (tt, i), one new uid each) and one node at `tt`.
void stage_sample(NativeStore& store, std::int64_t tt, std::uint32_t edges) {
    if (!store.begin(tt)) throw std::runtime_error("begin failed");
    for (std::uint32_t i = 0; i < edges; ++i) {
        EdgeRow row;
        row.rel_type = i % 2 ? "knows" : "likes";
        row.disc = fmt::format("{}", i);
        row.props = "{}";
        row.source = "test";
        row.vid = {std::uint64_t(tt), i};
        row.vt_s = i;
        row.vt_e = i % 3 ? OPEN_END : i + 5;
        row.tt_s = tt;
        row.src_id = entity(store, fmt::format("u{}-{}", tt, i));
        row.dst_id = entity(store, "hub");
        (void)store.stage_edge(std::move(row));
    }
    NodeRow node;
    node.label = "thing";
    node.props = "{}";
    node.source = "test";
    node.vid = {(std::uint64_t{1} << 40) + std::uint64_t(tt), 0};
    node.vt_s = tt;
    node.vt_e = OPEN_END;
    node.tt_s = tt;
    node.uid_id = entity(store, fmt::format("n{}", tt));
    (void)store.stage_node(std::move(node));
}

void commit_sample(NativeStore& store, std::int64_t tt, std::uint32_t edges) {
    stage_sample(store, tt, edges);
    if (!store.commit(store.manifest().event_log)) throw std::runtime_error("commit failed");
}

// Runs `operation` on a handle of `root` under the recorder, then checks every image it left.
// `inject` may fail operations (0 lets them run).
void check_every_moment(const fs::path& root, const std::function<void(NativeStore&)>& operation,
                        const DurableFaultHook& inject = {}) {
    const Observed before = observe(*open_ok(root));
    Recorder recorder(root);
    {
        auto store = open_ok(root);
        ScopedDurableFault seam([&](DurableOp op, const fs::path& path, std::uint64_t written, std::size_t& length) {
            const int errnum = inject ? inject(op, path, written, length) : 0;
            recorder.on(op, path, errnum != 0);
            return errnum;
        });
        operation(*store);
    }
    recorder.finish();
    const Observed after = observe(*open_ok(root));

    std::size_t at_after = 0;
    std::set<std::pair<Image, bool>> checked;  // many moments leave the same image
    const auto check = [&](const Image& image, bool torn, const std::string& what) {
        if (!checked.emplace(image, torn).second) return;
        SCOPED_TRACE(what);
        TempDir copy("vorp-cut");
        materialize(image, copy.path, torn);
        auto opened = NativeStore::open(copy.path.string());
        ASSERT_TRUE(opened) << opened.error().display();
        NativeStore& store = **opened;
        const Observed seen = observe(store);
        if (seen.generation == after.generation) {
            EXPECT_EQ(seen, after);
            ++at_after;
        } else {
            EXPECT_EQ(seen, before);
        }
        const auto verified = verify_full(store);
        ASSERT_TRUE(verified) << verified.error().display();
        EXPECT_TRUE(verified->healthy()) << fmt::format("{}", fmt::join(verified->problems, "; "));

        // What the operation left behind trips neither a commit nor a collection, whatever window.
        commit_sample(store, 1000, 3);
        for (const std::uint64_t keep : {5u, 1u}) {
            const auto collected = gc::collect(store, keep);
            ASSERT_TRUE(collected) << keep << ": " << collected.error().display();
        }
        Observed expected = observe(store);
        EXPECT_EQ(observe(*open_ok(copy.path)), expected);
    };
    for (std::size_t i = 0; i < recorder.cuts().size(); ++i) check(recorder.cuts()[i], false, fmt::format("power cut {}", i));
    for (std::size_t i = 0; i < recorder.kills().size(); ++i) check(recorder.kills()[i], true, fmt::format("kill {}", i));
    for (std::size_t i = 0; i < recorder.aheads().size(); ++i)
        check(recorder.aheads()[i], false, fmt::format("power cut with CURRENT ahead {}", i));
    // The last images are the finished operation.
    EXPECT_GE(at_after, 1u);
}

TEST(PowerCut, FirstCommitOfANewStore) {
    TempDir dir("vorp-powercut");
    open_ok(dir.path);
    check_every_moment(dir.path, [](NativeStore& store) { commit_sample(store, 1, 6); });
}

TEST(PowerCut, FirstCommitRetriedAfterTheRootSyncFailed) {
    TempDir dir("vorp-powercut");
    open_ok(dir.path);
    // The failed attempt created dict.log and synced it, but not the root that names it.
    int attempt = 0;
    check_every_moment(
        dir.path,
        [&](NativeStore& store) {
            stage_sample(store, 1, 4);
            attempt = 1;
            ASSERT_FALSE(store.commit(store.manifest().event_log));
            attempt = 2;
            ASSERT_EQ(store.commit(store.manifest().event_log).value(), 1u);
        },
        [&](DurableOp op, const fs::path& path, std::uint64_t, std::size_t&) {
            return attempt == 1 && op == DurableOp::sync_dir && path == dir.path ? EIO : 0;
        });
}

TEST(PowerCut, CommitWithClosesOfStoredVersions) {
    TempDir dir("vorp-powercut");
    {
        auto store = open_ok(dir.path);
        commit_sample(*store, 1, 6);
        commit_sample(*store, 2, 4);
    }
    check_every_moment(dir.path, [](NativeStore& store) {
        stage_sample(store, 3, 5);
        ASSERT_TRUE(store.close_version(RowKind::Edge, {1, 2}, 3));
        ASSERT_TRUE(store.close_version(RowKind::Node, {(std::uint64_t{1} << 40) + 2, 0}, 3));
        ASSERT_EQ(store.commit(store.manifest().event_log).value(), 3u);
    });
}

TEST(PowerCut, FailedCommitsThenRetry) {
    TempDir dir("vorp-powercut");
    {
        auto store = open_ok(dir.path);
        commit_sample(*store, 1, 4);
    }
    // The attempts die: 1, the disk full half-way through a segment; 2, at the dictionary's sync
    // (its records written past the committed length); 3, at the rename of CURRENT. The 4th succeeds.
    int attempt = 0;
    check_every_moment(
        dir.path,
        [&](NativeStore& store) {
            stage_sample(store, 2, 5);
            ASSERT_TRUE(store.close_version(RowKind::Edge, {1, 1}, 2));
            for (attempt = 1; attempt <= 3; ++attempt) ASSERT_FALSE(store.commit(store.manifest().event_log));
            ASSERT_EQ(store.commit(store.manifest().event_log).value(), 2u);
        },
        [&](DurableOp op, const fs::path& path, std::uint64_t written, std::size_t& length) {
            if (attempt == 1 && op == DurableOp::write && path.extension() == ".tmp" &&
                path.parent_path().filename() == "seg") {
                if (written != 0) return ENOSPC;
                length /= 2;
            }
            if (attempt == 2 && op == DurableOp::sync_file && path.filename() == "dict.log") return EIO;
            if (attempt == 3 && op == DurableOp::rename && path.filename() == "CURRENT") return ENOSPC;
            return 0;
        });
}

TEST(PowerCut, Compaction) {
    TempDir dir("vorp-powercut");
    {
        auto store = open_ok(dir.path);
        for (std::int64_t tt = 1; tt <= 3; ++tt) {
            stage_sample(*store, tt, 4);
            if (tt > 1) {
                ASSERT_TRUE(store->close_version(RowKind::Edge, {std::uint64_t(tt - 1), 1}, tt));
            }
            ASSERT_TRUE(store->commit(store->manifest().event_log));
        }
    }
    check_every_moment(dir.path, [](NativeStore& store) { ASSERT_TRUE(compact(store)); });
}

TEST(PowerCut, GarbageCollection) {
    TempDir dir("vorp-powercut");
    {
        auto store = open_ok(dir.path);
        for (std::int64_t tt = 1; tt <= 5; ++tt) commit_sample(*store, tt, 3);
    }
    // Generation 5 rests on a chain of deltas down to the genesis checkpoint; a window of 1 rewrites
    // it as a checkpoint and removes the five below it.
    check_every_moment(dir.path, [](NativeStore& store) {
        const auto report = gc::collect(store, 1);
        ASSERT_TRUE(report) << report.error().display();
        EXPECT_EQ(report->manifests_removed, 5u);
    });
}

}  // namespace
}  // namespace vorp

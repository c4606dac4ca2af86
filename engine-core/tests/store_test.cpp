#include "store_support.h"
#include "vorp/store.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "vorp/dict.h"
#include "vorp/gc.h"
#include "vorp/manifest_chain.h"
#include "vorp/row.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;
using vorp::testing::TempDir;
using vorp::testing::write_text;
using vorp::testing::read_text;
using vorp::testing::open_ok;

DeltaBase base_of(const Manifest& parent) {
    const ManifestMerkle merkle = ManifestMerkle::from_manifest(parent);
    return DeltaBase{parent.manifest_sha, parent.generation, merkle.lens(), parent.widths, merkle};
}

// Publishes the successor of `parent` with `dict` and `segments` new node entries, as a delta
// whenever the cadence allows. Returns the new manifest.
Manifest publish_next(const fs::path& root, const Manifest& parent, std::uint64_t checkpoint, DictRef dict,
                      std::uint64_t segments, std::uint64_t every = DEFAULT_CHECKPOINT_EVERY) {
    Manifest next = parent.successor(parent.created_tt + 1);
    next.dict = dict;
    for (std::uint64_t i = 0; i < segments; ++i) {
        SegmentEntry entry;
        entry.file = fmt::format("seg/{:012}.vos", next.next_segment_id++);
        entry.rows = 1;
        entry.key_lo = {0, std::string(24, '0')};
        entry.key_hi = entry.key_lo;
        next.node_store.push_back(std::move(entry));
    }
    next.seal();
    auto published = publish(root, base_of(parent), checkpoint, next, false, every);
    if (!published || published->unsynced) throw std::runtime_error("publish failed");
    return next;
}

// A store at generation 1 whose dictionary holds the given uids.
Manifest store_with_uids(const fs::path& root, const std::vector<std::string>& uids) {
    const Manifest genesis = open_ok(root)->manifest();
    Dictionary dict = Dictionary::for_root(root);
    for (const auto& uid : uids) dict.push(uid, "label");
    const DictCommit committed = dict.commit_to_disk().value();
    return publish_next(root, genesis, 0, {committed.records, committed.bytes}, 0);
}

// ---- open ----------------------------------------------------------------------------------------

struct OpenCase {
    std::string name;
    // Prepares the directory; gets the root and the sha of the genesis when `existing` is set.
    bool existing;
    std::function<void(const fs::path& root, const std::string& sha)> prepare;
    // Empty: the open succeeds at generation `generation`. Otherwise the error's display text,
    // in which {root} stands for the store root.
    std::string error;
    std::uint64_t generation = 0;
};

std::string upper_case(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string substitute(std::string text, const std::vector<std::pair<std::string, std::string>>& values) {
    for (const auto& [key, value] : values)
        for (std::size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
    return text;
}

TEST(StoreOpen, Matrix) {
    const std::string restore = std::string(" — ") + std::string(RESTORE_REMEDY);
    const std::string refuse_remedy =
        " — remove the orphaned manifests/segments if this was a crashed first commit, or restore CURRENT from a backup";
    const auto populated = [&](int manifests, int segments) {
        return fmt::format("corrupt: store has {} manifest(s) / {} segment(s) but no CURRENT — refusing to treat a "
                           "populated directory as empty; if this is a crashed first commit, remove the orphans or "
                           "restore CURRENT{}",
                           manifests, segments, refuse_remedy);
    };
    const auto set_current = [](std::string text) {
        return [text](const fs::path& root, const std::string& sha) {
            write_text(root / "CURRENT", substitute(text, {{"{sha}", sha}, {"{upper}", upper_case(sha)}}));
        };
    };
    const auto no_current = [](std::function<void(const fs::path&)> more) {
        return [more](const fs::path& root, const std::string&) {
            fs::remove(root / "CURRENT");
            more(root);
        };
    };
    const auto nothing = [](const fs::path&) {};
    const std::string bad_current = "corrupt: CURRENT must contain '<generation> <sha>', found ";
    const std::string not_number = "corrupt: CURRENT generation is not a number: ";

    const std::vector<OpenCase> cases = {
        {"new empty directory", false, [](const fs::path& root, const std::string&) { fs::create_directories(root); }, ""},
        {"missing directory", false, [](const fs::path&, const std::string&) {}, ""},
        {"reopen", true, [](const fs::path&, const std::string&) {}, ""},
        {"segment without CURRENT", true, no_current([](const fs::path& r) { write_text(r / "seg/000000000001.vos", "x"); }),
         populated(1, 1)},
        {"dictionary without CURRENT", true, no_current([](const fs::path& r) { write_text(r / "dict.log", "x"); }),
         populated(1, 0)},
        {"empty dictionary without CURRENT", true, no_current([](const fs::path& r) { write_text(r / "dict.log", ""); }),
         ""},
        {"lone genesis checkpoint", true, no_current(nothing), ""},
        {"lone genesis with an event-log offset", true,
         no_current([](const fs::path& r) {
             Manifest genesis = Manifest::genesis();
             genesis.event_log.offset = 5;
             genesis.seal();
             write_text(manifest_path(r, 0), checkpoint_json(genesis));
         }),
         populated(1, 0)},
        {"lone genesis with a parent", true,
         no_current([](const fs::path& r) {
             Manifest genesis = Manifest::genesis();
             genesis.parent = 0;
             genesis.seal();
             write_text(manifest_path(r, 0), checkpoint_json(genesis));
         }),
         populated(1, 0)},
        {"damaged lone genesis", true,
         no_current([](const fs::path& r) { write_text(manifest_path(r, 0), "{}"); }), populated(1, 0)},
        {"numbered manifest other than 0", true,
         no_current([](const fs::path& r) {
             fs::remove(manifest_path(r, 0));
             write_text(r / "manifests/+5.json", "{}");
         }),
         populated(1, 0)},
        {"two numbered manifests", true,
         no_current([](const fs::path& r) { write_text(r / "manifests/00.json", "{}"); }), populated(2, 0)},
        {"uncounted leftovers", false,
         [](const fs::path& r, const std::string&) {
             for (const char* name : {"manifests/00000000000000000001.tmp", "manifests/.json", "manifests/x.json",
                                      "manifests/1.json.tmp", "seg/000000000001.vos.tmp", "seg/.vos",
                                      "close/000000000001.voc", "idx/anything"})
                 write_text(r / name, "x");
         },
         ""},
        {"CURRENT with white space", true, set_current("\n\t 0 \t\n {sha}\r\n\n"), ""},
        {"CURRENT split by a no-break space", true, set_current("0\u00a0{sha}"), ""},
        {"CURRENT with plus and zeros", true, set_current("+000 {sha}"), ""},
        {"CURRENT with a third token", true, set_current("0 {sha} trailing words\n"), ""},
        {"CURRENT with one token", true, set_current("0\n"), bad_current + "\"0\\n\" [file={root}/CURRENT]" + restore},
        {"CURRENT empty", true, set_current(""), bad_current + "\"\" [file={root}/CURRENT]" + restore},
        {"CURRENT negative", true, set_current("-0 {sha}\n"), not_number + "\"-0\" [file={root}/CURRENT]" + restore},
        {"CURRENT double plus", true, set_current("++0 {sha}\n"), not_number + "\"++0\" [file={root}/CURRENT]" + restore},
        {"CURRENT overflow", true, set_current("18446744073709551616 {sha}\n"),
         not_number + "\"18446744073709551616\" [file={root}/CURRENT]" + restore},
        {"CURRENT not UTF-8", true, set_current("0 {sha}\xff\n"),
         "io: stream did not contain valid UTF-8 [file={root}/CURRENT]"},
        {"file in place of manifests", false, [](const fs::path& r, const std::string&) { write_text(r / "manifests", ""); },
         "io: File exists (os error 17) [file={root}/manifests]"},
        {"file in place of seg", true,
         [](const fs::path& r, const std::string&) {
             fs::remove_all(r / "seg");
             write_text(r / "seg", "");
         },
         "io: File exists (os error 17) [file={root}/seg]"},
        {"file in place of close", true,
         [](const fs::path& r, const std::string&) {
             fs::remove_all(r / "close");
             write_text(r / "close", "");
         },
         "io: File exists (os error 17) [file={root}/close]"},
        {"file in place of idx", true,
         [](const fs::path& r, const std::string&) {
             fs::remove_all(r / "idx");
             write_text(r / "idx", "");
         },
         "io: File exists (os error 17) [file={root}/idx]"},
        {"current manifest not UTF-8", true,
         [](const fs::path& r, const std::string&) { write_text(manifest_path(r, 0), "{\"kind\": \"\xff\"}"); },
         "corrupt: stream did not contain valid UTF-8 [file={root}/manifests/00000000000000000000.json]" + restore},
        {"CURRENT unknown generation", true, set_current("7 {sha}\n"),
         "corrupt: CURRENT points at generation 7 but its manifest is missing "
         "[file={root}/manifests/00000000000000000007.json]" + restore},
        {"CURRENT sha mismatch", true, set_current("0 0123456789abcdef\n"),
         "corrupt: CURRENT records sha 0123456789abcdef but manifest 0 has {sha} "
         "[file={root}/manifests/00000000000000000000.json]" + restore},
        {"CURRENT upper-case sha", true, set_current("0 {upper}\n"),
         "corrupt: CURRENT records sha {upper} but manifest 0 has {sha} "
         "[file={root}/manifests/00000000000000000000.json]" + restore},
    };

    for (const OpenCase& test : cases) {
        SCOPED_TRACE(test.name);
        TempDir dir("vorp-open");
        const fs::path root = dir.path / "store";
        std::string sha;
        if (test.existing) sha = open_ok(root)->manifest().manifest_sha;
        test.prepare(root, sha);
        const std::string current_before = fs::exists(root / "CURRENT") ? read_text(root / "CURRENT") : "";
        auto opened = NativeStore::open(root.string());
        if (test.error.empty()) {
            ASSERT_TRUE(opened) << opened.error().display();
            const NativeStore& store = **opened;
            EXPECT_EQ(store.manifest().generation, test.generation);
            for (const char* sub : {"manifests", "seg", "close", "idx"}) EXPECT_TRUE(fs::is_directory(root / sub));
            if (test.existing && !current_before.empty()) {
                EXPECT_EQ(read_text(root / "CURRENT"), current_before);  // open never rewrites CURRENT
            } else {
                EXPECT_EQ(read_text(root / "CURRENT"), fmt::format("0 {}\n", store.manifest().manifest_sha));
            }
            EXPECT_EQ(pinned_generations(store.pin_path()), std::set<std::uint64_t>{test.generation});
        } else {
            ASSERT_FALSE(opened);
            EXPECT_EQ(opened.error().display(),
                      substitute(test.error, {{"{root}", root.string()}, {"{sha}", sha}, {"{upper}", upper_case(sha)}}));
            EXPECT_TRUE(pinned_generations(root).empty());
            EXPECT_TRUE(pinned_generations(fs::canonical(root)).empty());
        }
    }
}

TEST(StoreOpen, NewStoreLayoutAndPhases) {
    TempDir dir("vorp-open");
    const fs::path root = dir.path / "a" / "b";
    auto store = open_ok(root);
    EXPECT_FALSE(fs::exists(root / "dict.log"));
    EXPECT_TRUE(fs::exists(root / "manifests/00000000000000000000.json"));
    EXPECT_FALSE(fs::exists(root / "CURRENT.tmp"));
    EXPECT_EQ(store->manifest(), Manifest::genesis());
    EXPECT_TRUE(store->merkle().has_value());
    EXPECT_EQ(store->checkpoint_generation(), 0u);
    const OpenPhases& phases = store->open_phases();
    EXPECT_EQ(phases.checkpoint_read_parse_us + phases.merkle_verify_us + phases.state_build_us +
                  phases.delta_replay_us + phases.delta_count,
              0u);
    EXPECT_EQ(phases.chain_format, 3u);
    EXPECT_LE(phases.dictionary_open_us + phases.other_us, phases.total_us + phases.dictionary_open_us);
    EXPECT_EQ(store->pin_path(), fs::canonical(root));
    EXPECT_FALSE(store->in_batch());
    EXPECT_FALSE(store->current_only());
    EXPECT_EQ(store->seal_layout().lane_stride, 604800000000);
}

TEST(StoreOpen, ChainOfDeltasAndDictionaryLengths) {
    TempDir dir("vorp-open");
    const fs::path root = dir.path;
    Manifest head = store_with_uids(root, {"alice", "bob", "carol"});
    for (int i = 0; i < 4; ++i) head = publish_next(root, head, 0, head.dict, 3);
    {
        // Segment files the manifest names do not exist: open must not read them.
        auto store = open_ok(root);
        EXPECT_EQ(store->manifest(), head);
        EXPECT_EQ(store->open_phases().delta_count, 5u);
        EXPECT_EQ(store->checkpoint_generation(), 0u);
        EXPECT_EQ(store->dict().size(), 3u);
        EXPECT_EQ(store->uid_of(2).value(), "carol");
        EXPECT_EQ(store->dense_or_err("bob").value(), 1u);
        EXPECT_EQ(store->uid_of(3).error().display(),
                  "invariant: dense id 3 is not in the dictionary — " + std::string(ENGINE_BUG_REMEDY));
        EXPECT_EQ(store->dense_or_err("d\"ave\n").error().display(),
                  "invariant: uid \"d\\\"ave\\n\" left the dictionary — " + std::string(ENGINE_BUG_REMEDY));
        store->add_entity("dave", "").value();  // added since the last commit: uid_of sees it
        EXPECT_EQ(store->uid_of(3).value(), "dave");
    }
    const fs::path log = root / "dict.log";
    const std::string committed = read_text(log);
    write_text(log, committed + std::string("\x05\x00\x00\x00trash", 9));  // the tail of a commit that never published
    EXPECT_EQ(open_ok(root)->dict().size(), 3u);

    write_text(log, committed.substr(0, committed.size() - 1));
    auto short_log = NativeStore::open(root.string());
    ASSERT_FALSE(short_log);
    EXPECT_EQ(short_log.error().display(),
              fmt::format("corrupt: dictionary is shorter than its manifest claims ({} bytes on disk, {} expected) "
                          "[file={}] — {}",
                          committed.size() - 1, committed.size(), log.string(), RESTORE_REMEDY));

    write_text(log, committed);
    head = publish_next(root, head, 0, {4, committed.size()}, 0);
    auto miscounted = NativeStore::open(root.string());
    ASSERT_FALSE(miscounted);
    EXPECT_EQ(miscounted.error().display(), fmt::format("corrupt: dictionary holds 3 records, manifest claims 4 "
                                                        "[file={}] — {}",
                                                        log.string(), RESTORE_REMEDY));
    EXPECT_TRUE(pinned_generations(fs::canonical(root)).empty());
}

TEST(StoreOpen, UnlistableSegmentDirectoryIsAnError) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer runtimes need descriptors of their own to report";
#endif
    TempDir dir("vorp-open");
    fs::create_directories(dir.path / "seg");
    // Every descriptor taken: listing seg/ fails, and must not count as an empty directory.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> held;
    for (int fd; (fd = ::dup(STDERR_FILENO)) >= 0;) held.push_back(fd);
    const Status refused = refuse_if_populated_without_current(dir.path);
    for (int fd : held) ::close(fd);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().display(),
              fmt::format("io: Too many open files (os error {}) [file={}]", EMFILE, (dir.path / "seg").string()));
}

TEST(StoreOpen, PinsFollowHandles) {
    TempDir dir("vorp-open");
    const fs::path root = dir.path / "s";
    auto first = open_ok(root);
    // A relative and a doubled-separator spelling resolve to the same canonical key.
    const fs::path cwd = fs::current_path();
    fs::current_path(dir.path);
    auto second = open_ok("s//");
    fs::current_path(cwd);
    EXPECT_EQ(second->pin_path(), first->pin_path());
    EXPECT_EQ(second->root(), fs::path("s//"));
    const fs::path key = fs::canonical(root);
    EXPECT_EQ(pinned_generations(key), (std::set<std::uint64_t>{0}));
    first->move_pin(3);
    EXPECT_EQ(pinned_generations(key), (std::set<std::uint64_t>{0, 3}));
    first.reset();
    EXPECT_EQ(pinned_generations(key), (std::set<std::uint64_t>{0}));
    second.reset();
    EXPECT_TRUE(pinned_generations(key).empty());
}

TEST(StoreOpen, CurrentOnlyMarker) {
    TempDir dir("vorp-open");
    auto store = open_ok(dir.path);
    EXPECT_TRUE(store->assert_full_belief(0));
    ASSERT_TRUE(store->mark_current_only());
    EXPECT_EQ(read_text(dir.path / "CURRENT_ONLY"), "stripped by compact_current_only\n");
    const auto reopened = open_ok(dir.path);
    for (auto* handle : {store.get(), reopened.get()}) {
        EXPECT_TRUE(handle->current_only());
        EXPECT_TRUE(handle->assert_full_belief(OPEN_END - 1));
        EXPECT_TRUE(handle->assert_full_belief(OPEN_END));
        const Status refused = handle->assert_full_belief(OPEN_END - 2);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().display(),
                  "invariant: this store is current-only (plan §13 stripped configuration): historical versions were "
                  "discarded, so belief at tt=4611686018427387902 cannot be answered — rebuild the store from its "
                  "event log for bi-temporal queries");
    }
}

TEST(StoreOpen, CacheBudgetAndMemTotal) {
    constexpr std::uint64_t M = 1000;
    const struct {
        std::optional<std::string_view> env;
        std::optional<std::uint64_t> ram;
        std::optional<std::uint64_t> budget;
    } budgets[] = {
        {std::nullopt, M, 500},   {"", M, 500},      {"   ", M, 500},      {"lots", M, 500},
        {"-5", M, 500},           {"1e9", M, 500},   {"18446744073709551616", M, 500},
        {std::nullopt, std::nullopt, std::nullopt},  {"x", std::nullopt, std::nullopt},
        {"0", M, std::nullopt},   {" +123 ", M, 123}, {"\u3000 42\t", std::nullopt, 42},
        {"18446744073709551615", M, 18446744073709551615u}, {"++1", M, 500},
    };
    for (const auto& row : budgets) {
        SCOPED_TRACE(row.env.value_or("<unset>"));
        EXPECT_EQ(cache_budget(row.env, row.ram), row.budget);
    }
    const struct {
        std::string_view text;
        std::optional<std::uint64_t> bytes;
    } meminfo[] = {
        {"MemTotal:       16314436 kB\nMemFree: 1 kB\n", 16314436ull * 1024},
        {"MemFree: 1 kB\r\nMemTotal: 2048 kB\r\n", 2048ull * 1024},
        {"MemTotal: 7", 7ull * 1024},
        {"MemTotal: lots kB\nMemTotal: 4 kB\n", std::nullopt},
        {" MemTotal: 4 kB\n", std::nullopt},
        {"MemFree: 4 kB\n", std::nullopt},
        {"MemTotal: 18014398509481984 kB\n", std::nullopt},  // 2^54 KiB does not fit in bytes
        {"", std::nullopt},
    };
    for (const auto& row : meminfo) EXPECT_EQ(meminfo_total_bytes(row.text), row.bytes) << row.text;
    if (fs::exists("/proc/meminfo")) {
        ASSERT_TRUE(detected_ram_bytes().has_value());
        EXPECT_EQ(cache_budget(std::nullopt, detected_ram_bytes()), *detected_ram_bytes() / 2);
    }
}

// ---- durable writes ------------------------------------------------------------------------------

TEST(DurableWrite, TempNamesAndReplacement) {
    EXPECT_EQ(temp_path_for("/s/manifests/00000000000000000003.json"), fs::path("/s/manifests/00000000000000000003.tmp"));
    EXPECT_EQ(temp_path_for("/s/CURRENT"), fs::path("/s/CURRENT.tmp"));
    EXPECT_EQ(temp_path_for("/s/CURRENT_ONLY"), fs::path("/s/CURRENT_ONLY.tmp"));
    EXPECT_EQ(temp_path_for("/s/.hidden"), fs::path("/s/.hidden.tmp"));

    TempDir dir("vorp-durable");
    const fs::path target = dir.path / "CURRENT";
    write_text(dir.path / "CURRENT.tmp", "a much longer leftover of an earlier crash");
    ASSERT_TRUE(write_atomic(target, "new\n"));
    EXPECT_EQ(read_text(target), "new\n");  // the leftover was truncated, not appended to
    EXPECT_FALSE(fs::exists(dir.path / "CURRENT.tmp"));
    ASSERT_TRUE(write_atomic(target, ""));
    EXPECT_TRUE(fs::exists(target));
    EXPECT_EQ(fs::file_size(target), 0u);
}

TEST(DurableWrite, FailuresNameTheirFileAndKeepTheTarget) {
    TempDir dir("vorp-durable");
    const fs::path target = dir.path / "f.json";
    const fs::path tmp = dir.path / "f.tmp";
    const std::string payload(10000, 'x');
    const struct {
        std::string name;
        DurableOp op;
        fs::path file;
        std::string message;
        std::uint64_t tmp_bytes;  // what the temporary file holds afterwards
        bool replaced;
    } cases[] = {
        {"out of space part-way", DurableOp::write, tmp, "No space left on device (os error 28)", 4096, false},
        {"sync", DurableOp::sync_file, tmp, "Input/output error (os error 5)", 10000, false},
        {"rename", DurableOp::rename, target, "Input/output error (os error 5)", 10000, false},
        {"directory sync", DurableOp::sync_dir, dir.path, "Input/output error (os error 5)", 0, true},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        write_text(target, "old");
        fs::remove(tmp);
        ScopedDurableFault fault([&](DurableOp op, const fs::path&, std::uint64_t written, std::size_t& length) {
            if (op != test.op) return 0;
            if (op == DurableOp::write && written == 0) {
                length = 4096;  // the first chunk lands, the next finds the disk full
                return 0;
            }
            return op == DurableOp::write ? ENOSPC : EIO;
        });
        const Status status = write_atomic(target, payload);
        ASSERT_FALSE(status);
        EXPECT_EQ(status.error().display(), fmt::format("io: {} [file={}]", test.message, test.file.string()));
        EXPECT_EQ(read_text(target), test.replaced ? payload : "old");
        if (!test.replaced) {
            EXPECT_EQ(fs::file_size(tmp), test.tmp_bytes);
        }
    }
    ScopedDurableFault zero_progress([](DurableOp op, const fs::path&, std::uint64_t, std::size_t& length) {
        if (op == DurableOp::write) length = 0;
        return 0;
    });
    EXPECT_EQ(write_atomic(target, "abc").error().display(),
              fmt::format("io: failed to write whole buffer [file={}]", tmp.string()));
}

TEST(DurableWrite, PublishCadenceAndRefusal) {
    TempDir dir("vorp-durable");
    const fs::path root = dir.path;
    Manifest head = open_ok(root)->manifest();
    std::uint64_t checkpoint = 0;
    std::vector<std::uint64_t> checkpoints;
    for (int i = 0; i < 5; ++i) {
        Manifest next = head.successor(head.created_tt + 1);
        next.seal();
        const Published published = publish(root, base_of(head), checkpoint, next, false, 2).value();
        EXPECT_FALSE(published.unsynced);
        const ManifestRecord record = read_record(root, next.generation).value();
        EXPECT_EQ(record.is_checkpoint(), next.generation % 2 == 0);
        EXPECT_EQ(published.stats.manifest_bytes, fs::file_size(manifest_path(root, next.generation)));
        EXPECT_EQ(published.stats.debug_verify_us, 0u);
        checkpoint = published.stats.checkpoint_generation;
        checkpoints.push_back(checkpoint);
        EXPECT_EQ(read_text(root / "CURRENT"), fmt::format("{} {}\n", next.generation, next.manifest_sha));
        head = next;
    }
    EXPECT_EQ(checkpoints, (std::vector<std::uint64_t>{0, 2, 2, 4, 4}));
    auto reopened = open_ok(root);
    EXPECT_EQ(reopened->manifest(), head);
    EXPECT_EQ(reopened->checkpoint_generation(), 4u);

    Manifest legacy = head.successor(head.created_tt + 1);
    legacy.format = 2;
    legacy.seal();
    const auto refused = publish(root, std::nullopt, 0, legacy, true, 1);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), read_only_format_error(2));
    EXPECT_FALSE(fs::exists(manifest_path(root, legacy.generation)));
}

TEST(DurableWrite, FailedDirectorySyncAfterCurrentStillPublishes) {
    TempDir dir("vorp-durable");
    const fs::path root = dir.path / "s";
    {
        // During the genesis: the store is created, but the open reports the doubt.
        ScopedDurableFault fault([&](DurableOp op, const fs::path& path, std::uint64_t, std::size_t&) {
            return op == DurableOp::sync_dir && path == root && fs::exists(root / "CURRENT") ? EIO : 0;
        });
        auto opened = NativeStore::open(root.string());
        ASSERT_FALSE(opened);
        EXPECT_EQ(opened.error().display(),
                  fmt::format("io: generation 0 was published but its directory could not be synced: Input/output "
                              "error (os error 5) [file={}]",
                              root.string()));
        EXPECT_TRUE(pinned_generations(root).empty());
    }
    auto store = open_ok(root);
    EXPECT_EQ(store->manifest().generation, 0u);

    Manifest next = store->manifest().successor(1);
    next.seal();
    Published published;
    {
        ScopedDurableFault fault([&](DurableOp op, const fs::path& path, std::uint64_t, std::size_t&) {
            return op == DurableOp::sync_dir && path == root ? EIO : 0;
        });
        published = publish(root, base_of(store->manifest()), 0, next, false, 512).value();
    }
    ASSERT_TRUE(published.unsynced);
    EXPECT_EQ(published.unsynced->message,
              "generation 1 was published but its directory could not be synced: Input/output error (os error 5)");
    EXPECT_EQ(open_ok(root)->manifest(), next);

    // A failure before the rename publishes nothing.
    Manifest after = next.successor(2);
    after.seal();
    {
        ScopedDurableFault fault([&](DurableOp op, const fs::path& path, std::uint64_t, std::size_t&) {
            return op == DurableOp::rename && path == root / "CURRENT" ? EIO : 0;
        });
        EXPECT_FALSE(publish(root, base_of(next), 0, after, false, 512));
    }
    EXPECT_TRUE(fs::exists(manifest_path(root, 2)));  // the orphan the next publish replaces
    EXPECT_EQ(open_ok(root)->manifest(), next);
}

TEST(DurableWrite, CrashPointMatchesExactly) {
    ::unsetenv("VORP_CRASH_POINT");
    crash_point("after_manifest");
    for (const char* value : {"AFTER_MANIFEST", " after_manifest", "after_manifest\n", "after", "\xff"}) {
        ::setenv("VORP_CRASH_POINT", value, 1);
        crash_point("after_manifest");
    }
    ::setenv("VORP_CRASH_POINT", "after_manifest", 1);
    EXPECT_DEATH(crash_point("after_manifest"), "VORP_CRASH_POINT hit: after_manifest");
    ::unsetenv("VORP_CRASH_POINT");
}

}  // namespace
}  // namespace vorp

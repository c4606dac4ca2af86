// Stores whose files were rewritten so that one count lies while every checksum and digest is
// recomputed: a segment header claiming more rows than its manifest entry, a packed string heap
// claiming more strings than its header, a manifest entry claiming more rows than its segment.
// Each is refused (or reported) from what the files hold, before anything is sized from the lie.
// The cases run in a child process whose address space is capped a few hundred MiB above what it
// uses, so that sizing an allocation from the forged count shows up as std::bad_alloc, not as
// gigabytes taken from the machine running the tests.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "segment_image.h"
#include "store_support.h"
#include "vorp/codec.h"
#include "vorp/compact.h"
#include "vorp/derive.h"
#include "vorp/integrity.h"
#include "vorp/read.h"
#include "vorp/segment.h"
#include "vorp/store.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;
using vorp::testing::open_ok;
using vorp::testing::read_text;
using vorp::testing::TempDir;
using vorp::testing::write_text;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool UNDER_ASAN = true;  // AddressSanitizer reserves terabytes: no address-space cap
#else
constexpr bool UNDER_ASAN = false;
#endif

// What the forged counts claim: each would size well over a GiB if trusted.
constexpr std::uint32_t FORGED_ROWS = std::uint32_t{1} << 24;
constexpr std::uint32_t FORGED_STRINGS = (std::uint32_t{1} << 28) - 1;
constexpr std::uint32_t FORGED_ENTRY_ROWS = std::uint32_t{1} << 31;
constexpr std::uint64_t HEADROOM = std::uint64_t{384} << 20;

// Runs `body` in a child whose address space is capped at its present size plus HEADROOM, and
// returns what it returned, or "bad_alloc" when it ran out of memory. Under AddressSanitizer it
// runs in this process, uncapped.
std::string run_bounded(const std::function<std::string()>& body) {
    const auto guarded = [&]() -> std::string {
        try {
            return body();
        } catch (const std::bad_alloc&) {
            return "bad_alloc";
        }
    };
    if (UNDER_ASAN) return guarded();
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return "pipe failed";
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe_fds[0]);
        long pages = 0;
        if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
            std::fclose(statm);
        }
        const rlimit cap{static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + HEADROOM,
                         RLIM_INFINITY};
        std::string out = pages == 0 || ::setrlimit(RLIMIT_AS, &cap) != 0 ? "no cap" : guarded();
        for (std::size_t at = 0; at < out.size();) {
            const ssize_t wrote = ::write(pipe_fds[1], out.data() + at, out.size() - at);
            if (wrote <= 0) break;
            at += static_cast<std::size_t>(wrote);
        }
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    std::string out;
    char buffer[4096];
    for (ssize_t got; (got = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(got));
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out += fmt::format(" [child ended with status {}]", status);
    return out;
}

// ---- forging ---------------------------------------------------------------------------------------

void put_u32(std::string& out, std::uint32_t value) { out += testing::le32(value); }
void put_i64(std::string& out, std::int64_t value) { out.append(reinterpret_cast<const char*>(&value), 8); }

// A FOR stream of `count` zeros in blocks of the longest length a reader accepts: 9 bytes a block.
std::string constant_stream(std::uint32_t count) {
    std::string out;
    put_u32(out, count);
    put_u32(out, FOR_MAX_BLOCK_LEN);
    for (std::uint64_t block = 0; block * FOR_MAX_BLOCK_LEN < count; ++block) {
        put_i64(out, 0);
        out.push_back('\0');  // width 0
    }
    return out;
}

// The stored extents of a file's columns and its string table.
struct Stored {
    SegmentHeader header;
    std::vector<std::string> extents;
    std::string table;
};

Stored stored(const fs::path& path) {
    const testing::FileParts parts = testing::split(read_text(path));
    Stored out{parts.header, {}, parts.body.substr(parts.header.strings_offset, parts.header.strings_bytes)};
    for (const ColumnDesc& desc : parts.header.columns) out.extents.push_back(parts.body.substr(desc.offset, desc.bytes));
    return out;
}

// Every column rewritten as a FOR stream of FORGED_ROWS zeros, and the header claiming that many
// rows; the string table is kept.
void forge_header_rows(const fs::path& path) {
    Stored file = stored(path);
    for (std::size_t column = 0; column < file.extents.size(); ++column) {
        file.header.columns[column].codec = CODEC_FOR;
        file.extents[column] = constant_stream(FORGED_ROWS);
    }
    file.header.rows = FORGED_ROWS;
    write_text(path, testing::craft(file.header, file.extents, file.table));
}

// The string table replaced by a packed heap of FORGED_STRINGS empty strings (offsets all zero,
// an empty payload); the header's strings_count is kept.
void forge_heap_count(const fs::path& path) {
    Stored file = stored(path);
    const std::string offsets = constant_stream(FORGED_STRINGS + 1);
    const std::string deflated("\x03\x00", 2);  // a final fixed-Huffman block holding nothing
    std::string heap;
    put_u32(heap, PACKED_HEAP_MARKER);
    put_u32(heap, FORGED_STRINGS);
    put_u32(heap, static_cast<std::uint32_t>(offsets.size()));
    put_u32(heap, static_cast<std::uint32_t>(deflated.size()));
    heap += offsets + deflated;
    write_text(path, testing::craft(file.header, file.extents, heap));
}

// ---- the store -------------------------------------------------------------------------------------

EdgeRow edge_row(std::uint32_t src, std::uint32_t dst, std::uint64_t vid, std::int64_t vt_s) {
    EdgeRow row;
    row.src_id = src;
    row.dst_id = dst;
    row.rel_type = "knows";
    row.props = fmt::format("{{\"w\":{}}}", vid);
    row.source = "feed";
    row.vid = Id96{vid, 0};
    row.vt_s = vt_s;
    row.vt_e = vt_s + 10;
    row.tt_s = 100;
    return row;
}

const std::string WANTED_VID = Id96{1, 0}.to_hex();

// A store with one committed segment of two edges; returns its file.
std::string build_store(const fs::path& root) {
    const auto store = open_ok(root);
    const std::uint32_t a = store->add_entity("a", "Person").value();
    const std::uint32_t b = store->add_entity("b", "Person").value();
    if (!store->begin(100) || !store->stage_edge(edge_row(a, b, 1, 0)) || !store->stage_edge(edge_row(b, a, 2, 5)) ||
        !store->commit(store->manifest().event_log))
        throw std::runtime_error("commit failed");
    return store->manifest().edge_lanes.event.at(0).file;
}

// A checkpoint of the next generation whose entry for the edge segment claims FORGED_ENTRY_ROWS,
// sealed and published as the engine publishes, so that every digest holds.
void forge_entry_rows(const fs::path& root) {
    const Manifest head = open_ok(root)->manifest();
    Manifest next = head.successor(200);
    next.edge_lanes.event.at(0).rows = FORGED_ENTRY_ROWS;
    next.seal();
    const auto published = publish(root, std::nullopt, next.generation, next, true, DEFAULT_CHECKPOINT_EVERY);
    if (!published || published->unsynced) throw std::runtime_error("publish failed");
}

// ---- what each case does, as text --------------------------------------------------------------

template <class T>
std::string outcome(const Result<T>& result) {
    return result ? std::string("ok") : result.error().display();
}

// The segment counters and every finding as "kind: detail" (the path is the entry's file).
std::string findings_text(std::uint32_t segments_checked, std::uint64_t rows, const std::vector<Finding>& findings) {
    std::string out = fmt::format("checked {} rows {}", segments_checked, rows);
    for (const Finding& finding : findings) out += fmt::format("; {}: {}", finding.kind, finding.detail);
    return out;
}

enum class Forgery { HeaderRows, HeapCount, EntryRows };
enum class Call { AllVersions, PropsForVids, FastVerify, FullVerify, RowWalk, Stats, Compact };

std::string run_call(const fs::path& root, Call call) {
    const auto store = open_ok(root);
    switch (call) {
        case Call::AllVersions: return outcome(all_edge_versions(*store));
        case Call::PropsForVids: return outcome(props_for_vids(*store, RowKind::Edge, std::span(&WANTED_VID, 1)));
        case Call::FastVerify: {
            const auto fast = verify_files(*store);
            if (!fast) return fast.error().display();
            return findings_text(fast->report.segments_checked, fast->report.rows, fast->report.findings);
        }
        case Call::FullVerify: {
            const auto full = verify_full(*store);
            return full ? findings_text(full->segments_checked, full->rows, full->findings) : full.error().display();
        }
        case Call::RowWalk: {
            // On its own, without the fast mode's list of segments to pass over.
            const auto closes = store->committed_close_index().value();
            const auto walk = check_rows(root, store->manifest(), store->dict(), *closes);
            return walk ? findings_text(0, walk->rows_walked, walk->findings) : walk.error().display();
        }
        case Call::Stats: return outcome(store->stats_accum());
        case Call::Compact: return outcome(compact(*store));
    }
    return "";
}

// The expected text, given the forged segment's file (relative to the root) and its path.
using Expect = std::function<std::string(const std::string& file, const fs::path& path)>;

Expect refused(std::string message) {
    return [message](const std::string&, const fs::path& path) {
        return EngineError::corrupt(message).at_file(path).display();
    };
}

struct Case {
    const char* name;
    Forgery forgery;
    Call call;
    Expect expected;
};

TEST(ForgedCounts, RefusedBeforeAnythingIsSizedFromThem) {
    const std::string header_rows = fmt::format("row count disagrees: manifest 2 vs segment {}", FORGED_ROWS);
    const std::string heap_count = fmt::format("packed string heap: has {} strings, header expects 4", FORGED_STRINGS);
    const std::string entry_rows = fmt::format("row count disagrees: manifest {} vs segment 2", FORGED_ENTRY_ROWS);
    // Counted, with the rows its header claims, reported, and not walked by the full mode.
    const Expect mismatch = [&](const std::string& file, const fs::path&) {
        return fmt::format("checked 1 rows {}; row-count-mismatch: {}: manifest claims 2 rows, segment holds {}",
                           FORGED_ROWS, file, FORGED_ROWS);
    };
    const std::vector<Case> cases = {
        {"header rows, read", Forgery::HeaderRows, Call::AllVersions, refused(header_rows)},
        {"header rows, fast verify", Forgery::HeaderRows, Call::FastVerify, mismatch},
        {"header rows, full verify", Forgery::HeaderRows, Call::FullVerify, mismatch},
        {"header rows, row walk", Forgery::HeaderRows, Call::RowWalk,
         [&](const std::string& file, const fs::path& path) {
             return fmt::format("checked 0 rows 0; rows-unreadable: {}: {}", file, refused(header_rows)(file, path));
         }},
        {"header rows, statistics", Forgery::HeaderRows, Call::Stats, refused(header_rows)},
        {"header rows, compaction", Forgery::HeaderRows, Call::Compact, refused(header_rows)},
        {"heap count, read", Forgery::HeapCount, Call::AllVersions, refused(heap_count)},
        {"heap count, fast verify", Forgery::HeapCount, Call::FastVerify,
         [&](const std::string& file, const fs::path& path) {
             return fmt::format("checked 0 rows 0; segment-unreadable: {}: {}", file, refused(heap_count)(file, path));
         }},
        {"entry rows, all_versions", Forgery::EntryRows, Call::AllVersions, refused(entry_rows)},
        {"entry rows, props_for_vids", Forgery::EntryRows, Call::PropsForVids, refused(entry_rows)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir("vorp-forged");
        const std::string file = build_store(dir.path);
        const fs::path path = dir.path / file;
        // The texts the writer interned: the empty string, the two rows' props and their source.
        ASSERT_EQ(stored(path).header.strings_count, 4u);
        switch (c.forgery) {
            case Forgery::HeaderRows: forge_header_rows(path); break;
            case Forgery::HeapCount: forge_heap_count(path); break;
            case Forgery::EntryRows: forge_entry_rows(dir.path); break;
        }
        EXPECT_EQ(run_bounded([&] { return run_call(dir.path, c.call); }), c.expected(file, path));
    }
}

}  // namespace
}  // namespace vorp

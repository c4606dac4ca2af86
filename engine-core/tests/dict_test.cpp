#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "alloc_fault.h"
#include "test_support.h"
#include "vorp/dict.h"
#include "vorp/error.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;
using vorp::testing::read_text;
using vorp::testing::write_text;

// One dict.log record, built by hand so the tests do not depend on the writer.
std::string record(std::string_view uid, std::string_view label) {
    std::string out;
    const auto put_len = [&out](std::size_t len) {
        const auto value = static_cast<std::uint32_t>(len);
        char bytes[4];
        std::memcpy(bytes, &value, 4);
        out.append(bytes, 4);
    };
    put_len(uid.size());
    out.append(uid);
    put_len(label.size());
    out.append(label);
    return out;
}

struct TempDir : vorp::testing::TempDir {
    TempDir() : vorp::testing::TempDir("dict_test") {}
};

// ---- hashing ------------------------------------------------------------------------------------

TEST(DictHash, SipHashReferenceVectors) {
    // Key 00 01 .. 0f; messages 00 01 .. (n-1), as in the SipHash reference test vectors.
    const std::uint64_t k0 = 0x0706050403020100ULL;
    const std::uint64_t k1 = 0x0f0e0d0c0b0a0908ULL;
    const auto message = [](std::size_t len) {
        std::string out;
        for (std::size_t i = 0; i < len; ++i) out.push_back(static_cast<char>(i));
        return out;
    };
    const std::vector<std::uint64_t> sip24 = {0x726fdb47dd0e0e31ULL, 0x74f839c593dc67fdULL, 0x0d6c8009d9a94f5aULL,
                                              0x85676696d7fb7e2dULL, 0xcf2794e0277187b7ULL};
    for (std::size_t len = 0; len < sip24.size(); ++len) {
        EXPECT_EQ((sip_hash<2, 4>(k0, k1, message(len))), sip24[len]) << "length " << len;
    }
    EXPECT_EQ((sip_hash<2, 4>(k0, k1, message(15))), 0xa129ca6149be45e5ULL);
    EXPECT_EQ((sip_hash<1, 3>(k0, k1, message(0))), 0xabac0158050fc4dcULL);
    EXPECT_EQ((sip_hash<1, 3>(k0, k1, message(1))), 0xc9f49bf37d57ca93ULL);
}

TEST(DictHash, HashUidKnownValues) {
    // SipHash-1-3 with zero keys over the uid and 0xFF (cross-checked with another implementation).
    struct Case {
        std::string uid;
        std::uint64_t hash;
    };
    const std::vector<Case> cases = {
        {"", 0x30406ea523c53defULL},
        {"a", 0x719b50b9a4f0e9f3ULL},
        {"alice", 0x02c7c12466e25a60ULL},
        {"abcdef", 0xdf6216446ef05c5bULL},
        {"abcdefg", 0x2295ef44bd078ae9ULL},  // the trailer completes the first block
        {"abcdefgh", 0x5cd7657fa7f96c16ULL},
        {"abcdefghijklmno", 0x3f016393f7fd4069ULL},
        {"abcdefghijklmnop", 0x3285423a7a07b06eULL},
        {"node:0000000042", 0x0e22f36155e0b714ULL},
        {"\xc3\xa9", 0xd6e909f7d92e03b3ULL},
        {"Z\xc3\xbcrich \xe2\x9c\x93", 0xcc1d7d0ea9e75647ULL},
        {std::string(255, 'x'), 0x6da2448c2cfb53eaULL},  // length byte wraps to 0
        {std::string(256, 'x'), 0x9ea4e8f55e3d5775ULL},
        {std::string(300, 'y'), 0x99d7bfb6ce97d554ULL},
    };
    for (const Case& c : cases) EXPECT_EQ(hash_uid(c.uid), c.hash) << c.uid.size() << " bytes: " << c.uid.substr(0, 20);
}

TEST(DictHash, HashUidEqualsSipHashOfUidAndTrailer) {
    std::string uid;
    for (int len = 0; len <= 40; ++len) {
        EXPECT_EQ(hash_uid(uid), (sip_hash<1, 3>(0, 0, uid + "\xff"))) << "length " << len;
        uid.push_back(static_cast<char>('a' + len % 26));
    }
}

// ---- load ---------------------------------------------------------------------------------------

TEST(DictLoad, RefusesDamagedImagesAtTheRecordOffset) {
    struct Case {
        const char* name;
        std::string image;
        std::string message;
        std::uint64_t offset;
        std::size_t entries_kept;
    };
    const std::string first = record("a", "b");  // 10 bytes
    const std::vector<Case> cases = {
        {"three bytes", std::string("\x01\x00\x00", 3), "truncated dictionary record header", 0, 0},
        {"stray tail after a record", first + std::string("\x00\x00", 2), "truncated dictionary record header", 10, 1},
        {"uid runs past the end", std::string("\x05\x00\x00\x00" "ab", 6), "truncated dictionary record body", 0, 0},
        {"uid length near 4 GiB", std::string("\xff\xff\xff\xff" "ab", 6), "truncated dictionary record body", 0, 0},
        {"label runs past the end", first + std::string("\x01\x00\x00\x00x\x09\x00\x00\x00" "ab", 11),
         "truncated dictionary record body", 10, 1},
        {"label length near 4 GiB", std::string("\x01\x00\x00\x00" "a\xff\xff\xff\xff", 9),
         "truncated dictionary record body", 0, 0},
        {"label length field cut", std::string("\x02\x00\x00\x00" "ab\x01\x00", 8), "truncated dictionary record header",
         6, 0},
        {"label length field cut in a later record", first + std::string("\x01\x00\x00\x00x\x01", 6),
         "truncated dictionary record header", 15, 1},
        {"uid is the byte 0xFF", record("\xff", ""),
         "dictionary record is not UTF-8: invalid utf-8 sequence of 1 bytes from index 0", 0, 0},
        {"overlong encoding inside a uid", record("abc\xc0\x80", "l"),
         "dictionary record is not UTF-8: invalid utf-8 sequence of 1 bytes from index 3", 0, 0},
        {"bad third byte in a label", first + record("ok", "xy\xe2\x82z"),
         "dictionary record is not UTF-8: invalid utf-8 sequence of 2 bytes from index 2", 10, 1},
        {"label ends inside a sequence", first + first + record("ok", "xy\xe2\x82"),
         "dictionary record is not UTF-8: incomplete utf-8 byte sequence from index 2", 20, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Dictionary dict("unused/dict.log");
        const Status status = dict.load(c.image);
        ASSERT_FALSE(status.has_value());
        const EngineError& error = status.error();
        EXPECT_EQ(error.category, Category::Corrupt);
        EXPECT_EQ(error.message, c.message);
        EXPECT_EQ(error.location.offset, c.offset);
        EXPECT_FALSE(error.location.file.has_value());
        EXPECT_EQ(error.remedy, std::string(RESTORE_REMEDY));
        EXPECT_EQ(dict.size(), c.entries_kept);
        for (std::size_t id = 0; id < c.entries_kept; ++id) EXPECT_EQ(dict.uid(static_cast<std::uint32_t>(id)), "a");
    }
}

TEST(DictLoad, DecodeChecksTheFieldAgainstTheImage) {
    const std::string image = "xxabc";
    EXPECT_EQ(decode(image, 2, 3, 0).value(), "abc");
    EXPECT_EQ(decode(image, 5, 0, 1).value(), "");
    const auto past = decode(image, 3, 3, 1);
    ASSERT_FALSE(past.has_value());
    EXPECT_EQ(past.error().message, "truncated dictionary record body");
    EXPECT_EQ(past.error().location.offset, 1u);
    EXPECT_FALSE(decode(image, 6, 0, 0).has_value());
    EXPECT_FALSE(decode(image, 1, 0xFFFFFFFFu, 0).has_value());
}

TEST(DictLoad, LoadsValidLogs) {
    Dictionary empty("unused/dict.log");
    ASSERT_TRUE(empty.load("").has_value());
    EXPECT_EQ(empty.size(), 0u);

    // The same uid twice loads as two entries; the lower id wins. The empty uid and label are valid.
    Dictionary dict("unused/dict.log");
    const std::string image = record("x", "1") + record("", "") + record("\xc3\xa9t\xc3\xa9", "label") + record("x", "2");
    ASSERT_TRUE(dict.load(image).has_value());
    ASSERT_EQ(dict.size(), 4u);
    EXPECT_EQ(dict.dense_id("x"), 0u);
    EXPECT_EQ(dict.dense_id(""), 1u);
    EXPECT_EQ(dict.dense_id("\xc3\xa9t\xc3\xa9"), 2u);
    EXPECT_EQ(dict.uid(3), "x");
    EXPECT_EQ(dict.arena(), "x1\xc3\xa9t\xc3\xa9labelx2");
    EXPECT_EQ(dict.spans()[2], (Dictionary::Span{2, 5, 5}));
    EXPECT_EQ(dict.spans()[2].label_off(), 7u);
    // Loading does not commit: the store's open does that once it has checked the counts.
    EXPECT_EQ(dict.committed(), 0u);
    EXPECT_EQ(dict.committed_bytes(), 0u);
}

TEST(DictLoad, LargeImagesIndexEveryEntryEvenWhenCut) {
    // Enough records for the grouped bulk indexing; the last 10000 repeat earlier uids.
    std::string image;
    for (int i = 0; i < 40000; ++i) image += record(fmt::format("k{}", i % 30000), i % 3 ? "L" : "");
    for (const bool cut : {false, true}) {
        SCOPED_TRACE(cut ? "cut" : "whole");
        Dictionary dict("unused/dict.log");
        const Status status = dict.load(cut ? image + "abc" : image);
        EXPECT_EQ(status.has_value(), !cut);
        if (cut) {
            EXPECT_EQ(status.error().location.offset, image.size());
        }
        ASSERT_EQ(dict.size(), 40000u);
        for (std::uint32_t i = 0; i < 30000; ++i) ASSERT_EQ(dict.dense_id(fmt::format("k{}", i)), i);
        EXPECT_EQ(dict.uid(39999), "k9999");
        EXPECT_EQ(dict.dense_id("k30000"), std::nullopt);
        EXPECT_EQ(dict.push("k30000", ""), 40000u);
        EXPECT_EQ(dict.dense_id("k30000"), 40000u);
    }
}

// ---- push, dense_id, uid ---------------------------------------------------------------------------

TEST(DictPush, AssignsDenseIdsInOrder) {
    Dictionary dict("unused/dict.log");
    EXPECT_EQ(dict.dense_id("a"), std::nullopt);
    EXPECT_EQ(dict.uid(0), std::nullopt);
    EXPECT_EQ(dict.push("alice", "Person"), 0u);
    EXPECT_EQ(dict.push("bob", ""), 1u);
    EXPECT_EQ(dict.push("", "Empty"), 2u);
    EXPECT_EQ(dict.arena(), "alicePersonbobEmpty");
    EXPECT_EQ(dict.spans()[1], (Dictionary::Span{11, 3, 0}));
    EXPECT_EQ(dict.dense_id("bob"), 1u);
    EXPECT_EQ(dict.dense_id(""), 2u);
    EXPECT_EQ(dict.dense_id("Person"), std::nullopt);  // labels are not uids
    EXPECT_EQ(dict.dense_id("alic"), std::nullopt);
    EXPECT_EQ(dict.uid(2), "");
    EXPECT_EQ(dict.uid(3), std::nullopt);  // id equal to the number of entries
    EXPECT_EQ(dict.uid(0xFFFFFFFFu), std::nullopt);
}

TEST(DictPush, LookupsSurviveTableGrowth) {
    Dictionary dict("unused/dict.log");
    constexpr std::uint32_t count = 50000;
    EXPECT_EQ(dict.push("dup", "first"), 0u);
    for (std::uint32_t i = 1; i < count; ++i) {
        ASSERT_EQ(dict.push(i == 101 ? std::string("dup") : fmt::format("u{}", i), "L"), i);
    }
    ASSERT_EQ(dict.size(), count);
    for (std::uint32_t i = 1; i < count; ++i) {
        if (i == 101) continue;
        ASSERT_EQ(dict.dense_id(fmt::format("u{}", i)), i);
        ASSERT_EQ(dict.uid(i), fmt::format("u{}", i));
    }
    // Growth rebuilt the table several times; the duplicate still resolves to its first entry.
    EXPECT_EQ(dict.dense_id("dup"), 0u);
    EXPECT_EQ(dict.dense_id(fmt::format("u{}", count)), std::nullopt);
    EXPECT_EQ(dict.dense_id("u0"), std::nullopt);
}

TEST(DictPush, FullDictionaryErrorText) {
    const EngineError error = dictionary_full_error();
    EXPECT_EQ(error.category, Category::Capacity);
    EXPECT_EQ(error.display(), "capacity: dictionary is full: 4294967295 entities is the u32 dense-id ceiling");
    EXPECT_FALSE(error.remedy.has_value());
}

// ---- commit_to_disk ------------------------------------------------------------------------------

TEST(DictCommit, WritesTheRecordLayout) {
    TempDir dir;
    Dictionary dict = Dictionary::for_root(dir.path);
    EXPECT_EQ(dict.path(), dir.path / "dict.log");
    dict.push("a", "b");
    const auto committed = dict.commit_to_disk();
    ASSERT_TRUE(committed.has_value()) << committed.error().display();
    EXPECT_EQ(*committed, (DictCommit{1, 10}));
    EXPECT_EQ(read_text(dir.path / "dict.log"), std::string("\x01\x00\x00\x00\x61\x01\x00\x00\x00\x62", 10));
    EXPECT_EQ(dict.committed(), 1u);
    EXPECT_EQ(dict.committed_bytes(), 10u);
    EXPECT_EQ((fs::status(dir.path / "dict.log").permissions() & fs::perms::owner_write), fs::perms::owner_write);
}

TEST(DictCommit, NothingStagedTouchesNoFile) {
    TempDir dir;
    Dictionary dict = Dictionary::for_root(dir.path);
    EXPECT_EQ(dict.commit_to_disk().value(), (DictCommit{0, 0}));
    EXPECT_FALSE(fs::exists(dir.path / "dict.log"));

    // After a commit, an unpublished tail stays untouched while nothing is staged.
    dict.push("a", "b");
    ASSERT_TRUE(dict.commit_to_disk().has_value());
    write_text(dir.path / "dict.log", record("a", "b") + "leftover");
    EXPECT_EQ(dict.commit_to_disk().value(), (DictCommit{1, 10}));
    EXPECT_EQ(read_text(dir.path / "dict.log"), record("a", "b") + "leftover");
}

TEST(DictCommit, WritesTheStagedTailFromTheCommittedLength) {
    TempDir dir;
    const fs::path log = dir.path / "dict.log";
    // A log whose first 3 records are committed and whose 2 more came from a commit that was never
    // published; the store's open loads only the committed prefix.
    const std::string committed_part = record("n1", "A") + record("n2", "B") + record("n3", "");
    write_text(log, committed_part + record("lost1", "X") + record("lost2", "Y"));
    Dictionary dict = Dictionary::for_root(dir.path);
    ASSERT_TRUE(dict.load(read_text(log).substr(0, committed_part.size())).has_value());
    dict.set_committed(3, committed_part.size());
    EXPECT_EQ(dict.dense_id("lost1"), std::nullopt);

    EXPECT_EQ(dict.push("n4", "D"), 3u);
    const auto committed = dict.commit_to_disk();
    ASSERT_TRUE(committed.has_value()) << committed.error().display();
    const std::string expected = committed_part + record("n4", "D");
    EXPECT_EQ(*committed, (DictCommit{4, expected.size()}));
    EXPECT_EQ(read_text(log), expected);  // ends exactly at the new length

    // A second commit appends only what was staged since.
    dict.push("n5", "E");
    dict.push("n6", "F");
    EXPECT_EQ(dict.commit_to_disk().value(), (DictCommit{6, expected.size() + 2 * 11}));
    EXPECT_EQ(read_text(log), expected + record("n5", "E") + record("n6", "F"));
}

TEST(DictCommit, RoundTripsTextsAroundTheBufferSize) {
    TempDir dir;
    Dictionary dict = Dictionary::for_root(dir.path);
    std::vector<std::pair<std::string, std::string>> entries;
    for (const std::size_t len : {0, 1, 8183, 8184, 8185, 8191, 8192, 8193, 20000}) {
        entries.emplace_back(std::string(len, 'u') + std::to_string(len), std::string(len % 7, 'l'));
    }
    for (int i = 0; i < 3000; ++i) entries.emplace_back(fmt::format("small-{}", i), i % 2 ? "Person" : "");
    entries.emplace_back("tail", std::string(9000, 'L'));
    for (const auto& [uid, label] : entries) dict.push(uid, label);
    const DictCommit committed = dict.commit_to_disk().value();

    std::string expected;
    for (const auto& [uid, label] : entries) expected += record(uid, label);
    const std::string on_disk = read_text(dir.path / "dict.log");
    EXPECT_EQ(committed, (DictCommit{static_cast<std::uint32_t>(entries.size()), expected.size()}));
    ASSERT_EQ(on_disk.size(), expected.size());
    EXPECT_TRUE(on_disk == expected);

    Dictionary reopened = Dictionary::for_root(dir.path);
    ASSERT_TRUE(reopened.load(on_disk).has_value());
    EXPECT_EQ(reopened.arena(), dict.arena());
    ASSERT_EQ(reopened.size(), entries.size());
    for (std::size_t id = 0; id < entries.size(); ++id) {
        EXPECT_EQ(reopened.spans()[id], dict.spans()[id]);
        EXPECT_EQ(reopened.dense_id(entries[id].first), id);
    }
}

TEST(DictCommit, FailureLeavesEntriesAndCountsUnchanged) {
    TempDir dir;
    const fs::path log = dir.path / "dict.log";
    Dictionary dict = Dictionary::for_root(dir.path);
    dict.push("a", "b");
    ASSERT_TRUE(dict.commit_to_disk().has_value());
    dict.push("c", "d");
    dict.push("e", "");

    // dict.log replaced by a directory: the open fails.
    fs::rename(log, dir.path / "saved");
    fs::create_directory(log);
    const auto failed = dict.commit_to_disk();
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().category, Category::Io);
    EXPECT_EQ(failed.error().message, "Is a directory (os error 21)");
    EXPECT_EQ(failed.error().location.file, log);
    EXPECT_FALSE(failed.error().remedy.has_value());
    EXPECT_EQ(dict.committed(), 1u);
    EXPECT_EQ(dict.committed_bytes(), 10u);
    EXPECT_EQ(dict.size(), 3u);
    EXPECT_EQ(dict.dense_id("e"), 2u);

    // Once the file is back, the next commit writes the same staged entries from the same offset.
    fs::remove(log);
    write_text(dir.path / "saved", record("a", "b") + "partial tail of a failed write");
    fs::rename(dir.path / "saved", log);
    EXPECT_EQ(dict.commit_to_disk().value(), (DictCommit{3, 10 + 10 + 9}));
    EXPECT_EQ(read_text(log), record("a", "b") + record("c", "d") + record("e", ""));

    // A discard after a failed commit removes exactly the staged entries.
    Dictionary missing_dir(dir.path / "no" / "such" / "dict.log");
    missing_dir.push("x", "y");
    const auto no_dir = missing_dir.commit_to_disk();
    ASSERT_FALSE(no_dir.has_value());
    EXPECT_EQ(no_dir.error().message, "No such file or directory (os error 2)");
    EXPECT_EQ(missing_dir.committed(), 0u);
    missing_dir.discard_staged();
    EXPECT_EQ(missing_dir.size(), 0u);
    EXPECT_EQ(missing_dir.dense_id("x"), std::nullopt);
}

TEST(DictCommit, WriteFailureIsReportedAtTheFile) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    Dictionary dict("/dev/full");
    dict.push("a", "b");
    const auto failed = dict.commit_to_disk();
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().category, Category::Io);
    EXPECT_EQ(failed.error().message, "No space left on device (os error 28)");
    EXPECT_EQ(failed.error().location.file, fs::path("/dev/full"));
    EXPECT_EQ(dict.committed(), 0u);
    EXPECT_EQ(dict.committed_bytes(), 0u);
    EXPECT_EQ(dict.size(), 1u);
}

// ---- discard_staged -------------------------------------------------------------------------------

TEST(DictDiscard, RemovesOnlyStagedEntries) {
    TempDir dir;
    Dictionary dict = Dictionary::for_root(dir.path);
    dict.push("a", "LA");
    dict.push("b", "LB");
    dict.push("c", "");
    ASSERT_EQ(dict.commit_to_disk().value(), (DictCommit{3, 11 + 11 + 9}));
    dict.push("d", "LD");
    dict.push("a", "again");  // a staged duplicate of a committed uid
    EXPECT_EQ(dict.dense_id("a"), 0u);

    dict.discard_staged();
    EXPECT_EQ(dict.size(), 3u);
    EXPECT_EQ(dict.arena(), "aLAbLBc");
    EXPECT_EQ(dict.dense_id("d"), std::nullopt);
    EXPECT_EQ(dict.dense_id("a"), 0u);
    EXPECT_EQ(dict.dense_id("c"), 2u);
    EXPECT_EQ(dict.uid(3), std::nullopt);
    EXPECT_EQ(dict.committed(), 3u);

    EXPECT_EQ(dict.push("e", "LE"), 3u);
    EXPECT_EQ(dict.dense_id("e"), 3u);
    dict.discard_staged();
    dict.discard_staged();  // nothing staged: no change
    EXPECT_EQ(dict.size(), 3u);
    EXPECT_EQ(dict.arena(), "aLAbLBc");
}

TEST(DictDiscard, AcrossTableGrowth) {
    Dictionary dict("unused/dict.log");
    for (int i = 0; i < 10; ++i) dict.push(fmt::format("c{}", i), "");
    dict.set_committed(10, 10 * 10);
    for (int i = 0; i < 20000; ++i) dict.push(fmt::format("s{}", i), "staged");
    dict.push("c3", "duplicate");
    dict.discard_staged();
    ASSERT_EQ(dict.size(), 10u);
    for (std::uint32_t i = 0; i < 10; ++i) EXPECT_EQ(dict.dense_id(fmt::format("c{}", i)), i);
    EXPECT_EQ(dict.dense_id("s0"), std::nullopt);
    EXPECT_EQ(dict.dense_id("s19999"), std::nullopt);
    // The ids are reused, and the index stays consistent for new entries.
    for (std::uint32_t i = 0; i < 5000; ++i) ASSERT_EQ(dict.push(fmt::format("t{}", i), ""), 10 + i);
    for (std::uint32_t i = 0; i < 5000; ++i) ASSERT_EQ(dict.dense_id(fmt::format("t{}", i)), 10 + i);
    EXPECT_EQ(dict.dense_id("s5"), std::nullopt);
}

TEST(DictDiscard, FewerStagedThanCommitted) {
    Dictionary dict("unused/dict.log");
    std::uint64_t log_bytes = 0;
    for (int i = 0; i < 30000; ++i) log_bytes += record(fmt::format("c{}", i), "").size();
    for (int i = 0; i < 30000; ++i) dict.push(fmt::format("c{}", i), "");
    dict.set_committed(30000, log_bytes);
    // Staged entries interleave in the table with committed ones; some repeat committed uids.
    for (int i = 0; i < 20000; ++i) dict.push(i % 2 ? fmt::format("c{}", i) : fmt::format("s{}", i), "");
    EXPECT_EQ(dict.dense_id("s2"), 30002u);
    dict.discard_staged();
    ASSERT_EQ(dict.size(), 30000u);
    for (std::uint32_t i = 0; i < 30000; ++i) ASSERT_EQ(dict.dense_id(fmt::format("c{}", i)), i);
    for (int i = 0; i < 20000; i += 2) ASSERT_EQ(dict.dense_id(fmt::format("s{}", i)), std::nullopt);
    EXPECT_EQ(dict.push("s2", ""), 30000u);
    EXPECT_EQ(dict.dense_id("s2"), 30000u);
}

// A rollback that cannot allocate a fresh index still removes every trace of the staged entries:
// no lookup may answer with an id that no longer exists.
TEST(DictDiscard, WithoutMemoryForTheIndexLeavesNoStaleId) {
    Dictionary dict("unused/dict.log");
    for (int i = 0; i < 3; ++i) dict.push(fmt::format("c{}", i), "");
    dict.set_committed(3, 3 * 10);
    // More staged than committed entries: the index is normally rebuilt from the committed ones.
    for (int i = 0; i < 50; ++i) dict.push(fmt::format("s{}", i), "staged");
    bool threw = false;
    {
        vorp::testing::FailAllocations no_memory;
        try {
            dict.discard_staged();
        } catch (const std::bad_alloc&) {
            threw = true;
        }
    }
    EXPECT_FALSE(threw);
    ASSERT_EQ(dict.size(), 3u);
    EXPECT_EQ(dict.arena(), "c0c1c2");
    for (int i = 0; i < 50; ++i) ASSERT_EQ(dict.dense_id(fmt::format("s{}", i)), std::nullopt) << i;
    for (std::uint32_t i = 0; i < 3; ++i) EXPECT_EQ(dict.dense_id(fmt::format("c{}", i)), i);
    EXPECT_EQ(dict.push("s7", ""), 3u);
    EXPECT_EQ(dict.dense_id("s7"), 3u);
    EXPECT_EQ(dict.dense_id("s8"), std::nullopt);
}

TEST(DictDiscard, WithoutAnyCommitEmptiesTheDictionary) {
    Dictionary dict("unused/dict.log");
    dict.push("x", "1");
    dict.push("y", "2");
    dict.discard_staged();
    EXPECT_TRUE(dict.empty());
    EXPECT_EQ(dict.arena(), "");
    EXPECT_EQ(dict.dense_id("x"), std::nullopt);
    EXPECT_EQ(dict.push("y", "3"), 0u);
    EXPECT_EQ(dict.dense_id("y"), 0u);
}

// Needs about 6 GiB of memory: run with --gtest_also_run_disabled_tests.
TEST(DictLarge, DISABLED_ArenaPastFourGiB) {
    Dictionary dict("unused/dict.log");
    const std::string label(std::size_t{1} << 30, 'L');
    for (int i = 0; i < 5; ++i) ASSERT_EQ(dict.push(fmt::format("big{}", i), label), static_cast<std::uint32_t>(i));
    ASSERT_GT(dict.arena().size(), std::uint64_t{1} << 32);
    EXPECT_EQ(dict.push("after", "x"), 5u);
    EXPECT_EQ(dict.spans()[5].uid_off, 5 * ((std::uint64_t{1} << 30) + 4));
    EXPECT_EQ(dict.uid(5), "after");
    EXPECT_EQ(dict.dense_id("after"), 5u);
    EXPECT_EQ(dict.dense_id("big4"), 4u);
    EXPECT_EQ(dict.uid(4), "big4");
}

}  // namespace
}  // namespace vorp

namespace vorp {
namespace {

TEST(DictBatch, DenseIdsAnswersAsDenseIdDoes) {
    // Hits, misses, repeated uids (the lowest id answers), the empty uid, prefixes of stored uids,
    // batches of every length around the internal batch size, and answers after entries are
    // discarded (a discarded id must never answer).
    std::mt19937_64 rng(5);
    Dictionary dict("unused/dict.log");
    std::vector<std::optional<std::uint32_t>> none(3, std::uint32_t{7});
    const std::vector<std::string_view> empty_queries{"a", "", "b"};
    dict.dense_ids(empty_queries, none);
    EXPECT_EQ(none, std::vector<std::optional<std::uint32_t>>(3));

    std::vector<std::string> stored;
    for (int entry = 0; entry < 3000; ++entry) {
        stored.push_back(entry % 500 == 7 ? std::string() : fmt::format("uid:{}", rng() % 2500));
        dict.push(stored.back(), "L");
    }
    dict.set_committed(2000, 0);
    for (int entry = 0; entry < 300; ++entry) dict.push(fmt::format("staged:{}", entry), "");
    dict.discard_staged();
    std::vector<std::string> texts;
    for (int query = 0; query < 4000; ++query) {
        switch (rng() % 4) {
            case 0: texts.push_back(stored[rng() % stored.size()]); break;
            case 1: texts.push_back(fmt::format("uid:{}", rng() % 5000)); break;
            case 2: texts.push_back(fmt::format("staged:{}", rng() % 300)); break;
            default: texts.push_back(stored[rng() % stored.size()].substr(0, 3)); break;
        }
    }
    const std::vector<std::string_view> queries(texts.begin(), texts.end());
    for (std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{15}, std::size_t{16}, std::size_t{17},
                               queries.size()}) {
        const std::span<const std::string_view> batch(queries.data(), length);
        std::vector<std::optional<std::uint32_t>> answers(length, std::uint32_t{123456});
        dict.dense_ids(batch, answers);
        for (std::size_t idx = 0; idx < length; ++idx)
            ASSERT_EQ(answers[idx], dict.dense_id(batch[idx])) << "query " << idx << " '" << batch[idx] << "'";
    }
}

}  // namespace
}  // namespace vorp

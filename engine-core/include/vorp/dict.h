// The uid dictionary: every entity of a store gets a dense 32-bit id, assigned in the order entities
// are first added (0, 1, 2, ...). With each id it keeps the entity's uid and a label. The uid text
// lives only here; segments and indexes name entities by dense id.
//
// dict.log, in the store root, makes the dictionary durable. Little-endian, no header, no trailer,
// no padding, no checksum; one record per entity, record i holding dense id i:
//
//   offset          size        field
//   0               4           uid length in bytes (u32)
//   4               uid length  uid, UTF-8
//   4 + uid length  4           label length in bytes (u32)
//   8 + uid length  label len   label, UTF-8
//
// Only the prefix that the manifest names belongs to a generation; bytes after it are the remains
// of a commit that was never published. The next commit writes over them from the committed
// length and cuts the file at its own end, so committed records are never rewritten.
//
// Entries added since the last commit are staged: they live only in memory until
// `commit_to_disk`, and `discard_staged` removes them.
//
// No locking inside: `load`, `push`, `commit_to_disk`, `discard_staged` and `set_committed` need
// exclusive access; `dense_id` and `uid` only read and may run concurrently with each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vorp/error.h"

namespace vorp {

// Dense ids are u32 and 0xFFFFFFFF means "none" in reference columns, so a dictionary holds at
// most 4,294,967,295 entries (ids 0 to 0xFFFFFFFE).
inline constexpr std::uint64_t DICT_MAX_ENTRIES = 4294967295u;
// A dict.log record stores each text's length in 32 bits.
inline constexpr std::uint64_t MAX_DICT_TEXT_BYTES = 0xFFFFFFFFu;

// The `capacity` error for adding an entity to a full dictionary:
// "dictionary is full: 4294967295 entities is the u32 dense-id ceiling" (no remedy).
EngineError dictionary_full_error();

// SipHash with `CompressionRounds` rounds per 8-byte block and `FinalizationRounds` rounds at the
// end, under the 128-bit key (k0, k1). Instantiated for 1-3 and 2-4.
template <int CompressionRounds, int FinalizationRounds>
std::uint64_t sip_hash(std::uint64_t k0, std::uint64_t k1, std::string_view message);

extern template std::uint64_t sip_hash<1, 3>(std::uint64_t, std::uint64_t, std::string_view);
extern template std::uint64_t sip_hash<2, 4>(std::uint64_t, std::uint64_t, std::string_view);

// The 64-bit hash of a uid: SipHash-1-3 with both keys zero over the uid's bytes followed by one
// 0xFF byte. Never stored on disk; the store engine keys node postings by it.
std::uint64_t hash_uid(std::string_view uid);

// One UTF-8 string field of a dict.log record: `length` bytes from `start` of `image`. A field
// that runs past the image is "truncated dictionary record body"; invalid UTF-8 is "dictionary
// record is not UTF-8: {validator text}". Both are `corrupt` at offset `record_start`.
Result<std::string_view> decode(std::string_view image, std::uint64_t start, std::uint64_t length,
                                std::uint64_t record_start);

// What a commit of the dictionary made durable; the manifest's dictionary reference records it.
struct DictCommit {
    std::uint32_t records = 0;
    std::uint64_t bytes = 0;

    bool operator==(const DictCommit&) const = default;
};

class Dictionary {
public:
    // Where an entry's text lies in the arena. The label follows the uid directly, so its offset
    // is derived. Offsets are 64-bit: the arena may grow past 4 GiB; each text's length fits the
    // u32 length field of its record.
    struct Span {
        std::uint64_t uid_off = 0;
        std::uint32_t uid_len = 0;
        std::uint32_t label_len = 0;

        std::uint64_t label_off() const { return uid_off + uid_len; }
        bool operator==(const Span&) const = default;
    };

    // An empty dictionary whose log is the file `log_path`.
    explicit Dictionary(std::filesystem::path log_path);
    // An empty dictionary of the store at `root` (its log is root/"dict.log").
    static Dictionary for_root(const std::filesystem::path& root);

    // Appends every record of `image` (exactly the committed prefix of dict.log) through `push`.
    // Errors are `corrupt` with the offset of the record (or of the cut length field) and no file;
    // entries pushed before the error stay. Does not change the committed counts.
    Status load(std::string_view image);

    // Appends an entry and returns its dense id. Checks neither duplicates nor the id ceiling: the
    // caller adds only uids that `dense_id` does not find and refuses to add to a full dictionary
    // (`dictionary_full_error`). Pushing to a full dictionary, or a text longer than 4,294,967,295
    // bytes, is an internal failure.
    std::uint32_t push(std::string_view uid, std::string_view label);

    // The lowest dense id whose uid equals `uid` byte for byte.
    std::optional<std::uint32_t> dense_id(std::string_view uid) const;

    // dense_id of every uid, answer i for uids[i]; `out` holds at least uids.size() answers
    // (programmer error otherwise). Faster than one call per uid for many lookups: the table and
    // text of a batch are fetched from memory in parallel. Same concurrency as dense_id.
    void dense_ids(std::span<const std::string_view> uids, std::span<std::optional<std::uint32_t>> out) const;

    // The uid of `id`: a view into the arena, valid until the dictionary next changes.
    std::optional<std::string_view> uid(std::uint32_t id) const;

    // Makes every staged entry durable: writes their records from the committed length (without
    // truncating or appending), cuts the file at the new end and fully syncs it. With nothing
    // staged, touches no file at all. On failure (an `io` error at the log file) the entries, the
    // committed counts and the meaning of dict.log are unchanged.
    Result<DictCommit> commit_to_disk();

    // Removes every staged entry; later pushes reuse their ids. Never fails, also without memory
    // to spare: afterwards no lookup answers with a discarded id.
    void discard_staged();

    // The store's open: after `load` of the committed prefix, the first `records` entries (whose
    // records fill the first `bytes` bytes of dict.log) are committed.
    void set_committed(std::uint32_t records, std::uint64_t bytes);

    std::size_t size() const { return spans_.size(); }
    bool empty() const { return spans_.empty(); }
    bool full() const { return spans_.size() >= DICT_MAX_ENTRIES; }
    std::uint32_t committed() const { return committed_; }
    std::uint64_t committed_bytes() const { return committed_bytes_; }
    const std::filesystem::path& path() const { return path_; }
    // Every uid and label back to back, in push order.
    std::string_view arena() const { return arena_; }
    std::span<const Span> spans() const { return spans_; }

private:
    // One open-addressing slot: 0 marks an empty slot, otherwise id + 1, with 32 bits of the
    // entry's table key to skip most non-matching entries without touching the arena.
    struct Slot {
        std::uint32_t id_plus_one = 0;
        std::uint32_t tag = 0;
    };

    std::uint64_t table_key(std::uint64_t uid_hash) const;
    Status append_records(std::string_view image);
    void append_entry(std::string_view uid, std::string_view label);
    void reserve_entries(std::size_t more_entries, std::size_t more_text);
    void index_new_entries(std::size_t first);
    // A fresh table of `slot_count` slots indexing entries [0, entries); on failure to allocate
    // it throws and leaves the old table as it was.
    void rebuild_table(std::size_t slot_count, std::size_t entries);
    void insert_range(std::size_t first, std::size_t last);
    void insert_slot(std::uint32_t id, std::uint64_t key);
    void erase_slot(std::uint32_t id);

    std::filesystem::path path_;
    std::string arena_;
    std::vector<Span> spans_;
    // Per entry: its table key, kept so that growing the table and discarding entries need not
    // rehash the text.
    std::vector<std::uint64_t> keys_;
    // Linear probing over a power-of-two table that is never more than three quarters full; at
    // least one slot is always empty once there is an entry.
    std::vector<Slot> slots_;
    // Random key of the table's mixing step (see table_key).
    std::uint64_t mix_k0_ = 0;
    std::uint64_t mix_k1_ = 0;
    std::uint64_t committed_bytes_ = 0;
    std::uint32_t committed_ = 0;
};

// The uid of a dense id, or `invariant` "dense id {} is not in the dictionary" (engine-bug remedy):
// the one wording every reader that turns a dense id read from a file into a uid reports.
Result<std::string_view> uid_in(const Dictionary& dictionary, std::uint32_t dense_id);

}  // namespace vorp

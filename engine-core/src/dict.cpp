#include "vorp/dict.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <random>

#include <fmt/format.h>

#include "vorp/fileio.h"
#include "vorp/durable.h"
#include "vorp/text.h"

namespace vorp {

static_assert(std::endian::native == std::endian::little, "dict.log and SipHash blocks are read as little-endian words");

EngineError dictionary_full_error() {
    return EngineError::capacity(
        fmt::format("dictionary is full: {} entities is the u32 dense-id ceiling", DICT_MAX_ENTRIES));
}

// ---- SipHash ------------------------------------------------------------------------------------

namespace {

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    SipState(std::uint64_t k0, std::uint64_t k1)
        : v0(k0 ^ 0x736f6d6570736575ULL),
          v1(k1 ^ 0x646f72616e646f6dULL),
          v2(k0 ^ 0x6c7967656e657261ULL),
          v3(k1 ^ 0x7465646279746573ULL) {}

    void round() {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }

    template <int Rounds>
    void compress(std::uint64_t block) {
        v3 ^= block;
        for (int round_idx = 0; round_idx < Rounds; ++round_idx) round();
        v0 ^= block;
    }

    template <int Rounds>
    std::uint64_t finish() {
        v2 ^= 0xff;
        for (int round_idx = 0; round_idx < Rounds; ++round_idx) round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

inline std::uint64_t load_u64(const char* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// SipHash of `message`, followed by one `trailer` byte when `with_trailer` is set, without copying
// the message: the trailer joins the last partial block (or fills a block of its own when the
// message leaves exactly 7 bytes), and the final block's top byte is the total length mod 256.
template <int C, int D>
inline std::uint64_t sip_hash_with_trailer(std::uint64_t k0, std::uint64_t k1, std::string_view message,
                                           bool with_trailer, std::uint8_t trailer) {
    SipState state(k0, k1);
    const char* bytes = message.data();
    const std::size_t full_blocks = message.size() / 8;
    for (std::size_t block_idx = 0; block_idx < full_blocks; ++block_idx) {
        state.compress<C>(load_u64(bytes + block_idx * 8));
    }
    const std::size_t rest = message.size() % 8;
    const char* tail = bytes + full_blocks * 8;
    std::uint64_t last = 0;
    for (std::size_t byte_idx = 0; byte_idx < rest; ++byte_idx) {
        last |= static_cast<std::uint64_t>(static_cast<unsigned char>(tail[byte_idx])) << (8 * byte_idx);
    }
    if (with_trailer) {
        if (rest == 7) {
            state.compress<C>(last | static_cast<std::uint64_t>(trailer) << 56);
            last = 0;
        } else {
            last |= static_cast<std::uint64_t>(trailer) << (8 * rest);
        }
    }
    const std::uint64_t total_len = message.size() + (with_trailer ? 1 : 0);
    last |= (total_len & 0xff) << 56;
    state.compress<C>(last);
    return state.finish<D>();
}

}  // namespace

template <int CompressionRounds, int FinalizationRounds>
std::uint64_t sip_hash(std::uint64_t k0, std::uint64_t k1, std::string_view message) {
    return sip_hash_with_trailer<CompressionRounds, FinalizationRounds>(k0, k1, message, false, 0);
}

template std::uint64_t sip_hash<1, 3>(std::uint64_t, std::uint64_t, std::string_view);
template std::uint64_t sip_hash<2, 4>(std::uint64_t, std::uint64_t, std::string_view);

std::uint64_t hash_uid(std::string_view uid) { return sip_hash_with_trailer<1, 3>(0, 0, uid, true, 0xff); }

// ---- Reading dict.log -----------------------------------------------------------------------------

namespace {

inline std::uint32_t load_u32(std::string_view image, std::uint64_t offset) {
    std::uint32_t value;
    std::memcpy(&value, image.data() + offset, sizeof value);
    return value;
}

// Most uids are ASCII; only texts with a high bit set need the full validator.
inline bool is_ascii(std::string_view text) {
    const char* bytes = text.data();
    std::size_t remaining = text.size();
    std::uint64_t high_bits = 0;
    for (; remaining >= 8; remaining -= 8, bytes += 8) high_bits |= load_u64(bytes);
    for (; remaining > 0; --remaining, ++bytes) high_bits |= static_cast<unsigned char>(*bytes);
    return (high_bits & 0x8080808080808080ULL) == 0;
}

}  // namespace

Result<std::string_view> decode(std::string_view image, std::uint64_t start, std::uint64_t length,
                                std::uint64_t record_start) {
    // Compared without forming start + length, which a caller's values could make wrap.
    if (start > image.size() || length > image.size() - start) {
        return fail(EngineError::corrupt("truncated dictionary record body").at_offset(record_start));
    }
    const std::string_view text = image.substr(start, length);
    if (!is_ascii(text)) {
        if (const auto error = validate_utf8(text)) {
            return fail(EngineError::corrupt(fmt::format("dictionary record is not UTF-8: {}", error->text()))
                            .at_offset(record_start));
        }
    }
    return text;
}

Status Dictionary::load(std::string_view image) {
    if (image.empty()) return ok();
    const std::uint64_t image_size = image.size();

    // Size the arrays once from a walk over the length fields: every record that fits counts, and
    // each needs at least 8 bytes, so the reservation is bounded by the image itself. The real pass
    // below reports any fault in order.
    {
        std::uint64_t pos = 0;
        std::size_t records = 0;
        std::size_t text_bytes = 0;
        while (pos + 8 <= image_size && records < DICT_MAX_ENTRIES) {
            const std::uint64_t uid_len = load_u32(image, pos);
            if (pos + 8 + uid_len > image_size) break;
            const std::uint64_t label_len = load_u32(image, pos + 4 + uid_len);
            const std::uint64_t next = pos + 8 + uid_len + label_len;
            if (next > image_size) break;
            ++records;
            text_bytes += uid_len + label_len;
            pos = next;
        }
        reserve_entries(records, text_bytes);
    }

    // Entries are appended first and indexed together at the end, whether the image is whole or
    // not: entries read before a damaged record stay in the dictionary, and are found.
    const std::size_t first_new = spans_.size();
    const std::size_t arena_before = arena_.size();
    Status status;
    try {
        status = append_records(image);
        index_new_entries(first_new);
    } catch (...) {
        // Out of memory: drop what was appended but not indexed.
        arena_.resize(arena_before);
        spans_.resize(first_new);
        keys_.resize(first_new);
        throw;
    }
    return status;
}

Status Dictionary::append_records(std::string_view image) {
    const std::uint64_t image_size = image.size();
    std::uint64_t pos = 0;
    for (;;) {
        if (pos + 4 > image_size) {
            return fail(EngineError::corrupt("truncated dictionary record header").at_offset(pos));
        }
        const std::uint64_t uid_len = load_u32(image, pos);
        const std::string_view uid = VORP_TRY(decode(image, pos + 4, uid_len, pos));
        const std::uint64_t label_field = pos + 4 + uid_len;
        if (label_field + 4 > image_size) {
            return fail(EngineError::corrupt("truncated dictionary record header").at_offset(label_field));
        }
        const std::uint64_t label_len = load_u32(image, label_field);
        const std::string_view label = VORP_TRY(decode(image, label_field + 4, label_len, pos));
        // A log with more records than ids exist cannot belong to any generation.
        if (full()) return fail(dictionary_full_error().at_offset(pos));
        append_entry(uid, label);
        pos = label_field + 4 + label_len;
        if (pos >= image_size) return ok();
    }
}

// ---- The entries and their index ------------------------------------------------------------------
//
// The index is a linear-probing table of slots (id + 1, tag) over a power-of-two length, never more
// than three quarters full. Entries are placed by a table key: SipHash-1-3 of the entry's hash_uid
// under a random per-dictionary key. hash_uid alone is public and fixed, so placing entries by it
// directly would let crafted uids pile into one probe run; only a full 64-bit hash_uid collision
// (never more than a handful of uids) shares a table key.
//
// Invariants:
// - every entry's slot is reachable from its home slot (key & mask) without crossing an empty slot;
// - along a probe sequence, entries with equal keys appear in ascending id. So the first entry whose
//   text matches is the lowest id with that uid, as lookups promise.
// A single insertion always adds the highest id and lands past every entry of its key. A bulk
// insertion (load, growth) inserts in an order that is ascending in id among equal keys. Removal
// shifts later entries of the cluster back into the hole (Knuth's algorithm R), which never moves an
// entry past one of equal key, because that one would be met and moved first.

namespace {

constexpr std::size_t MIN_SLOTS = 16;

// The smallest power-of-two slot count that keeps `entries` at most three quarters full.
std::size_t slots_for(std::size_t entries) {
    std::size_t slot_count = MIN_SLOTS;
    while (slot_count / 4 * 3 < entries) slot_count *= 2;
    return slot_count;
}

constexpr std::uint64_t MAX_TEXT_LEN = 0xFFFFFFFFu;

// Below this many entries a bulk insertion simply inserts one by one.
constexpr std::size_t BULK_MIN_ENTRIES = 1u << 14;
// A bulk insertion groups entries by the top bits of their home slot, so that each group fills a
// region of about 2^13 slots (64 KiB) that stays in cache, with at most 2^11 groups.
constexpr unsigned BULK_REGION_BITS = 13;
constexpr unsigned BULK_MAX_GROUP_BITS = 11;

}  // namespace

Dictionary::Dictionary(std::filesystem::path log_path) : path_(std::move(log_path)) {
    std::random_device device;
    const auto draw = [&device] {
        return (static_cast<std::uint64_t>(device()) << 32) | static_cast<std::uint64_t>(device());
    };
    mix_k0_ = draw();
    mix_k1_ = draw();
}

Dictionary Dictionary::for_root(const std::filesystem::path& root) { return Dictionary(root / "dict.log"); }

std::uint64_t Dictionary::table_key(std::uint64_t uid_hash) const {
    // SipHash-1-3 of the 8 bytes of uid_hash: one block, then the length block.
    SipState state(mix_k0_, mix_k1_);
    state.compress<1>(uid_hash);
    state.compress<1>(std::uint64_t{8} << 56);
    return state.finish<3>();
}

void Dictionary::insert_slot(std::uint32_t id, std::uint64_t key) {
    const std::uint64_t mask = slots_.size() - 1;
    std::uint64_t slot_idx = key & mask;
    while (slots_[slot_idx].id_plus_one != 0) slot_idx = (slot_idx + 1) & mask;
    slots_[slot_idx] = Slot{id + 1, static_cast<std::uint32_t>(key >> 32)};
}

void Dictionary::insert_range(std::size_t first, std::size_t last) {
    const std::size_t count = last - first;
    const auto table_bits = static_cast<unsigned>(std::countr_zero(slots_.size()));
    const unsigned group_bits =
        table_bits > BULK_REGION_BITS ? std::min(table_bits - BULK_REGION_BITS, BULK_MAX_GROUP_BITS) : 0;
    if (count < BULK_MIN_ENTRIES || group_bits == 0) {
        for (std::size_t id = first; id < last; ++id) insert_slot(static_cast<std::uint32_t>(id), keys_[id]);
        return;
    }
    // Inserting in random slot order costs a cache miss per entry. Instead, a stable counting sort
    // by the top bits of the home slot, then insertion group by group: ascending id within a group
    // keeps equal keys (which share a group) in ascending id along their probe sequence.
    const std::uint64_t mask = slots_.size() - 1;
    const unsigned shift = table_bits - group_bits;
    std::vector<std::size_t> group_start((std::size_t{1} << group_bits) + 1, 0);
    for (std::size_t id = first; id < last; ++id) ++group_start[((keys_[id] & mask) >> shift) + 1];
    for (std::size_t group = 1; group < group_start.size(); ++group) group_start[group] += group_start[group - 1];
    std::vector<std::uint64_t> sorted_keys(count);
    std::vector<std::uint32_t> sorted_ids(count);
    for (std::size_t id = first; id < last; ++id) {
        const std::size_t pos = group_start[(keys_[id] & mask) >> shift]++;
        sorted_keys[pos] = keys_[id];
        sorted_ids[pos] = static_cast<std::uint32_t>(id);
    }
    for (std::size_t pos = 0; pos < count; ++pos) insert_slot(sorted_ids[pos], sorted_keys[pos]);
}

void Dictionary::reserve_entries(std::size_t more_entries, std::size_t more_text) {
    spans_.reserve(spans_.size() + more_entries);
    keys_.reserve(keys_.size() + more_entries);
    arena_.reserve(arena_.size() + more_text);
}

void Dictionary::rebuild_table(std::size_t slot_count, std::size_t entries) {
    std::vector<Slot> fresh(slot_count);
    slots_.swap(fresh);
    try {
        insert_range(0, entries);
    } catch (...) {
        // The bulk insertion allocates before it inserts: on failure the old table is still whole.
        slots_.swap(fresh);
        throw;
    }
}

void Dictionary::index_new_entries(std::size_t first) {
    const std::size_t slot_count = slots_for(spans_.size());
    if (slot_count > slots_.size()) {
        rebuild_table(slot_count, spans_.size());
    } else {
        insert_range(first, spans_.size());
    }
}

void Dictionary::erase_slot(std::uint32_t id) {
    const std::uint64_t mask = slots_.size() - 1;
    std::uint64_t hole = keys_[id] & mask;
    while (slots_[hole].id_plus_one != id + 1) {
        // Every entry is reachable along its own probe sequence.
        if (slots_[hole].id_plus_one == 0) engine_panic("dictionary entry is missing from its index");
        hole = (hole + 1) & mask;
    }
    // Move back every later entry of the cluster whose home lies cyclically at or before the hole.
    for (std::uint64_t slot_idx = (hole + 1) & mask; slots_[slot_idx].id_plus_one != 0; slot_idx = (slot_idx + 1) & mask) {
        const std::uint64_t home = keys_[slots_[slot_idx].id_plus_one - 1] & mask;
        if (((slot_idx - home) & mask) >= ((slot_idx - hole) & mask)) {
            slots_[hole] = slots_[slot_idx];
            hole = slot_idx;
        }
    }
    slots_[hole] = Slot{};
}

void Dictionary::append_entry(std::string_view uid, std::string_view label) {
    // Callers check `full()` first; an id of 0xFFFFFFFF would read as "none" everywhere.
    if (full()) engine_panic(dictionary_full_error().message);
    // Each text's length is a u32 field of its record.
    if (uid.size() > MAX_TEXT_LEN || label.size() > MAX_TEXT_LEN) {
        engine_panic("a dictionary uid or label is longer than 4294967295 bytes");
    }
    const std::size_t id = spans_.size();
    const std::uint64_t key = table_key(hash_uid(uid));
    const std::size_t old_arena = arena_.size();
    try {
        arena_.append(uid);
        arena_.append(label);
        spans_.push_back(Span{old_arena, static_cast<std::uint32_t>(uid.size()), static_cast<std::uint32_t>(label.size())});
        keys_.push_back(key);
    } catch (...) {
        // Out of memory: leave the entries exactly as they were.
        arena_.resize(old_arena);
        spans_.resize(id);
        keys_.resize(id);
        throw;
    }
}

std::uint32_t Dictionary::push(std::string_view uid, std::string_view label) {
    const auto id = static_cast<std::uint32_t>(spans_.size());
    // Grow first, so that a failed allocation leaves the dictionary as it was.
    if (slots_.size() / 4 * 3 < spans_.size() + 1) rebuild_table(slots_for(spans_.size() + 1), spans_.size());
    append_entry(uid, label);
    insert_slot(id, keys_[id]);
    return id;
}

std::optional<std::uint32_t> Dictionary::dense_id(std::string_view uid) const {
    if (spans_.empty()) return std::nullopt;
    const std::uint64_t key = table_key(hash_uid(uid));
    const auto tag = static_cast<std::uint32_t>(key >> 32);
    const std::uint64_t mask = slots_.size() - 1;
    for (std::uint64_t slot_idx = key & mask;; slot_idx = (slot_idx + 1) & mask) {
        const Slot slot = slots_[slot_idx];
        if (slot.id_plus_one == 0) return std::nullopt;
        if (slot.tag != tag) continue;
        const std::uint32_t id = slot.id_plus_one - 1;
        // Only an entry that exists may answer.
        if (id >= spans_.size()) continue;
        const Span& span = spans_[id];
        if (span.uid_len == uid.size() &&
            (uid.empty() || std::memcmp(arena_.data() + span.uid_off, uid.data(), uid.size()) == 0)) {
            return id;
        }
    }
}

void Dictionary::dense_ids(std::span<const std::string_view> uids, std::span<std::optional<std::uint32_t>> out) const {
    if (out.size() < uids.size())
        engine_panic(fmt::format("dense_ids of {} uids was given room for {} answers", uids.size(), out.size()));
    if (spans_.empty()) {
        std::fill_n(out.begin(), uids.size(), std::nullopt);
        return;
    }
    // A batch goes through the lookup in stages, each issuing the memory accesses of the whole
    // batch before the next stage waits on them: slots, then the candidate's span, then its text.
    // A candidate is the first slot in probe order whose tag matches, as in dense_id; when its
    // text differs (a 32-bit tag collision, rare) dense_id finishes that lookup.
    constexpr std::size_t BATCH = 16;
    const std::uint64_t mask = slots_.size() - 1;
    std::uint64_t keys[BATCH];
    std::uint32_t candidates[BATCH];  // id + 1, 0 for none
    for (std::size_t first = 0; first < uids.size(); first += BATCH) {
        const std::size_t count = std::min(BATCH, uids.size() - first);
        const std::string_view* batch = uids.data() + first;
        for (std::size_t idx = 0; idx < count; ++idx) {
            keys[idx] = table_key(hash_uid(batch[idx]));
            __builtin_prefetch(&slots_[keys[idx] & mask]);
        }
        for (std::size_t idx = 0; idx < count; ++idx) {
            const auto tag = static_cast<std::uint32_t>(keys[idx] >> 32);
            candidates[idx] = 0;
            for (std::uint64_t slot_idx = keys[idx] & mask;; slot_idx = (slot_idx + 1) & mask) {
                const Slot slot = slots_[slot_idx];
                if (slot.id_plus_one == 0) break;
                if (slot.tag == tag && slot.id_plus_one - 1 < spans_.size()) {
                    candidates[idx] = slot.id_plus_one;
                    __builtin_prefetch(&spans_[slot.id_plus_one - 1]);
                    break;
                }
            }
        }
        for (std::size_t idx = 0; idx < count; ++idx)
            if (candidates[idx] != 0) __builtin_prefetch(arena_.data() + spans_[candidates[idx] - 1].uid_off);
        for (std::size_t idx = 0; idx < count; ++idx) {
            std::optional<std::uint32_t>& answer = out[first + idx];
            if (candidates[idx] == 0) {
                answer = std::nullopt;
                continue;
            }
            const std::uint32_t id = candidates[idx] - 1;
            const Span& span = spans_[id];
            const std::string_view uid = batch[idx];
            if (span.uid_len == uid.size() &&
                (uid.empty() || std::memcmp(arena_.data() + span.uid_off, uid.data(), uid.size()) == 0)) {
                answer = id;
            } else {
                answer = dense_id(uid);
            }
        }
    }
}

std::optional<std::string_view> Dictionary::uid(std::uint32_t id) const {
    if (id >= spans_.size()) return std::nullopt;
    const Span& span = spans_[id];
    return std::string_view(arena_.data() + span.uid_off, span.uid_len);
}

void Dictionary::set_committed(std::uint32_t records, std::uint64_t bytes) {
    if (records > spans_.size()) engine_panic("committed entries exceed the dictionary");
    committed_ = records;
    committed_bytes_ = bytes;
}

// ---- Committing -----------------------------------------------------------------------------------

namespace {

// Writes at increasing file offsets through one 8 KiB buffer; a piece at least as large as the
// buffer goes straight to the file after the buffer is emptied.
struct LogWriter {
    static constexpr std::size_t CAPACITY = 8192;

    LogWriter(int fd, std::uint64_t offset) : fd(fd), offset(offset) {}

    int fd;
    std::uint64_t offset;
    std::size_t used = 0;
    char buffer[CAPACITY];

    Status write(const char* data, std::size_t size) {
        if (used + size > CAPACITY) VORP_TRY(flush());
        if (size >= CAPACITY) {
            VORP_TRY(pwrite_all(fd, data, size, offset));
            offset += size;
            return ok();
        }
        std::memcpy(buffer + used, data, size);
        used += size;
        return ok();
    }

    Status write_u32(std::uint32_t value) {
        char bytes[4];
        std::memcpy(bytes, &value, sizeof bytes);
        return write(bytes, sizeof bytes);
    }

    Status flush() {
        if (used == 0) return ok();
        VORP_TRY(pwrite_all(fd, buffer, used, offset));
        offset += used;
        used = 0;
        return ok();
    }
};

}  // namespace

// Crash safety: records are written only past the committed length, so a crash at any point leaves
// the committed prefix intact, and what lies beyond it belongs to no generation until a manifest
// naming the new length is published. The length change before the sync cuts the leftovers of an
// earlier unpublished commit, so the file ends exactly at the records this commit made durable.
Result<DictCommit> Dictionary::commit_to_disk() {
    const std::size_t entries = spans_.size();
    if (committed_ >= entries) return DictCommit{committed_, committed_bytes_};

    Fd fd = VORP_TRY_FILE(path_, open_file(path_, O_WRONLY | O_CREAT));
    auto writer = std::make_unique<LogWriter>(fd.get(), committed_bytes_);
    for (std::size_t id = committed_; id < entries; ++id) {
        const Span& span = spans_[id];
        if (span.label_off() + span.label_len > arena_.size()) engine_panic("staged id is in range");
        VORP_TRY_FILE(path_, writer->write_u32(span.uid_len));
        VORP_TRY_FILE(path_, writer->write(arena_.data() + span.uid_off, span.uid_len));
        VORP_TRY_FILE(path_, writer->write_u32(span.label_len));
        VORP_TRY_FILE(path_, writer->write(arena_.data() + span.label_off(), span.label_len));
    }
    VORP_TRY_FILE(path_, writer->flush());
    const std::uint64_t new_length = writer->offset;
    VORP_TRY_FILE(path_, truncate_fd(fd.get(), new_length));
    if (const int errnum = durable_fault(DurableOp::sync_file, path_))
        return fail(EngineError::from_errno(errnum).at_file(path_));
    VORP_TRY_FILE(path_, full_sync(fd.get()));
    // The records are durable once the sync has succeeded; a failing close cannot undo that.
    (void)fd.close();

    committed_ = static_cast<std::uint32_t>(entries);
    committed_bytes_ = new_length;
    return DictCommit{committed_, committed_bytes_};
}

void Dictionary::discard_staged() {
    const std::size_t entries = spans_.size();
    if (committed_ >= entries) return;
    const std::size_t staged = entries - committed_;
    const std::uint64_t committed_arena = spans_[committed_].uid_off;
    // The index must stop naming the staged ids before they are cut. Removing most of the entries
    // one by one costs more than indexing the rest afresh; but a fresh table needs memory, and
    // without it the entries are erased one by one, which allocates nothing. Either way this
    // cannot fail, and no slot is left that names a discarded id.
    bool reindexed = false;
    if (staged > committed_) {
        try {
            rebuild_table(slots_.size(), committed_);
            reindexed = true;
        } catch (const std::bad_alloc&) {
            // The old table is still whole (rebuild_table restores it): erase below.
        }
    }
    if (!reindexed) {
        for (std::size_t id = committed_; id < entries; ++id) erase_slot(static_cast<std::uint32_t>(id));
    }
    arena_.resize(committed_arena);
    spans_.resize(committed_);
    keys_.resize(committed_);
}

Result<std::string_view> uid_in(const Dictionary& dictionary, std::uint32_t dense_id) {
    if (const auto uid = dictionary.uid(dense_id)) return *uid;
    return fail(EngineError::invariant(fmt::format("dense id {} is not in the dictionary", dense_id)));
}

}  // namespace vorp

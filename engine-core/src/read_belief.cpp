// Belief by identity (through the identity postings) and entity resolution (one sweep of the node
// versions believed at a time).
#include <algorithm>
#include <climits>
#include <map>
#include <unordered_set>
#include <utility>

#include <unicode/locid.h>
#include <unicode/stringpiece.h>
#include <unicode/unistr.h>

#include "read_internal.h"
#include "vorp/interrupt.h"
#include "vorp/read.h"
#include "vorp/segment_cache.h"

namespace vorp {

using namespace read_detail;

namespace {

// Located rows (postings, belief checks, records) between interruption points: one identity may
// have millions of versions, or share its posting key with millions of others.
constexpr std::uint64_t BELIEF_TICK_ROWS = 4096;

}  // namespace

// ---- locating versions by identity ----------------------------------------------------------------

Result<std::vector<LocatedRow>> locate(NativeStore& store, RowKind kind, std::uint64_t key) {
    VORP_TRY(store.index_segments(kind));
    const std::shared_ptr<const SegmentFiles> files = store.segment_files();
    const auto& map = files->of(kind);
    const std::vector<Position> positions =
        store.postings(kind).with_postings([&](Postings& postings) { return postings.by_identity.find(key); });
    std::vector<LocatedRow> located;
    located.reserve(positions.size());
    InterruptTicker ticker(BELIEF_TICK_ROWS);
    for (const Position& position : positions) {
        VORP_TRY(ticker.tick());
        // A posting of a segment that left the current generation is skipped.
        if (const auto file = map.find(position.segment_id); file != map.end())
            located.push_back({file->second, position.row});
    }
    return located;
}

// The candidates of current belief. The postings' open list leaves out the rows whose own segment
// folded a close below OPEN_END; the read's overlay then decides, by the one belief rule, for every
// posting of the key: a layer value other than OPEN_END is the tt_e (a value at or above OPEN_END
// keeps the version current, even one whose folded close the open list left out), while OPEN_END
// or no value defers to the folded close. Nothing is pruned for good, so a later close run that
// reopens a version (tt_e >= OPEN_END) is seen at once; only rows that the belief rule excludes at
// the current time are skipped, so the result equals a sweep filtered by the rule.
Result<std::vector<LocatedRow>> locate_open(NativeStore& store, RowKind kind, std::uint64_t key) {
    VORP_TRY(store.index_segments(kind));
    const std::shared_ptr<const CloseIndex> overlay = VORP_TRY(read_overlay(store));
    const std::shared_ptr<const SegmentFiles> files = store.segment_files();
    const auto& map = files->of(kind);
    std::vector<Position> all;
    std::vector<Position> open;
    store.postings(kind).with_postings([&](Postings& postings) {
        all = postings.by_identity.find(key);
        open = postings.open_by_identity.find(key);
    });
    const auto open_key = [](const Position& p) { return Id96{p.segment_id, p.row}; };
    InterruptTicker ticker(BELIEF_TICK_ROWS);
    std::unordered_set<Id96, Id96Hash> open_set;
    open_set.reserve(open.size());
    for (const Position& position : open) {
        VORP_TRY(ticker.tick());
        open_set.insert(open_key(position));
    }
    std::vector<LocatedRow> located;
    for (const Position& position : all) {
        VORP_TRY(ticker.tick());
        const auto file = map.find(position.segment_id);
        if (file == map.end()) continue;
        const std::optional<std::int64_t> layer =
            overlay ? overlay->find(position.segment_id, position.row) : std::optional<std::int64_t>{};
        const bool current = layer && *layer != OPEN_END ? *layer >= OPEN_END : open_set.contains(open_key(position));
        if (current) located.push_back({file->second, position.row});
    }
    return located;
}

namespace {

bool below_current(std::int64_t as_of_tt) { return as_of_tt < OPEN_END - 1; }

// Located rows grouped by file name, ascending (segment ids are zero-padded, so ascending names are
// ascending ids); rows of a file in located order.
Result<std::map<std::string, std::vector<std::uint32_t>>> group_by_file(std::vector<LocatedRow>&& located) {
    std::map<std::string, std::vector<std::uint32_t>> groups;
    InterruptTicker ticker(BELIEF_TICK_ROWS);
    for (LocatedRow& row : located) {
        VORP_TRY(ticker.tick());
        groups[std::move(row.file)].push_back(row.row);
    }
    return groups;
}

// The located rows of one file that are believed at as_of_tt, as records in located order. Belief
// is decided on the numeric columns first, so only the believed rows have their texts built (and
// their identity hashed); a located row past the segment's end is skipped.
template <class Columns, class Out, class Make>
Status believed_rows_of(NativeStore& store, const std::string& file, const std::vector<std::uint32_t>& rows,
                        const CloseIndex* overlay, std::int64_t as_of_tt, Make&& make, std::vector<Out>& kept) {
    const std::uint64_t segment_id = segment_id_of(file);
    std::shared_ptr<const Segment> segment = VORP_TRY(store.open_segment(file));
    const std::size_t count = VORP_TRY(view_of<typename Columns::view_type>(*segment).vt_s.get()).size();
    const CloseIndex* layers = overlay_for(overlay, segment_id);
    std::vector<std::uint32_t> believed;
    InterruptTicker ticker(BELIEF_TICK_ROWS);
    for (const std::uint32_t r : rows) {
        VORP_TRY(ticker.tick());
        if (r >= count) continue;
        const std::int64_t tt_s = VORP_TRY(segment->header.tt_s_at(r));
        if (tt_s > belief_tt(as_of_tt)) continue;
        if (is_believed(tt_s, stored_tt_e(layers, *segment, segment_id, r), as_of_tt)) believed.push_back(r);
    }
    if (believed.empty()) return ok();  // no other column of the segment is read
    const Columns cols = VORP_TRY(Columns::load(std::move(segment), segment_id));
    for (const std::uint32_t r : believed) {
        VORP_TRY(ticker.tick());
        Out version = VORP_TRY(make(cols, layers, r));
        kept.push_back(std::move(version));
    }
    return ok();
}

template <class Version>
Status sort_by_valid_time(std::vector<Version>& versions) {
    return interruptible_stable_sort(versions.begin(), versions.end(), [](const Version& a, const Version& b) {
        return a.vt_s != b.vt_s ? a.vt_s < b.vt_s : a.vid < b.vid;
    });
}

}  // namespace

Result<std::vector<EdgeVersionOut>> believed_edge_versions(NativeStore& store, std::string_view eid,
                                                           std::int64_t as_of_tt) {
    VORP_TRY(store.assert_full_belief(as_of_tt));
    const Id96 id = VORP_TRY(Id96::from_hex(eid));
    const std::uint64_t key = id.prefix;
    const std::shared_ptr<const CloseIndex> overlay = VORP_TRY(read_overlay(store));
    std::vector<LocatedRow> located =
        VORP_TRY(below_current(as_of_tt) ? locate(store, RowKind::Edge, key) : locate_open(store, RowKind::Edge, key));
    const auto keep = [&](const EdgeVersionOut& version) {
        return version.eid == eid && is_believed(version.tt_s, version.tt_e, as_of_tt);
    };
    std::vector<EdgeVersionOut> kept;
    const auto make = [&](const StoredEdgeRows& cols, const CloseIndex* layers, std::uint32_t r) {
        return stored_edge_out(store, cols, layers, r);
    };
    const auto groups = VORP_TRY(group_by_file(std::move(located)));
    for (const auto& [file, rows] : groups)
        VORP_TRY(believed_rows_of<StoredEdgeRows>(store, file, rows, overlay.get(), as_of_tt, make, kept));
    // The postings key on the first 64 bits of the edge id: confirm the whole id.
    std::erase_if(kept, [&](const EdgeVersionOut& version) { return version.eid != eid; });
    // The staged rows not keyed yet are keyed now (a hash each), a slice at a time under the
    // staging index's lock with a point between slices; rows keyed before a stop stay keyed.
    const auto key_of = [&](const EdgeRow& row) -> Result<std::uint64_t> {
        const std::string src = VORP_TRY(store.uid_of(row.src_id));
        const std::string dst = VORP_TRY(store.uid_of(row.dst_id));
        return edge_eid(src, dst, row.rel_type, row.disc).prefix;
    };
    while (!VORP_TRY(store.batch().staging.absorb_edges(key_of, BELIEF_TICK_ROWS * 16))) VORP_TRY(interruption_point());
    const std::vector<std::uint32_t> positions = VORP_TRY(store.batch().staging.edge_positions(key, key_of));
    InterruptTicker ticker(BELIEF_TICK_ROWS);
    for (const std::uint32_t position : positions) {
        VORP_TRY(ticker.tick());
        EdgeVersionOut version = VORP_TRY(staged_edge_out(store, store.batch().staging.edges[position]));
        if (keep(version)) kept.push_back(std::move(version));
    }
    VORP_TRY(sort_by_valid_time(kept));
    return kept;
}

Result<std::vector<NodeVersionOut>> believed_node_versions(NativeStore& store, std::string_view uid,
                                                           std::int64_t as_of_tt) {
    VORP_TRY(store.assert_full_belief(as_of_tt));
    const std::shared_ptr<const CloseIndex> overlay = VORP_TRY(read_overlay(store));
    const std::uint64_t key = hash_uid(uid);
    std::vector<LocatedRow> located =
        VORP_TRY(below_current(as_of_tt) ? locate(store, RowKind::Node, key) : locate_open(store, RowKind::Node, key));
    const auto keep = [&](const NodeVersionOut& version) {
        return version.uid == uid && is_believed(version.tt_s, version.tt_e, as_of_tt);
    };
    std::vector<NodeVersionOut> kept;
    const auto make = [&](const StoredNodeRows& cols, const CloseIndex* layers, std::uint32_t r) {
        return stored_node_out(store, cols, layers, r);
    };
    const auto groups = VORP_TRY(group_by_file(std::move(located)));
    for (const auto& [file, rows] : groups)
        VORP_TRY(believed_rows_of<StoredNodeRows>(store, file, rows, overlay.get(), as_of_tt, make, kept));
    // The postings key on a hash of the uid: confirm the uid itself.
    std::erase_if(kept, [&](const NodeVersionOut& version) { return version.uid != uid; });
    if (const std::optional<std::uint32_t> dense = store.dict().dense_id(uid)) {
        InterruptTicker ticker(BELIEF_TICK_ROWS);
        for (const std::uint32_t position : store.batch().staging.node_positions(*dense)) {
            VORP_TRY(ticker.tick());
            NodeVersionOut version = VORP_TRY(staged_node_out(store, store.batch().staging.nodes[position]));
            if (keep(version)) kept.push_back(std::move(version));
        }
    }
    VORP_TRY(sort_by_valid_time(kept));
    return kept;
}

Result<std::unordered_set<std::string>> nodes_with_believed_versions(NativeStore& store,
                                                                     std::span<const std::string> uids,
                                                                     std::int64_t as_of_tt) {
    VORP_TRY(store.assert_full_belief(as_of_tt));
    std::unordered_set<std::string> found;
    const std::uint64_t committed = store.manifest().stats.n_node_versions;
    // 20 * len(uids) < committed, without overflow.
    const bool per_uid = uids.size() < committed / BELIEVED_ANY_SWEEP_FACTOR +
                                           (committed % BELIEVED_ANY_SWEEP_FACTOR != 0 ? 1 : 0);
    if (per_uid) {
        for (const std::string& uid : uids) {
            VORP_TRY(interruption_point());
            const std::vector<NodeVersionOut> versions = VORP_TRY(believed_node_versions(store, uid, as_of_tt));
            if (!versions.empty()) found.insert(uid);
        }
        return found;
    }
    const std::unordered_set<std::string_view> wanted(uids.begin(), uids.end());
    const std::vector<NodeVersionOut> versions = VORP_TRY(all_node_versions(store));
    InterruptTicker ticker(BELIEF_TICK_ROWS);
    for (const NodeVersionOut& version : versions) {
        VORP_TRY(ticker.tick());
        if (is_believed(version.tt_s, version.tt_e, as_of_tt) && wanted.contains(version.uid)) found.insert(version.uid);
    }
    return found;
}

// ---- entity resolution ----------------------------------------------------------------------------

std::string unicode_lower(std::string_view text) {
    const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii || text.size() > static_cast<std::size_t>(INT32_MAX)) {
        // ASCII lowers to ASCII under the full mapping. (A text of 2 GiB or more, which ICU cannot
        // take in one piece, is lowered in its ASCII letters only.)
        std::string out(text);
        for (char& c : out)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return out;
    }
    icu::UnicodeString unicode =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
    unicode.toLower(icu::Locale::getRoot());
    std::string out;
    unicode.toUTF8String(out);
    return out;
}

namespace {

constexpr std::uint8_t NO_MATCH = 255;

struct VersionOrder {
    std::int64_t vt_s = 0;
    std::uint64_t vid64 = 0;
    std::uint32_t vid_lo32 = 0;
    friend auto operator<=>(const VersionOrder&, const VersionOrder&) = default;
};

struct Accumulated {
    std::string uid;
    std::string lower_uid;
    std::uint8_t score = NO_MATCH;
    VersionOrder latest;
    std::string label;
    std::string props;
};

class Resolver {
public:
    explicit Resolver(std::string_view query) : query_(query), q_(unicode_lower(query)) {}

    // The entry of a uid by its dense id (one uid per id), created on its first believed version:
    // only then is the uid copied and lowered.
    Result<Accumulated*> entry(const NativeStore& store, std::uint32_t dense_id, bool& created) {
        const auto found = index_.find(dense_id);
        created = found == index_.end();
        if (!created) return &entries_[found->second];
        std::string uid = VORP_TRY(uid_text(store, dense_id));
        index_.emplace(dense_id, entries_.size());
        Accumulated& fresh = entries_.emplace_back();
        fresh.lower_uid = unicode_lower(uid);
        fresh.uid = std::move(uid);
        return &fresh;
    }

    std::uint8_t score(const Accumulated& entry, const std::optional<std::string_view>& name) const {
        if (entry.uid == query_) return 0;
        if (entry.lower_uid.find(q_) != std::string::npos) return 1;
        if (name && unicode_lower(*name).find(q_) != std::string::npos) return 2;
        return NO_MATCH;
    }

    // Folds one believed version: the best score, and the label and props of the latest version.
    void fold(Accumulated& entry, bool created, std::uint8_t score, VersionOrder order, std::string_view label,
              std::string_view props) {
        entry.score = std::min(entry.score, score);
        if (created || !(order < entry.latest)) {
            entry.latest = order;
            entry.label.assign(label);
            entry.props.assign(props);
        }
    }

    Result<std::vector<ResolvedEntity>> finish() && {
        std::vector<ResolvedEntity> out;
        for (Accumulated& entry : entries_)
            if (entry.score != NO_MATCH)
                out.push_back({std::move(entry.uid), entry.score, std::move(entry.label), std::move(entry.props)});
        VORP_TRY(interruptible_stable_sort(out.begin(), out.end(), [](const ResolvedEntity& a, const ResolvedEntity& b) {
            return a.score != b.score ? a.score < b.score : a.uid < b.uid;
        }));
        return out;
    }

private:
    std::string query_;
    std::string q_;
    std::vector<Accumulated> entries_;
    std::unordered_map<std::uint32_t, std::size_t> index_;
};

}  // namespace

Result<std::vector<ResolvedEntity>> resolve_entities(NativeStore& store, std::string_view query,
                                                     std::int64_t as_of_tt) {
    VORP_TRY(store.assert_full_belief(as_of_tt));
    Resolver resolver(query);
    const std::shared_ptr<const CloseIndex> overlay = VORP_TRY(read_overlay(store));
    InterruptTicker ticker(BELIEF_TICK_ROWS);
    for (const SegmentFileRef& ref : store.node_files()) {
        const std::shared_ptr<const Segment> segment = VORP_TRY(store.open_segment(ref.file));
        const StringView strings = VORP_TRY(segment->strings());
        const SegmentHeader& header = segment->header;
        const NodeSegmentView& view = segment->nodes;
        const std::span<const std::int64_t> vt_s = VORP_TRY(view.vt_s.get());
        const std::size_t rows = vt_s.size();
        const auto uid_id = VORP_TRY(view.uid_id.get());
        const auto vid64 = VORP_TRY(view.vid64.get());
        const auto vid_lo32 = VORP_TRY(view.vid_lo32.get());
        const auto label_ref = VORP_TRY(view.label_ref.get());
        const auto props_ref = VORP_TRY(view.props_ref.get());
        // Segments written before names were indexed have no name_ref: their versions match by uid
        // only. A column that cannot be read counts as absent.
        const std::span<const std::uint32_t> name_ref = view.name_ref.values_or_empty();
        const CloseIndex* layers = overlay_for(overlay.get(), ref.segment_id);
        for (std::size_t r = 0; r < rows; ++r) {
            VORP_TRY(ticker.tick());
            const auto row = static_cast<std::uint32_t>(r);
            const std::int64_t tt_s = VORP_TRY(header.tt_s_at(row));
            if (tt_s > belief_tt(as_of_tt)) continue;  // no close index lookup for it
            if (!is_believed(tt_s, stored_tt_e(layers, *segment, ref.segment_id, row), as_of_tt)) continue;
            bool created = false;
            Accumulated& entry = *VORP_TRY(resolver.entry(store, uid_id[r], created));
            std::optional<std::string_view> name;
            if (!name_ref.empty() && name_ref[r] != NO_STRING) name = VORP_TRY(strings.get(name_ref[r]));
            const std::uint8_t score = resolver.score(entry, name);
            const std::string_view label = VORP_TRY(strings.get(label_ref[r]));
            const std::string_view props = VORP_TRY(strings.get(props_ref[r]));
            resolver.fold(entry, created, score, {vt_s[r], vid64[r], vid_lo32[r]}, label, props);
        }
    }
    for (const NodeRow& row : store.batch().staging.nodes) {
        VORP_TRY(ticker.tick());
        if (!is_believed(row.tt_s, staged_tt_e(store, row.vid), as_of_tt)) continue;
        bool created = false;
        Accumulated& entry = *VORP_TRY(resolver.entry(store, row.uid_id, created));
        const std::optional<std::string> name = name_of(row.props);
        const std::uint8_t score =
            resolver.score(entry, name ? std::optional<std::string_view>(*name) : std::optional<std::string_view>{});
        resolver.fold(entry, created, score, {row.vt_s, row.vid.prefix, row.vid.suffix}, row.label, row.props);
    }
    return std::move(resolver).finish();
}

}  // namespace vorp

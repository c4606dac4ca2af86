"""A plain model of a store: every node and edge version with its four times, and the answers that
every read of the engine must give, by the engine's one belief rule:

    believed at T  <=>  tt_s <= min(T, OPEN_END - 1) < tt_e

`StoreDriver` applies one seeded random sequence of ensure_entities / begin / stage_edges /
stage_nodes / stage_closes / stage_retires / commit / rollback to a real `NativeStore` and to the
model alike, so that any read (sweeps, belief, pages, scans, aggregates, verification, compaction)
can be compared with the model after every step. The calls into the store are all in
`StagingCalls`; swap that class to drive the store another way.

tt_e of a version follows the close index's layering: a close of a stored version pending in the
open batch, else the last committed close of it, else the close folded into its segment when it
was written (a close made in the same batch that staged it); a layer value of exactly OPEN_END
defers to the folded close.
"""

from __future__ import annotations

import dataclasses
import hashlib
import json
import random
from typing import Callable, Iterable, Optional

OPEN_END = 1 << 62
I64_MIN = -(1 << 63)
I64_MAX = (1 << 63) - 1

UIDS = ["alice", "Bob", "ΣΙΣΥΦΟΣ", "İstanbul", "carol", "", "dave x"]
RELS = ["knows", "owns", "likes"]


def belief_tt(as_of_tt: int) -> int:
    return min(as_of_tt, OPEN_END - 1)


def is_believed(tt_s: int, tt_e: int, as_of_tt: int) -> bool:
    at = belief_tt(as_of_tt)
    return tt_s <= at < tt_e


def edge_id(src: str, dst: str, rel_type: str, disc: str) -> str:
    """The edge id: the first 24 hex digits of SHA-256 of the compact JSON array of the four texts."""
    text = json.dumps([src, dst, rel_type, disc], separators=(",", ":"), ensure_ascii=False)
    return hashlib.sha256(text.encode("utf-8")).hexdigest()[:24]


def name_of(props: str) -> Optional[str]:
    """The string member "name" of the properties' top-level object, else None."""
    if '"name"' not in props:
        return None
    try:
        value = json.loads(props)
    except ValueError:
        return None
    name = value.get("name") if isinstance(value, dict) else None
    return name if isinstance(name, str) else None


@dataclasses.dataclass
class Version:
    kind: str  # "node" or "edge"
    vid: str  # 24 lowercase hex digits
    vt_s: int
    vt_e: int
    tt_s: int
    props: str
    source: str
    provenance_ref: Optional[str]
    uid: str = ""  # nodes
    label: str = ""
    src: str = ""  # edges
    dst: str = ""
    rel_type: str = ""
    disc: str = ""
    stored: bool = False
    folded: Optional[int] = None  # close written into the segment
    committed: Optional[int] = None  # last committed close run's value
    pending: Optional[int] = None  # close of the stored version in the open batch
    staged_close: Optional[int] = None  # close of the staged version in its own batch

    @property
    def tt_e(self) -> int:
        if not self.stored:
            return OPEN_END if self.staged_close is None else self.staged_close
        folded = OPEN_END if self.folded is None else self.folded
        for layer in (self.pending, self.committed):
            if layer is not None:
                return layer if layer != OPEN_END else folded
        return folded

    @property
    def eid(self) -> str:
        return edge_id(self.src, self.dst, self.rel_type, self.disc)

    def edge_row(self) -> dict:
        return {"eid": self.eid, "vid": self.vid, "src": self.src, "dst": self.dst, "rel_type": self.rel_type,
                "disc": self.disc, "vt_s": self.vt_s, "vt_e": self.vt_e, "tt_s": self.tt_s, "tt_e": self.tt_e,
                "props": self.props, "source": self.source, "provenance_ref": self.provenance_ref}

    def node_row(self) -> dict:
        return {"vid": self.vid, "uid": self.uid, "label": self.label, "vt_s": self.vt_s, "vt_e": self.vt_e,
                "tt_s": self.tt_s, "tt_e": self.tt_e, "props": self.props, "source": self.source,
                "provenance_ref": self.provenance_ref}

    def row(self) -> dict:
        return self.edge_row() if self.kind == "edge" else self.node_row()


class Model:
    """Versions of both kinds: stored ones in no defined order, staged ones in staging order."""

    def __init__(self) -> None:
        self.versions: list[Version] = []
        self.commit_tts: list[int] = []
        self.batch_tt: Optional[int] = None
        self.last_tt = 100

    # ---- the answers of the reads ----

    def of_kind(self, kind: str) -> list[Version]:
        return [v for v in self.versions if v.kind == kind]

    def all_versions(self, kind: str) -> list[dict]:
        """Every version's row dict (compare as sets, or by vid: stored order is the segments')."""
        return [v.row() for v in self.of_kind(kind)]

    def believed_at(self, kind: str, as_of_tt: int) -> list[Version]:
        return [v for v in self.of_kind(kind) if is_believed(v.tt_s, v.tt_e, as_of_tt)]

    def believed(self, kind: str, identity: str, as_of_tt: int) -> list[dict]:
        """Rows of `believed(kind, identity, as_of_tt)`, ordered by (vt_s, vid)."""
        key = (lambda v: v.eid) if kind == "edge" else (lambda v: v.uid)
        rows = [v for v in self.believed_at(kind, as_of_tt) if key(v) == identity]
        return [v.row() for v in sorted(rows, key=lambda v: (v.vt_s, v.vid))]

    def believed_any(self, uids: Iterable[str], as_of_tt: int) -> list[str]:
        wanted = set(uids)
        found = {v.uid for v in self.believed_at("node", as_of_tt) if v.uid in wanted}
        return sorted(found, key=lambda u: u.encode("utf-8"))

    def page_population(self, kind: str, as_of_tt: int, t_a: int, t_b: int, belief: str,
                        rel_types: Optional[list[str]]) -> list[Version]:
        """The versions `version_page` counts, ordered as it pages them: (tt_s, vid); as_of_tt is
        clamped like every belief read, so at OPEN_END or later a never-closed version is current."""
        as_of_tt = belief_tt(as_of_tt)
        out = []
        for v in self.of_kind(kind):
            if not (v.vt_s < t_b and v.vt_e > t_a) or v.tt_s > as_of_tt:
                continue
            if kind == "edge" and rel_types is not None and v.rel_type not in rel_types:
                continue
            if belief == "current" and not v.tt_e > as_of_tt:
                continue
            if belief == "superseded" and not v.tt_e <= as_of_tt:
                continue
            out.append(v)
        return sorted(out, key=lambda v: (v.tt_s, v.vid))

    def scan_nodes(self, as_of_tt: int, vt_min: Optional[int], vt_max: Optional[int]) -> list[Version]:
        rows = [v for v in self.believed_at("node", as_of_tt)
                if (vt_min is None or v.vt_e > vt_min) and (vt_max is None or v.vt_s < vt_max)]
        return sorted(rows, key=lambda v: (v.vt_s, v.vid))

    def resolve_entities(self, query: str, as_of_tt: int) -> list[tuple[str, int, str, str]]:
        q = query.lower()
        acc: dict[str, list] = {}
        for v in self.believed_at("node", as_of_tt):
            name = name_of(v.props)
            if v.uid == query:
                score = 0
            elif q in v.uid.lower():
                score = 1
            elif name is not None and q in name.lower():
                score = 2
            else:
                score = 255
            key = (v.vt_s, v.vid)
            entry = acc.setdefault(v.uid, [255, key, v.label, v.props])
            entry[0] = min(entry[0], score)
            if key >= entry[1]:
                entry[1:] = [key, v.label, v.props]
        out = [(uid, e[0], e[2], e[3]) for uid, e in acc.items() if e[0] != 255]
        return sorted(out, key=lambda t: (t[1], t[0].encode("utf-8")))

    def props_for_vids(self, kind: str, vids: Iterable[str]) -> dict[str, str]:
        by_vid = {v.vid: v.props for v in self.of_kind(kind) if v.stored}
        by_vid.update({v.vid: v.props for v in self.of_kind(kind) if not v.stored})
        out = {}
        for text in vids:
            if len(text) == 24 and all(c in "0123456789abcdefABCDEF" for c in text) and text.lower() in by_vid:
                out[text] = by_vid[text.lower()]
        return out

    def as_of_times(self) -> list[int]:
        times = [I64_MIN, 99, OPEN_END - 2, OPEN_END - 1, OPEN_END, I64_MAX]
        for tt in self.commit_tts:
            times += [tt - 1, tt]
        if self.batch_tt is not None:
            times.append(self.batch_tt)
        return times


class StagingCalls:
    """The one place where the driver calls the store's writing methods."""

    def __init__(self, store) -> None:
        self.store = store

    def ensure_entities(self, uids: list[str]) -> None:
        self.store.ensure_entities(uids, ["entity"] * len(uids))

    def begin(self, tt: int) -> None:
        self.store.begin(tt)

    def stage_edges(self, rows: list[Version]) -> None:
        self.store.stage_edges({
            "vid": [v.vid for v in rows], "src": [v.src for v in rows], "dst": [v.dst for v in rows],
            "rel_type": [v.rel_type for v in rows], "disc": [v.disc for v in rows],
            "vt_s": [v.vt_s for v in rows], "vt_e": [v.vt_e for v in rows], "tt_s": [v.tt_s for v in rows],
            "props": [v.props for v in rows], "source": [v.source for v in rows],
            "provenance_ref": [v.provenance_ref for v in rows]})

    def stage_nodes(self, rows: list[Version]) -> None:
        self.store.stage_nodes({
            "vid": [v.vid for v in rows], "uid": [v.uid for v in rows], "label": [v.label for v in rows],
            "vt_s": [v.vt_s for v in rows], "vt_e": [v.vt_e for v in rows], "tt_s": [v.tt_s for v in rows],
            "props": [v.props for v in rows], "source": [v.source for v in rows],
            "provenance_ref": [v.provenance_ref for v in rows]})

    def stage_closes(self, kind: str, vids: list[str], tt_e: int) -> None:
        self.store.stage_closes(kind, vids, tt_e)

    def stage_retires(self, kind: str, vids: list[str]) -> None:
        self.store.stage_retires(kind, vids)

    def commit(self) -> None:
        self.store.commit()

    def rollback(self) -> None:
        self.store.rollback()


class StoreDriver:
    """Applies one seeded random step at a time to the store and to the model."""

    def __init__(self, store, seed: int, calls: Callable[[object], StagingCalls] = StagingCalls) -> None:
        self.calls = calls(store)
        self.model = Model()
        self.rng = random.Random(seed)
        self.next_vid = 1

    def step(self) -> str:
        m, rng = self.model, self.rng
        if m.batch_tt is None:
            tt = m.last_tt + rng.randint(1, 3)
            self.calls.begin(tt)
            m.batch_tt = tt
            return f"begin {tt}"
        op = rng.randrange(100)
        if op < 30:
            return self._stage("edge")
        if op < 50:
            return self._stage("node")
        if op < 68:
            return self._close()
        if op < 74:
            return self._retire()
        if op < 92:
            return self._commit()
        return self._rollback()

    def _new_version(self, kind: str) -> Version:
        rng, m = self.rng, self.model
        vid = f"{rng.randrange(40) << 20:016x}{self.next_vid:08x}"
        self.next_vid += 1
        vt_s = rng.randrange(20)
        vt_e = OPEN_END if rng.random() < 0.15 else vt_s + rng.randrange(6)
        prov = None if rng.random() < 0.5 else ("" if rng.random() < 0.3 else f"p{self.next_vid}")
        v = Version(kind=kind, vid=vid, vt_s=vt_s, vt_e=vt_e, tt_s=m.batch_tt - (1 if rng.random() < 0.1 else 0),
                    props=json.dumps({"n": self.next_vid}), source="feed" if rng.random() < 0.5 else "",
                    provenance_ref=prov)
        if kind == "edge":
            v.src, v.dst = rng.choice(UIDS), rng.choice(UIDS)
            v.rel_type = rng.choice(RELS)
            v.disc = "" if rng.random() < 0.7 else "d1"
        else:
            v.uid = rng.choice(UIDS)
            v.label = "Person" if rng.random() < 0.5 else "Thing"
            if rng.random() < 0.6:
                v.props = json.dumps({"name": "Ünïcode Name" if rng.random() < 0.5 else "Plain name"},
                                     ensure_ascii=False)
        return v

    def _stage(self, kind: str) -> str:
        rows = [self._new_version(kind) for _ in range(self.rng.randint(1, 3))]
        uids = sorted({u for v in rows for u in ((v.src, v.dst) if kind == "edge" else (v.uid,))})
        self.calls.ensure_entities(uids)
        (self.calls.stage_edges if kind == "edge" else self.calls.stage_nodes)(rows)
        self.model.versions.extend(rows)
        return f"stage {len(rows)} {kind}s"

    def _close(self) -> str:
        m, rng = self.model, self.rng
        if not m.versions:
            return "close (nothing)"
        v = rng.choice(m.versions)
        tt_e = rng.choice([OPEN_END, OPEN_END + 5, m.batch_tt, m.batch_tt - 1, m.batch_tt + 1, m.batch_tt + 2])
        self.calls.stage_closes(v.kind, [v.vid], tt_e)
        if v.stored:
            v.pending = tt_e
        else:
            v.staged_close = tt_e
        return f"close {v.kind} {v.vid} at {tt_e}"

    def _retire(self) -> str:
        candidates = [v for v in self.model.versions if not v.stored and v.staged_close is None]
        if not candidates:
            return "retire (nothing)"
        v = self.rng.choice(candidates)
        self.calls.stage_retires(v.kind, [v.vid])
        self.model.versions.remove(v)
        return f"retire {v.kind} {v.vid}"

    def _commit(self) -> str:
        self.calls.commit()
        m = self.model
        for v in m.versions:
            if v.stored:
                if v.pending is not None:
                    v.committed, v.pending = v.pending, None
            else:
                v.stored, v.folded, v.staged_close = True, v.staged_close, None
        m.commit_tts.append(m.batch_tt)
        m.last_tt, m.batch_tt = m.batch_tt, None
        return "commit"

    def _rollback(self) -> str:
        self.calls.rollback()
        m = self.model
        m.versions = [v for v in m.versions if v.stored]
        for v in m.versions:
            v.pending = None
        m.batch_tt = None
        return "rollback"

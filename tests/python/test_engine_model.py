"""Random add/delete/flush/reopen/search sequences against the reference model, with the derived
files lost, damaged or left behind the documents, and documents from a clock that runs ahead."""

import os
import random
import shutil
import tempfile
from pathlib import Path

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from tarnwick.native import Search

from preload import add_with_clock_shifted
from search_model import Model

# Documents reach their segment at once, while postings and statistics wait for a flush: a
# dropped engine leaves the index behind the documents.
CONFIG = """documents_buffer_size = 0
index_buffer_size = 100000000
index_save_after_seconds = 100000
index_save_after_operations = 100000000
metadata_save_after_seconds = 100000
"""
DERIVED = ["index/tokens", "index/index", "index/meta", "meta"]

WORDS = ["cat", "cart", "card", "dog", "elk", "bird", "the"]

texts = st.lists(st.sampled_from(WORDS), max_size=6).map(" ".join)
terms = st.tuples(st.sampled_from(WORDS + ["cot", "dig"]), st.sampled_from(["", "~", "~0", "~1", "~2"]))
queries = st.one_of(
    st.lists(terms, min_size=1, max_size=3).map(lambda ts: " ".join(w + s for w, s in ts)),
    st.tuples(st.lists(st.sampled_from(WORDS), min_size=1, max_size=3), st.integers(0, 4)).map(
        lambda q: '"' + " ".join(q[0]) + f'"~{q[1]}'
    ),
)


class EngineMachine(RuleBasedStateMachine):
    @initialize()
    def open(self):
        self.dir = tempfile.mkdtemp()
        self.config = os.path.join(self.dir, "config.toml")
        Path(self.config).write_text(CONFIG)
        self.engine = Search(os.path.join(self.dir, "engine"), self.config)
        self.model = Model()

    def reopen(self):
        self.engine = Search(os.path.join(self.dir, "engine"), self.config)

    def teardown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    @rule(text=texts)
    def add(self, text):
        self.model.live[self.engine.add(text)] = text

    @precondition(lambda self: self.model.live)
    @rule(data=st.data())
    def delete(self, data):
        doc_id = data.draw(st.sampled_from(sorted(self.model.live)))
        assert self.engine.delete(doc_id) is True
        self.model.pending[doc_id] = self.model.live.pop(doc_id)

    @rule()
    def flush(self):
        self.engine.flush()
        self.model.purge()
        for doc_id, text in self.model.live.items():
            assert self.engine.get(doc_id).content == text

    @rule()
    def reopen_after_flush(self):
        self.flush()
        self.engine.close()
        self.reopen()

    @rule()
    def reopen_without_flush(self):
        del self.engine  # deletions not purged, postings and statistics not saved
        self.reopen()
        self.model.purge()

    @rule(name=st.sampled_from(DERIVED), how=st.sampled_from(["remove", "garble", "cut"]),
          seed=st.integers(0, 2**32))
    def damage_a_derived_file(self, name, how, seed):
        del self.engine
        path = Path(self.dir, "engine", name)
        rng = random.Random(seed)
        if how == "remove":
            path.unlink(missing_ok=True)
        elif how == "garble":
            path.write_bytes(rng.randbytes(rng.randint(1, 200)))
        elif path.exists():
            path.write_bytes(path.read_bytes()[: rng.randint(0, path.stat().st_size)])
        self.reopen()
        self.model.purge()

    @rule(text=texts)
    def add_from_a_clock_ahead(self, text):
        self.engine.close()
        [doc_id] = add_with_clock_shifted(os.path.join(self.dir, "engine"), [text], 400 * 86400)
        assert all(doc_id > earlier for earlier in self.model.indexed())
        self.model.live[doc_id] = text
        self.model.purge()  # closing flushed
        self.reopen()

    @rule(query=queries, top_k=st.sampled_from([0, 1, 2, 5]))
    def search(self, query, top_k):
        self.check_search(self.engine, query, top_k)

    @rule(query=queries, offset=st.integers(0, 4), limit=st.integers(0, 3))
    def count_and_page(self, query, offset, limit):
        ranked = [(h.document.id, h.score) for h in self.engine.search(query, 0)]
        assert ranked == sorted(ranked, key=lambda hit: (-hit[1], hit[0])), query
        assert self.engine.count(query) == len(ranked) == len(self.model.scores(query)), query
        page = self.engine.search_page(query, offset, limit)
        assert [(h.document.id, h.score) for h in page] == ranked[offset:][: limit or None]

    @rule(query=queries)
    def search_beside_the_writer(self, query):
        """A reader opened after a flush finds what the writer finds."""
        self.flush()
        with Search(os.path.join(self.dir, "engine"), self.config) as reader:
            assert reader.read_only
            self.check_search(reader, query, 0)

    def check_search(self, engine, query, top_k):
        expected = self.model.scores(query)
        hits = engine.search(query, top_k)
        want = sorted(expected.values(), reverse=True)
        if top_k:
            want = want[:top_k]
        assert [h.score for h in hits] == pytest.approx(want, rel=1e-9), query
        for hit in hits:
            assert hit.score == pytest.approx(expected[hit.document.id], rel=1e-9), query

    @invariant()
    def live_documents_are_found(self):
        for doc_id in self.model.live:
            assert self.engine.get(doc_id).id == doc_id


EngineMachine.TestCase.settings = settings(max_examples=60, stateful_step_count=30, deadline=None)
TestEngineModel = EngineMachine.TestCase

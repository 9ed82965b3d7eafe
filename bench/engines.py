"""Thin adapters giving tarnwick, SQLite FTS5, Tantivy and Xapian one interface.

Each adapter offers:
  build(path, docs)     index every document and make it durable (flush/commit)
  open(path)            open an existing index for querying
  prepare(q)            turn a query of queries.py into the engine's own form
  query(prepared, k)    run it, return the hits' texts, best first
  size(path)            bytes on disk
  supports              the query kinds it has an equivalent for
"""

from __future__ import annotations

import os
import shutil


def dir_size(path: str) -> int:
    if os.path.isfile(path):
        return os.path.getsize(path)
    total = 0
    for dirpath, _, filenames in os.walk(path):
        for name in filenames:
            total += os.path.getsize(os.path.join(dirpath, name))
    return total


def remove(path: str) -> None:
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)


class Tarnwick:
    name = "tarnwick"
    supports = {"term", "phrase", "proximity", "fuzzy"}

    def __init__(self):
        import tarnwick.native as native
        self.native = native
        self.engine = None

    def build(self, path, docs):
        remove(path)
        engine = self.native.Search(path, None)
        add = engine.add
        for doc in docs:
            add(doc)
        engine.flush()
        self.engine = engine

    def open(self, path):
        self.engine = self.native.Search(path, None)

    @staticmethod
    def translate(cls, q):
        kind = q["kind"]
        if kind == "term":
            return q["words"][0]
        if kind == "phrase":
            return '"' + " ".join(q["words"]) + '"'
        if kind == "proximity":
            return '"' + " ".join(q["words"]) + '"~%d' % q["slop"]
        if kind == "fuzzy":
            return "%s~%d" % (q["words"][0], q["distance"])
        raise ValueError(kind)

    def prepare(self, q):
        return self.translate(None, q)

    def query(self, prepared, k):
        return [r.document.content for r in self.engine.search(prepared, k)]

    def size(self, path):
        return dir_size(path)


class Fts5:
    name = "sqlite-fts5"
    supports = {"term", "phrase", "proximity"}

    def __init__(self):
        import sqlite3
        self.sqlite3 = sqlite3
        self.conn = None

    def build(self, path, docs):
        remove(path)
        conn = self.sqlite3.connect(path)
        conn.execute("CREATE VIRTUAL TABLE docs USING fts5(body, tokenize='porter unicode61')")
        with conn:
            conn.executemany("INSERT INTO docs(body) VALUES (?)", ((d,) for d in docs))
        self.conn = conn

    def open(self, path):
        self.conn = self.sqlite3.connect(path)

    @staticmethod
    def _quote(word):
        return '"' + word.replace('"', '""') + '"'

    def prepare(self, q):
        kind = q["kind"]
        words = q["words"]
        if kind == "term":
            return self._quote(words[0])
        if kind == "phrase":
            return '"' + " ".join(words) + '"'
        if kind == "proximity":
            return "NEAR(%s, %d)" % (" ".join(self._quote(w) for w in words), q["slop"])
        raise ValueError(kind)

    def query(self, prepared, k):
        cur = self.conn.execute(
            "SELECT body FROM docs WHERE docs MATCH ? ORDER BY bm25(docs) LIMIT ?", (prepared, k))
        return [row[0] for row in cur.fetchall()]

    def size(self, path):
        return dir_size(path)


class Tantivy:
    name = "tantivy"
    supports = {"term", "phrase", "proximity", "fuzzy"}

    def __init__(self):
        import tantivy
        self.tantivy = tantivy
        builder = tantivy.SchemaBuilder()
        builder.add_text_field("body", stored=True, tokenizer_name="en_stem")
        self.schema = builder.build()
        self.index = None
        self.searcher = None

    def build(self, path, docs):
        remove(path)
        os.makedirs(path)
        index = self.tantivy.Index(self.schema, path=path)
        # One indexing thread, like the other two engines.
        writer = index.writer(heap_size=128_000_000, num_threads=1)
        Document = self.tantivy.Document
        add = writer.add_document
        for doc in docs:
            add(Document(body=doc))
        writer.commit()
        writer.wait_merging_threads()
        self.index = index
        index.reload()
        self.searcher = index.searcher()

    def open(self, path):
        self.index = self.tantivy.Index.open(path)
        self.searcher = self.index.searcher()

    def prepare(self, q):
        kind = q["kind"]
        words = q["words"]
        if kind == "term":
            return self.index.parse_query(words[0], ["body"])
        if kind == "phrase":
            return self.index.parse_query('"' + " ".join(words) + '"', ["body"])
        if kind == "proximity":
            return self.index.parse_query('"' + " ".join(words) + '"~%d' % q["slop"], ["body"])
        if kind == "fuzzy":
            return self.tantivy.Query.fuzzy_term_query(
                self.schema, "body", words[0], distance=q["distance"], transposition_cost_one=False)
        raise ValueError(kind)

    def query(self, prepared, k):
        searcher = self.searcher
        return [searcher.doc(addr)["body"][0] for _, addr in searcher.search(prepared, k).hits]

    def size(self, path):
        return dir_size(path)


class Xapian:
    name = "xapian"
    supports = {"term", "phrase", "proximity"}

    def __init__(self):
        import xapian
        self.xapian = xapian
        # Every word stemmed (Snowball English) and positioned, with no stop words, like the
        # others; BM25 with k1 1.2 and b 0.75 as FTS5 and Tantivy have it.
        self.stem = xapian.Stem("english")
        self.db = None
        self.enquire = None

    def _searching(self, db):
        self.db = db
        self.enquire = self.xapian.Enquire(db)
        self.enquire.set_weighting_scheme(self.xapian.BM25Weight(1.2, 0, 1, 0.75, 0.5))

    def build(self, path, docs):
        xapian = self.xapian
        remove(path)
        db = xapian.WritableDatabase(path, xapian.DB_CREATE_OR_OVERWRITE)
        gen = xapian.TermGenerator()
        gen.set_stemmer(self.stem)
        gen.set_stemming_strategy(xapian.TermGenerator.STEM_ALL)
        Document = xapian.Document
        for text in docs:
            doc = Document()
            gen.set_document(doc)
            gen.index_text(text)
            doc.set_data(text)
            db.add_document(doc)
        db.commit()
        self._searching(db)

    def open(self, path):
        self._searching(self.xapian.Database(path))

    def prepare(self, q):
        Query = self.xapian.Query
        terms = [self.stem(w) for w in q["words"]]
        kind = q["kind"]
        if kind == "term":
            return Query(terms[0])
        # A phrase is its words in order in a window of as many positions; proximity widens
        # the window by the slop, still in order (OP_NEAR would take any order).
        if kind == "phrase":
            return Query(Query.OP_PHRASE, terms, len(terms))
        if kind == "proximity":
            return Query(Query.OP_PHRASE, terms, len(terms) + q["slop"])
        raise ValueError(kind)

    def query(self, prepared, k):
        enquire = self.enquire
        enquire.set_query(prepared)
        return [m.document.get_data().decode() for m in enquire.get_mset(0, k)]

    def size(self, path):
        return dir_size(path)


ENGINES = {"tarnwick": Tarnwick, "sqlite-fts5": Fts5, "tantivy": Tantivy, "xapian": Xapian}

"""A small reference model of the engine's ranking, written from the scoring rules.

Texts are lower-case words separated by spaces, drawn from words that the stemmer leaves as they
are, so a document's kept tokens are its words minus the stop words.
"""

import math
import re

STOP_WORDS = {"the", "and", "a", "of"}


def levenshtein(a: str, b: str) -> int:
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        previous, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            previous, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, previous + (ca != cb))
    return row[-1]


def kept_words(text: str) -> list[str]:
    return [w for w in text.split() if w not in STOP_WORDS]


class Model:
    """Live and pending documents, and the mean length the engine keeps over both."""

    def __init__(self):
        self.live: dict[str, str] = {}
        self.pending: dict[str, str] = {}

    def indexed(self):
        return {**self.live, **self.pending}

    def avg_doc_len(self) -> float:
        docs = self.indexed()
        if not docs:
            return 1.0
        return sum(len(kept_words(t)) for t in docs.values()) / len(docs)

    def df(self, token: str) -> int:
        return sum(token in kept_words(t) for t in self.indexed().values())

    def known_tokens(self) -> set[str]:
        return {w for t in self.indexed().values() for w in kept_words(t)}

    def purge(self):
        self.pending.clear()

    def scores(self, query: str) -> dict[str, float]:
        """Document id to score for every live document the query matches."""
        terms, proximity = parse(query)
        terms = [(text, fuzz) for text, fuzz in terms if text not in STOP_WORDS]
        if not terms:
            return {}
        known = self.known_tokens()
        alternatives = []
        for text, fuzz in terms:
            found = {}
            for token in known:
                d = levenshtein(text, token)
                if d <= fuzz and (token == text or (fuzz < len(token) and fuzz < len(text))):
                    found[token] = d
            if not found:
                return {}
            alternatives.append(found)
        n = len(self.live)
        avgdl = self.avg_doc_len()
        out = {}
        for doc_id, text in self.live.items():
            score = document_score(kept_words(text), alternatives, proximity, n, avgdl, self.df)
            if score > 0:
                out[doc_id] = score
        return out


def parse(query: str):
    """Terms with their fuzziness, and the proximity, for the queries the tests write."""
    query = query.lower()
    proximity = 0
    quoted = re.fullmatch(r'\s*"(.*)"(?:~(\d{1,2}))?\s*', query)
    if quoted:
        query, proximity = quoted.group(1), int(quoted.group(2) or 0)
    terms = []
    for word in query.split():
        text, tilde, digits = word.partition("~")
        if not tilde:
            fuzz = 0
        elif digits:
            fuzz = int(digits)
        else:
            fuzz = 0 if len(text) <= 2 else 1 if len(text) <= 5 else 2
        terms.append((text, fuzz))
    return terms, proximity


def idf(n: int, df: int) -> float:
    return math.log((max(n - df, 0) + 0.5) / (df + 0.5) + 1)


def document_score(words, alternatives, proximity, n, avgdl, df) -> float:
    dl = len(set(words))
    norm = dl / avgdl * 0.75 + 0.25

    def term(token, distance):
        tf = words.count(token)
        return tf * 2.5 / (tf + 1.5 * norm) * idf(n, df(token)) * 0.8**distance

    occurrences = [
        [(p, w, found[w]) for p, w in enumerate(words) if w in found] for found in alternatives
    ]
    best = 0.0
    for start in occurrences[0]:
        chain, slop = [start], 0
        for group in occurrences[1:]:
            after = [o for o in group if o[0] > chain[-1][0]]
            if not after:
                return best
            pick = after[0]
            slop += pick[0] - chain[-1][0] - 1
            chain.append(pick)
            if slop > proximity:
                break
        else:
            best = max(best, sum(term(w, d) for _, w, d in chain) / (slop + 1))
    return best

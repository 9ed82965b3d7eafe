"""Deterministic query sets drawn from the corpus (fixed seed).

Every term and phrase is taken from the corpus itself, so every query of the
term, phrase and proximity classes has at least one matching document.
"""

from __future__ import annotations

import random
import re
from collections import Counter

STOP_WORDS = frozenset(
    "a and are as at be but by for if in into is it no not of on or s such t that the their then "
    "there these they this to was will with www".split())

# Word-ish tokens and single punctuation characters, in text order: two words
# are adjacent only when they are consecutive here (nothing but spaces between).
# Letters joined by "." ":" or "'" stay one word, as Unicode word segmentation has it.
_TOKEN = re.compile(r"[a-z0-9_]+(?:[.':](?=[a-z])[a-z0-9_]+)*|[^\sa-z0-9_]")
_ALPHA = re.compile(r"[a-z]{3,}")

CLASSES = [
    # name, kind
    ("term-rare", "term"),
    ("term-medium", "term"),
    ("term-common", "term"),
    ("phrase-2", "phrase"),
    ("phrase-3", "phrase"),
    ("proximity-2~3", "proximity"),
    ("fuzzy-base-exact", "term"),
    ("fuzzy~1", "fuzzy"),
    ("fuzzy~2", "fuzzy"),
]


def tokens(text: str) -> list[str]:
    return _TOKEN.findall(text.lower())


def _good(word: str) -> bool:
    return _ALPHA.fullmatch(word) is not None and word not in STOP_WORDS


def levenshtein(a: str, b: str) -> int:
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (ca != cb)))
        prev = cur
    return prev[-1]


def _typo(rng: random.Random, word: str, edits: int, vocab) -> str | None:
    letters = "abcdefghijklmnopqrstuvwxyz"
    for _ in range(50):
        w = word
        for _ in range(edits):
            op = rng.choice("sid")
            i = rng.randrange(1, len(w))  # keep the first letter, as most typos do
            if op == "s":
                w = w[:i] + rng.choice(letters.replace(w[i], "")) + w[i + 1:]
            elif op == "i":
                w = w[:i] + rng.choice(letters) + w[i:]
            else:
                w = w[:i] + w[i + 1:]
        if w not in vocab and levenshtein(w, word) == edits:
            return w
    return None


def build(docs: list[str], per_class: int = 200, seed: int = 20240601) -> dict[str, list[dict]]:
    rng = random.Random(seed)
    # Documents are tokenized again where needed rather than kept tokenized: a million of
    # them would take gigabytes as lists of words.
    df = Counter()
    for d in docs:
        df.update({w for w in tokens(d) if _good(w)})
    vocab = set(df)

    def pick(words, n):
        words = sorted(words)
        return rng.sample(words, min(n, len(words)))

    out: dict[str, list[dict]] = {}
    out["term-rare"] = [{"kind": "term", "words": [w]} for w in
                        pick([w for w, c in df.items() if 2 <= c <= 5 and len(w) >= 4], per_class)]
    out["term-medium"] = [{"kind": "term", "words": [w]} for w in
                          pick([w for w, c in df.items() if 100 <= c <= 1000], per_class)]
    common = [w for w, c in df.items() if c >= 3000]
    if len(common) < per_class // 2:
        common = [w for w, _ in df.most_common(per_class // 2)]
    out["term-common"] = [{"kind": "term", "words": [w]} for w in pick(common, per_class)]

    def ngrams(n, gap_ok):
        seen, result = set(), []
        order = list(range(len(docs)))
        rng.shuffle(order)
        for di in order:
            t = tokens(docs[di])
            cands = []
            for i in range(len(t)):
                if not _good(t[i]):
                    continue
                for gap in gap_ok:
                    j = i + gap
                    if n == 2 and j < len(t) and _good(t[j]):
                        cands.append((t[i], t[j]))
                    elif n == 3 and gap == 1 and i + 2 < len(t) and _good(t[i + 1]) and _good(t[i + 2]):
                        cands.append((t[i], t[i + 1], t[i + 2]))
            if not cands:
                continue
            c = rng.choice(cands)
            if c in seen or len(set(c)) < len(c):
                continue
            seen.add(c)
            result.append(list(c))
            if len(result) >= per_class:
                break
        return result

    out["phrase-2"] = [{"kind": "phrase", "words": w} for w in ngrams(2, [1])]
    out["phrase-3"] = [{"kind": "phrase", "words": w} for w in ngrams(3, [1])]
    # Two words 1 to 3 tokens apart in some document, in that order.
    out["proximity-2~3"] = [{"kind": "proximity", "words": w, "slop": 3} for w in ngrams(2, [2, 3, 4])]

    fuzzy_src = pick([w for w, c in df.items() if len(w) >= 6 and c >= 20], per_class)
    out["fuzzy-base-exact"] = []
    out["fuzzy~1"] = []
    out["fuzzy~2"] = []
    for w in fuzzy_src:
        t1, t2 = _typo(rng, w, 1, vocab), _typo(rng, w, 2, vocab)
        if t1 is None or t2 is None:
            continue
        out["fuzzy-base-exact"].append({"kind": "term", "words": [w]})
        out["fuzzy~1"].append({"kind": "fuzzy", "words": [t1], "distance": 1, "source": w})
        out["fuzzy~2"].append({"kind": "fuzzy", "words": [t2], "distance": 2, "source": w})
    return out


# ---- a rough check that a hit really matches its query --------------------

def _stemish(word: str) -> str:
    # Both engines stem; accept any word sharing a long prefix with the query word.
    return word[:max(3, len(word) - 3)]


def hit_matches(q: dict, text: str) -> bool:
    kept = [w for w in tokens(text) if (w[0].isalnum() or w[0] == "_") and w not in STOP_WORDS]
    kind = q["kind"]
    if kind == "fuzzy":
        d = q["distance"]
        typo = q["words"][0]
        return any(levenshtein(_stemish(typo), _stemish(w)) <= d for w in kept if abs(len(w) - len(typo)) <= d + 4)
    prefixes = [_stemish(w) for w in q["words"]]
    if kind == "term":
        return any(w.startswith(prefixes[0]) for w in kept)
    slop = q.get("slop", 0)
    where = [[i for i, w in enumerate(kept) if w.startswith(p)] for p in prefixes]
    if any(not ws for ws in where):
        return False

    # ordered chain with total gap <= slop
    def chain(k, pos, used):
        if k == len(where):
            return True
        for p in where[k]:
            if p > pos and used + (p - pos - 1) <= slop and chain(k + 1, p, used + p - pos - 1):
                return True
        return False

    return any(chain(1, p, 0) for p in where[0])

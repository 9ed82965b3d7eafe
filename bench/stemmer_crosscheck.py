#!/usr/bin/python3
"""Compares the system's English stemmer with the published Snowball English stemmer.

Every ASCII word of a word list (default /usr/share/dict/words, Debian's wamerican), lower-cased,
is stemmed by both: ours through build/bench/stem_words, the reference through Debian's
python3-snowballstemmer, which is why this runs under the system interpreter. Each word on which
they differ is put in the group of the first of our stemmer's deliberate departures from the
published algorithm whose trigger it shows; a difference that none explains is a fault of ours.
Exits with status 1 when there is one.

  apt-get install python3-snowballstemmer wamerican
  cmake -S bench -B build/bench -G Ninja && cmake --build build/bench --target stem_words
  bench/stemmer_crosscheck.py [--words FILE] [--stem-words PROGRAM] [--list]
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys

import snowballstemmer

DOUBLES = "bb|dd|ff|gg|mm|nn|pp|rr|tt"
POSSESSIVE = r"(?:'s'|'s|')?"

# (departure, trigger): the trigger is a property of the word without which the departure
# cannot change its stem. Tried in this order.
DEPARTURES = [
    (
        '"past" ends in a short syllable',
        re.compile(rf"past(?:e|es|ed|ing){POSSESSIVE}$"),
    ),
    (
        "extra R1 prefixes: past, univers, later, emerg, organ",
        re.compile(r"(?:past|univers|later|emerg|organ)"),
    ),
    ('"ogist" is a step 2 suffix', re.compile(r".*ogist")),
    (
        'step 1b: any non-vowel + "ying" gives non-vowel + "ie"',
        re.compile(rf"[^aeiouy]ying{POSSESSIVE}$"),
    ),
    ('step 1b: "evening" keeps its "ing"', re.compile(rf"evening(?:s|{POSSESSIVE})$")),
    (
        'step 1b: words beginning "proc", "exc", "succ" keep "eed"',
        re.compile(r"(?:proc|exc|succ).*eed"),
    ),
    (
        "step 1b: a 3-byte stem beginning a, e, o keeps its double letter",
        re.compile(rf"[aeo](?:{DOUBLES})(?:ed|edly|ing|ingly)(?:s|{POSSESSIVE})$"),
    ),
    ('a "y" after a marked "Y" is marked too', re.compile(r".*[aeiouy]yy")),
    ("invariant words are tested before a leading apostrophe goes", re.compile(r"'")),
]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--words", default="/usr/share/dict/words")
    parser.add_argument("--stem-words", default="build/bench/stem_words")
    parser.add_argument("--list", action="store_true", help="print every differing word")
    args = parser.parse_args()

    with open(args.words, encoding="utf-8") as file:
        words = sorted({line.strip().lower() for line in file if line.strip().isascii()} - {""})
    ours = subprocess.run(
        [args.stem_words], input="".join(w + "\n" for w in words), capture_output=True,
        text=True, check=True,
    ).stdout.splitlines()
    assert len(ours) == len(words)
    reference = snowballstemmer.stemmer("english")

    groups: dict[str, list[tuple[str, str, str]]] = {name: [] for name, _ in DEPARTURES}
    unexplained = []
    for word, our_stem in zip(words, ours):
        their_stem = reference.stemWord(word)
        if our_stem == their_stem:
            continue
        for name, trigger in DEPARTURES:
            if trigger.match(word):
                groups[name].append((word, our_stem, their_stem))
                break
        else:
            unexplained.append((word, our_stem, their_stem))

    differing = sum(map(len, groups.values())) + len(unexplained)
    print(f"{len(words)} words compared, {differing} differ")
    for name, rows in groups.items():
        print(f"{len(rows):6d}  {name}")
        if args.list:
            for word, our_stem, their_stem in rows:
                print(f"          {word} -> {our_stem} (reference {their_stem})")
    print(f"{len(unexplained):6d}  unexplained")
    for word, our_stem, their_stem in unexplained:
        print(f"          {word} -> {our_stem} (reference {their_stem})")
    return 1 if unexplained else 0


if __name__ == "__main__":
    sys.exit(main())

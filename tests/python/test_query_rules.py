"""What a query term finds, as the user guide promises it: a document is cut into words at Unicode
word boundaries but a query only at whitespace, only A to Z change case, and words with a letter
outside ASCII are not stemmed. Each case is an example the guide shows."""

from pathlib import Path

import pytest

from tarnwick import Search

DOCUMENTS = {
    "hello": "Hello, world!",
    "shout": "HELLO THERE",
    "email": "Send an e-mail",
    "cpp": "Written in C++",
    "address": "Write to user@example.com",
    "vector": "A std::vector grows",
    "date": "Released on 2024-01-05",
    "tower": "東京タワー",
    "cant": "I can't say",
    "file": "Open file.txt",
    "pi": "Pi is 3.14",
    "ratio": "The ratio a:b",
    "amount": "About 1,000 of them",
    "arch": "Built for x86_64",
    "curly": "Don’t panic",
    "über": "über alles",
    "Über": "Über alles",
    "ÜBER": "ÜBER ALLES",
    "école": "une école",
    "École": "École normale",
    "ÉCOLE": "ÉCOLE NORMALE",
    "jumping": "jumping jacks",
    "café": "un café",
    "cafés": "deux cafés",
}

# A query and the documents it finds, by their keys above.
CASES = [
    # Punctuation is part of a query term, not of a document's words.
    ("hello,", set()),
    ("world!", set()),
    ("hello, world", set()),
    ("hello world", {"hello"}),
    ("e-mail", set()),
    ("email", set()),
    ("e mail", {"email"}),
    ("c++", set()),
    ("c", {"cpp"}),
    ("user@example.com", set()),
    ("user example.com", {"address"}),
    ("std::vector", set()),
    ("std vector", {"vector"}),
    ("2024-01-05", set()),
    ("2024 01 05", {"date"}),
    # Ideographs are words of one character; a run of katakana is one word.
    ("東京", set()),
    ("東京タワー", set()),
    ("東 京", {"tower"}),
    ('"東 京"', {"tower"}),
    ("東 京 タワー", {"tower"}),
    ("東 タワー", set()),
    ('"東 タワー"~1', {"tower"}),
    # Punctuation that joins letters or digits stays inside the word; it is found only whole.
    ("can't", {"cant"}),
    ("can", set()),
    ("file.txt", {"file"}),
    ("file", set()),
    ("3.14", {"pi"}),
    ("3", set()),
    ("a:b", {"ratio"}),
    ("1,000", {"amount"}),
    ("x86_64", {"arch"}),
    ("x86", set()),
    ("don't", set()),
    ("don’t", {"curly"}),
    # Only A to Z change case.
    ("HELLO", {"hello", "shout"}),
    ("hello", {"hello", "shout"}),
    ("über", {"über"}),
    ("Über", {"Über", "ÜBER"}),
    ("ÜBER", {"Über", "ÜBER"}),
    ("über~1", {"über", "Über", "ÜBER"}),
    ("École", {"École", "ÉCOLE"}),
    ("ÉCOLE", {"École", "ÉCOLE"}),
    ("école", {"école"}),
    ("ecole", set()),
    # Words with a letter outside ASCII are not stemmed.
    ("jumps", {"jumping"}),
    ("cafés", {"cafés"}),
    ("café", {"café"}),
]


@pytest.fixture(scope="module")
def engine(tmp_path_factory: pytest.TempPathFactory) -> tuple[Search, dict[str, str]]:
    directory: Path = tmp_path_factory.mktemp("query-rules")
    search = Search(directory, None)
    keys = {search.add(text): key for key, text in DOCUMENTS.items()}
    search.flush()
    return search, keys


@pytest.mark.parametrize(("query", "expected"), CASES, ids=[query for query, _ in CASES])
def test_what_a_query_term_finds(engine: tuple[Search, dict[str, str]], query: str,
                                 expected: set[str]) -> None:
    search, keys = engine
    assert {keys[hit.document.id] for hit in search.search(query, 0)} == expected

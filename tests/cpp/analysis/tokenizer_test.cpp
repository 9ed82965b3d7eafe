#include "analysis/tokenizer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "query/parser.hpp"

namespace tarnwick::analysis {
namespace {

using Positions = std::map<std::string, std::vector<uint32_t>>;

Tokenizer make_tokenizer(StopWords stop_words = {}) {
  return Tokenizer(std::make_shared<const StopWords>(std::move(stop_words)));
}

Positions positions(const DocumentTokens& doc) {
  Positions out;
  for (const DocumentStem& stem : doc.stems) {
    const auto at = doc.positions_of(stem);
    out[stem.text].assign(at.begin(), at.end());
  }
  return out;
}

struct DocCase {
  std::string text;
  uint32_t length;
  Positions tokens;
};

void expect_documents(Tokenizer& tokenizer, const std::vector<DocCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const DocumentTokens doc = tokenizer.tokenize_doc(c.text);
    EXPECT_EQ(doc.length, c.length);
    EXPECT_EQ(positions(doc), c.tokens);
  }
}

TokenizedQuery tokenize_query(Tokenizer& tokenizer, std::string text) {
  auto query = query::Query::parse(text);
  EXPECT_TRUE(query.ok()) << query.error().message;
  return tokenizer.tokenize_query(query->tokens(), query->proximity);
}

TEST(TokenizeDoc, PositionsCountKeptWordsOnly) {
  Tokenizer tokenizer = make_tokenizer({"the", "and"});
  expect_documents(tokenizer, {
      {"", 0, {}},
      {" ,.;!? \u2014 \u20ac \U0001F600 ", 0, {}},
      {"The cat and the hat", 2, {{"cat", {0}}, {"hat", {1}}}},
      {"a, b. the c!", 3, {{"a", {0}}, {"b", {1}}, {"c", {2}}}},
      {"the and the", 0, {}},
  });
}

TEST(TokenizeDoc, RepeatedStemsCollectTheirPositionsInOrder) {
  Tokenizer tokenizer = make_tokenizer({"the"});
  expect_documents(tokenizer, {
      {"Running runs", 2, {{"run", {0, 1}}}},
      {"cat dog cat dog cat", 5, {{"cat", {0, 2, 4}}, {"dog", {1, 3}}}},
      {"Running the runs, run!", 3, {{"run", {0, 1, 2}}}},
  });
}

TEST(TokenizeDoc, FoldsAsciiCapitalsOnly) {
  Tokenizer tokenizer = make_tokenizer();
  expect_documents(tokenizer, {
      {"Hello, World!", 2, {{"hello", {0}}, {"world", {1}}}},
      // The stemmer leaves words with non-ASCII characters as they are.
      {"ÉCOLE école", 2, {{"École", {0}}, {"école", {1}}}},
      {"ΑΘΗΝΑ", 1, {{"ΑΘΗΝΑ", {0}}}},
  });
}

TEST(TokenizeDoc, StopWordsMatchAfterLowerCasing) {
  Tokenizer lower = make_tokenizer({"the"});
  expect_documents(lower, {{"The end", 1, {{"end", {0}}}}});
  // A stop word configured with capitals never matches a lower-cased word.
  Tokenizer capital = make_tokenizer({"The"});
  expect_documents(capital, {{"The the", 2, {{"the", {0, 1}}}}});
}

TEST(TokenizeDoc, WordsFollowTheAnnexBoundaries) {
  Tokenizer tokenizer = make_tokenizer();
  expect_documents(tokenizer, {
      {"can't 3.14 e-mail", 4, {{"can't", {0}}, {"3.14", {1}}, {"e", {2}}, {"mail", {3}}}},
      {"don\u2019t", 1, {{"don\u2019t", {0}}}},
      // No dictionary segmentation: each ideograph and each Thai letter is a word.
      {"東京", 2, {{"東", {0}}, {"京", {1}}}},
      {"ไทย", 3, {{"ไ", {0}}, {"ท", {1}}, {"ย", {2}}}},
      // A combining mark stays with its letter.
      {"e\u0301te\u0301", 1, {{"e\u0301te\u0301", {0}}}},
  });
}

TEST(TokenizeDoc, NumbersBeyondAsciiCountAsAlphanumeric) {
  Tokenizer tokenizer = make_tokenizer();
  expect_documents(tokenizer, {
      // Arabic-Indic three (Nd), vulgar one half and superscript two (No): not Alphabetic.
      {"\u0663 \u00bd \u00b2", 3, {{"\u0663", {0}}, {"\u00bd", {1}}, {"\u00b2", {2}}}},
      // Roman numeral twelve (Nl).
      {"\u216b", 1, {{"\u216b", {0}}}},
  });
}

TEST(TokenizeDoc, IllFormedUtf8SeparatesWords) {
  Tokenizer tokenizer = make_tokenizer();
  expect_documents(tokenizer, {{"ab\xff" "cd\xc3", 2, {{"ab", {0}}, {"cd", {1}}}}});
}

TEST(TokenizeDoc, EveryPositionOccursOnceOnLongText) {
  Tokenizer tokenizer = make_tokenizer({"the", "of"});
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "The history of Running, the 3.14 runs of École\n";
  const DocumentTokens doc = tokenizer.tokenize_doc(text);
  // history, running, 3.14, runs, École: five kept words per line.
  EXPECT_EQ(doc.length, 5u * 20000);
  std::vector<uint32_t> all;
  for (const DocumentStem& stem : doc.stems) {
    const auto at = doc.positions_of(stem);
    EXPECT_TRUE(std::is_sorted(at.begin(), at.end())) << stem.text;
    all.insert(all.end(), at.begin(), at.end());
  }
  std::sort(all.begin(), all.end());
  std::vector<uint32_t> expected(doc.length);
  std::iota(expected.begin(), expected.end(), 0u);
  EXPECT_EQ(all, expected);
}

// A tokenizer remembers the stems of the spellings it has met; what it returns must not depend
// on what it tokenized before.
TEST(TokenizeDoc, EarlierDocumentsDoNotChangeTheResult) {
  const StopWords stop_words = {"the", "of"};
  const std::vector<std::string> documents = {
      "The Running of the runs",
      "RUNS run running Run THE Of",  // spellings met before, and new ones for the same stems
      "The Running of the runs",
      "",
      "of the",
  };
  Tokenizer used = make_tokenizer(stop_words);
  for (const std::string& text : documents) {
    SCOPED_TRACE(text);
    Tokenizer fresh = make_tokenizer(stop_words);
    const DocumentTokens want = fresh.tokenize_doc(text);
    const DocumentTokens got = used.tokenize_doc(text);
    EXPECT_EQ(got.length, want.length);
    EXPECT_EQ(positions(got), positions(want));
  }
}

TEST(TokenizeDoc, ManyDistinctSpellingsAcrossDocuments) {
  // More distinct spellings than the tokenizer keeps, so it forgets them between documents.
  std::string many;
  for (int i = 0; i < 70000; ++i) many.append("w").append(std::to_string(i)).append(" runs ");
  const std::string after = "w1 w69999 running The";
  Tokenizer used = make_tokenizer({"the"});
  const DocumentTokens first = used.tokenize_doc(many);
  EXPECT_EQ(first.length, 140000u);
  EXPECT_EQ(first.stems.size(), 70001u);
  const Positions stems = positions(first);
  ASSERT_TRUE(stems.contains("run"));
  EXPECT_EQ(stems.at("run").size(), 70000u);
  EXPECT_EQ(stems.at("run").back(), 139999u);
  EXPECT_EQ(stems.at("w69999"), std::vector<uint32_t>{139998});
  const uint64_t generation = used.stem_generation();
  const DocumentTokens second = used.tokenize_doc(after);
  EXPECT_EQ(positions(second), (Positions{{"w1", {0}}, {"w69999", {1}}, {"run", {2}}}));
  // The memo was emptied before the second document, so its stems were numbered afresh.
  EXPECT_NE(used.stem_generation(), generation);
}

// The memo tells apart spellings of every length that differ in a single byte, wherever it is:
// each keeps the stem a fresh tokenizer gives it. Every byte also reaches the memo's hash, and
// equal words hash alike wherever their bytes lie.
TEST(TokenizeDoc, SpellingsDifferingInOneByteKeepTheirOwnStems) {
  std::string originals;
  std::string variants;
  for (size_t length = 1; length <= 40; ++length) {
    std::string word;
    for (size_t i = 0; i < length; ++i) word += static_cast<char>('b' + (i * 7 + length) % 23);
    originals += word + " ";
    const size_t hash = WordHash{}(word);
    const std::string copy = "." + word;
    EXPECT_EQ(WordHash{}(std::string_view(copy).substr(1)), hash) << word;
    EXPECT_TRUE(WordEq{}(std::string_view(copy).substr(1), word)) << word;
    EXPECT_FALSE(WordEq{}(word, word + "b")) << word;
    for (size_t at = 0; at < length; ++at) {
      std::string variant = word;
      variant[at] = 'y';
      EXPECT_NE(WordHash{}(variant), hash) << word << " " << at;
      EXPECT_FALSE(WordEq{}(variant, word)) << word << " " << at;
      variants += variant + " ";
    }
  }
  Tokenizer used = make_tokenizer();
  used.tokenize_doc(originals);
  Tokenizer fresh = make_tokenizer();
  EXPECT_EQ(positions(used.tokenize_doc(variants)), positions(fresh.tokenize_doc(variants)));
}

// Stems come in the order of their first word, each with the tokenizer's number for it, which
// stays the same from one document to the next.
TEST(TokenizeDoc, StemsComeInTextOrderWithLastingNumbers) {
  Tokenizer tokenizer = make_tokenizer({"the"});
  const DocumentTokens first = tokenizer.tokenize_doc("the cats ran, the cat runs; dogs ran");
  std::vector<std::string> order;
  for (const DocumentStem& stem : first.stems) order.push_back(stem.text);
  EXPECT_EQ(order, (std::vector<std::string>{"cat", "ran", "run", "dog"}));
  const DocumentTokens second = tokenizer.tokenize_doc("dog running cat");
  EXPECT_EQ(second.stems[0].stem_id, first.stems[3].stem_id);
  EXPECT_EQ(second.stems[1].stem_id, first.stems[2].stem_id);
  EXPECT_EQ(second.stems[2].stem_id, first.stems[0].stem_id);
  EXPECT_NE(first.stems[0].stem_id, first.stems[1].stem_id);
}

TEST(TokenizeQuery, TermsAreStemmedWholeWithTheirFuzziness) {
  Tokenizer tokenizer = make_tokenizer();
  TokenizedQuery q = tokenize_query(tokenizer, "Running~ cats~2");
  EXPECT_EQ(q.tokens, (std::vector<Token>{{"run", 2}, {"cat", 2}}));
  EXPECT_EQ(q.proximity, 0);
  // Not segmented: the comma stays, unlike in a document.
  q = tokenize_query(tokenizer, "hello, world");
  EXPECT_EQ(q.tokens, (std::vector<Token>{{"hello,", 0}, {"world", 0}}));
  q = tokenize_query(tokenizer, "\"can't e-mail\"~4");
  EXPECT_EQ(q.tokens, (std::vector<Token>{{"can't", 0}, {"e-mail", 0}}));
  EXPECT_EQ(q.proximity, 4);
}

TEST(TokenizeQuery, StopWordTermsAreDroppedWhateverTheirSuffix) {
  Tokenizer tokenizer = make_tokenizer({"the", "and"});
  TokenizedQuery q = tokenize_query(tokenizer, "The~2 cats~ and");
  EXPECT_EQ(q.tokens, (std::vector<Token>{{"cat", 1}}));
  q = tokenize_query(tokenizer, "\"the and\"~7");
  EXPECT_TRUE(q.tokens.empty());
  EXPECT_EQ(q.proximity, 7);
  // "the," is no stop word: query terms are not segmented.
  q = tokenize_query(tokenizer, "the, end");
  EXPECT_EQ(q.tokens, (std::vector<Token>{{"the,", 0}, {"end", 0}}));
}

TEST(TokenizeQuery, EmptyStopWordSetKeepsEveryTerm) {
  Tokenizer tokenizer = make_tokenizer();
  TokenizedQuery q = tokenize_query(tokenizer, "the and");
  EXPECT_EQ(q.tokens, (std::vector<Token>{{"the", 0}, {"and", 0}}));
}

}  // namespace
}  // namespace tarnwick::analysis

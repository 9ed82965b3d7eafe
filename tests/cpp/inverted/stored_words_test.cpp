// The dictionary read in place from its saved store, in the order of its word list, against a
// plain model of its slots; and the word list refused whenever it does not describe the store.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "inverted/index_fixture.hpp"
#include "inverted/stored_words.hpp"
#include "inverted/token_hasher.hpp"

namespace tarnwick::inverted {
namespace {

namespace fs = std::filesystem;
using index_testing::read_bytes;
using index_testing::write_bytes;
using utils::Access;

using Slots = std::vector<std::optional<std::string>>;

class StoredWordsTest : public index_testing::DictionaryTest {
 protected:
  fs::path list_path() const { return index_dir() / kWordListFileName; }

  // Everything the dictionary answers, against the slots it should hold.
  static void expect_holds(const TokenHasher& hasher, const Slots& slots, const char* when) {
    SCOPED_TRACE(when);
    EXPECT_EQ(hasher.id_to_token(), slots);
    size_t words = 0;
    for (uint32_t id = 0; id < slots.size(); ++id) {
      EXPECT_EQ(hasher.has_token(id), slots[id].has_value()) << id;
      if (!slots[id]) continue;
      ++words;
      EXPECT_EQ(hasher.token(id), slots[id]) << id;
      EXPECT_EQ(hasher.id_of(*slots[id]), id) << *slots[id];
    }
    EXPECT_EQ(hasher.size(), words);
    EXPECT_FALSE(hasher.token(static_cast<uint32_t>(slots.size())));
    EXPECT_FALSE(hasher.id_of("never a word"));
  }
};

// Rounds of adds, deletes and trims, saved or not between them: the words changed since the last
// save are held beside the saved ones, which every save takes in. After each round the
// dictionary, and the same reopened with and without its word list, answer as the model does.
TEST_F(StoredWordsTest, ChangesOverSavedWordsAnswerAsTheSlotsHeldWhole) {
  std::mt19937 random(7);
  TokenHasher hasher = open();
  Slots slots;
  std::vector<uint32_t> free_ids;
  // Words of one to three letters.
  auto word = [&] {
    std::string text;
    for (uint32_t n = random() % 700 + 1; n > 0; n /= 26) text.push_back(static_cast<char>('a' + n % 26));
    return text;
  };
  for (int round = 0; round < 40; ++round) {
    for (int step = 0; step < 60; ++step) {
      if (random() % 3 != 0) {
        const std::string text = word();
        const bool known = std::find(slots.begin(), slots.end(), text) != slots.end();
        auto id = hasher.add(text);
        ASSERT_TRUE(id.ok());
        if (known) continue;
        uint32_t expected = static_cast<uint32_t>(slots.size());
        if (!free_ids.empty()) {
          expected = free_ids.back();
          free_ids.pop_back();
        }
        ASSERT_EQ(*id, expected) << text;
        if (expected == slots.size()) slots.emplace_back();
        slots[expected] = text;
      } else if (!slots.empty()) {
        const auto id = static_cast<uint32_t>(random() % (slots.size() + 2));
        auto freed = hasher.delete_token(id);
        ASSERT_TRUE(freed.ok());
        const bool filled = id < slots.size() && slots[id];
        ASSERT_EQ(freed->has_value(), filled);
        if (!filled) continue;
        EXPECT_EQ(**freed, *slots[id]);
        slots[id].reset();
        free_ids.push_back(id);
      }
    }
    if (round % 5 == 4 && hasher.trim_free_tail()) {
      while (!slots.empty() && !slots.back()) slots.pop_back();
      std::erase_if(free_ids, [&](uint32_t id) { return id >= slots.size(); });
    }
    expect_holds(hasher, slots, "unsaved");
    if (round % 2 == 1) continue;
    ASSERT_TRUE(hasher.flush().ok());
    expect_holds(hasher, slots, "saved");
    EXPECT_EQ(hasher.free_ids(), free_ids);
    for (bool listed : {true, false}) {
      if (!listed) fs::remove(list_path());
      TokenHasher reopened = open(Access::ReadOnly);
      expect_holds(reopened, slots, listed ? "reopened" : "reopened without the list");
      EXPECT_EQ(reopened.free_ids(), free_ids);
    }
    // The writer puts the list back.
    open();
    EXPECT_TRUE(fs::exists(list_path()));
  }
}

// The list names the store it was made from by its size and a checksum of all of it: a store of
// the same size whose words moved is read whole instead, and so is one with a damaged list.
TEST_F(StoredWordsTest, AListNotMadeFromTheStoreIsNotUsed) {
  TokenHasher hasher = open();
  for (const char* text : {"apple", "pear", "plum"}) ASSERT_TRUE(hasher.add(text).ok());
  ASSERT_TRUE(hasher.flush().ok());
  const std::string list = read_bytes(list_path());
  // Same size, same first and last bytes: "pear" and "plum" swap slots.
  ASSERT_TRUE(hasher.delete_token(1).ok());
  ASSERT_TRUE(hasher.delete_token(2).ok());
  ASSERT_TRUE(hasher.add("pear").ok());
  ASSERT_TRUE(hasher.add("plum").ok());
  ASSERT_EQ(hasher.id_of("pear"), 2u);
  ASSERT_TRUE(hasher.flush().ok());
  const Slots swapped = {"apple", "plum", "pear"};
  const std::string current = read_bytes(list_path());
  ASSERT_EQ(current.size(), list.size());

  struct Case {
    const char* what;
    std::string bytes;
  };
  std::vector<Case> cases = {{"made from the store before", list},
                             {"cut short", current.substr(0, current.size() - 1)},
                             {"empty", ""}};
  for (size_t at : {size_t{0}, size_t{20}, current.size() - 2}) {
    std::string damaged = current;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
    cases.push_back({"with a flipped byte", damaged});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_bytes(list_path(), c.bytes);
    expect_holds(open(Access::ReadOnly), swapped, "by a reader");
    EXPECT_EQ(read_bytes(list_path()), c.bytes) << "a reader writes nothing";
    expect_holds(open(), swapped, "by the writer");
    EXPECT_EQ(read_bytes(list_path()), current) << "the writer makes the list anew";
  }
}

// A save with nothing changed writes nothing; a save after changes writes the store and the list.
TEST_F(StoredWordsTest, AnUnchangedDictionaryIsNotSavedAgain) {
  TokenHasher hasher = open();
  ASSERT_TRUE(hasher.add("apple").ok());
  ASSERT_TRUE(hasher.flush().ok());
  // A save puts a new file in place, by a rename.
  auto inode = [&](const char* name) {
    struct stat status{};
    EXPECT_EQ(::stat((index_dir() / name).c_str(), &status), 0);
    return status.st_ino;
  };
  const auto saved = inode(kTokensFileName);
  const auto listed = inode(kWordListFileName);
  ASSERT_TRUE(hasher.flush().ok());
  EXPECT_EQ(inode(kTokensFileName), saved);
  EXPECT_EQ(inode(kWordListFileName), listed);
  ASSERT_TRUE(hasher.add("pear").ok());
  ASSERT_TRUE(hasher.flush().ok());
  expect_holds(open(Access::ReadOnly), {"apple", "pear"}, "after the second save");
}

}  // namespace
}  // namespace tarnwick::inverted

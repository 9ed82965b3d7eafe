// Trie: every token text the dictionary knows, one character (Unicode scalar value) per edge,
// answering fuzzy lookups. `search` returns each stored token within a given edit distance of a
// query term, with that distance, by walking the trie depth-first while driving the term's
// Levenshtein automaton; a subtree is skipped as soon as the automaton dies on the way into it,
// so the cost follows the part of the trie the term keeps alive, not the number of tokens.
//
// Owns one LevenshteinAutomatonBuilder per distance 0 ... kMaxAutomatonDistance, built by the
// constructor, and every node. Lives in memory only and is rebuilt from the dictionary whenever
// the engine opens, so it is laid out for size: a node is 12 bytes, the children of a node sit in
// one array sorted by code point, searched by bisection and edited in place, and all arrays share
// one arena, so there is no allocation per node. The 102,485 distinct lower-cased words of a
// Debian English word list make 228,691 nodes in 2.9 MB, automaton tables included.
//
// Invariants: every node but the root holds a stored token or has children (deletion prunes the
// rest; see `add` for the one exception); the root never ends a token; sibling characters are
// strictly ascending. Texts that are not well-formed UTF-8 are never tokens: `add` and
// `delete_token` ignore them, and `search` finds nothing for them. No operation recurses, so
// tokens of any length are safe.
//
// Usage by the engine:
//   Trie trie;                         // builders for distances 0, 1, 2
//   trie.add("cart");                  // each token the dictionary knows or learns
//   trie.delete_token("cart");         // when the dictionary frees a token
//   for (const TrieMatch& m : trie.search("cat", 1)) ...  // {"car", 1}, {"cart", 1}, {"cat", 0}
//
// Thread safety: `search` is const and may run concurrently with other searches; `add`,
// `delete_token` and `init_automaton` need exclusive use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "utils/automaton.hpp"

namespace tarnwick::utils {

struct TrieMatch {
  std::string token;
  uint16_t distance = 0;  // Levenshtein distance to the query term, never above the one asked

  bool operator==(const TrieMatch&) const = default;
};

class Trie {
 public:
  // An empty trie with builders for every distance up to kMaxAutomatonDistance.
  Trie();

  // Builds the builder for `distance`, replacing one already there.
  // REQUIRES: distance <= kMaxAutomatonDistance.
  void init_automaton(uint8_t distance);

  // Stores `token`. The empty text, a token already stored and ill-formed UTF-8 change nothing.
  // Fails only for want of memory, with std::bad_alloc (also when the arena would need more than
  // 2^32 - 1 slots); the nodes made until then stay, holding no token, and no search sees them.
  void add(std::string_view token);

  // Removes `token` and every node left holding nothing. Nothing happens when it is not stored
  // (including when it is only a prefix of stored tokens).
  void delete_token(std::string_view token);

  // Every stored token whose Levenshtein distance to `term` is at most `distance`, each once with
  // its distance, in ascending order of code-point sequences (so a token precedes its
  // extensions). Lengths count characters, not bytes. Empty when there is no builder for
  // `distance` or `term` is not well-formed UTF-8.
  std::vector<TrieMatch> search(std::string_view term, uint8_t distance) const;

  // Stored tokens.
  size_t size() const { return size_; }
  // Nodes, the root included: one per distinct prefix of the stored tokens. Walks the trie.
  size_t node_count() const;

 private:
  // A node is its label and where its children are: `child_count` consecutive slots of `arena_`
  // from `children`, strictly ascending by code. Those slots are the first of a block whose
  // capacity class is kept in the label; a node without children has no block.
  struct Node {
    static constexpr uint32_t kCodeMask = (1u << 21) - 1;
    static constexpr uint32_t kClassShift = 21;
    static constexpr uint32_t kClassMask = 31u << kClassShift;
    static constexpr uint32_t kEndBit = 1u << 31;

    char32_t code() const { return label & kCodeMask; }
    uint32_t block_class() const { return (label & kClassMask) >> kClassShift; }
    bool is_end() const { return (label & kEndBit) != 0; }

    uint32_t children = 0;
    uint32_t child_count = 0;
    uint32_t label = 0;  // code of the edge into this node, block class, is_end
  };
  static constexpr uint32_t kRoot = UINT32_MAX;  // node id of root_; others are arena_ indices

  Node& node(uint32_t id) { return id == kRoot ? root_ : arena_[id]; }
  // The slot among the children of `parent` that holds `c`, or where it would be inserted.
  uint32_t lower_bound(const Node& parent, char32_t c) const;
  // Inserts a child for `c` at slot `at` among the children of node `id`, and gives its id.
  uint32_t insert_child(uint32_t id, uint32_t at, char32_t c);
  // Removes the child at slot `at` of node `id`. REQUIRES: that child has no children.
  void remove_child(uint32_t id, uint32_t at);
  // Moves the children of node `id` into a new block of `block_class`, those from slot `gap` on
  // one slot further along (gap = child_count moves them as they are), and releases the old block.
  // REQUIRES: the new block holds child_count + 1 slots when gap < child_count.
  void move_children(uint32_t id, uint32_t block_class, uint32_t gap);
  uint32_t allocate(uint32_t block_class);
  void release(uint32_t block, uint32_t block_class);

  Node root_;
  // Every child array, in blocks of 1 to 7 slots, then of 8, 16, 32, ... slots, so a node with
  // thousands of children (the root, over a CJK vocabulary) is not copied at every insertion.
  // A released block goes on the free list of its class (linked through its first slot's
  // `children`) and is reused before the arena grows; the arena never shrinks.
  std::vector<Node> arena_;
  std::array<uint32_t, 32> free_blocks_;
  std::array<std::optional<LevenshteinAutomatonBuilder>, kMaxAutomatonDistance + 1> builders_;
  size_t size_ = 0;
};

}  // namespace tarnwick::utils

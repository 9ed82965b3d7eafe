#include "utils/trie.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <new>
#include <utility>

#include <unicode/utf8.h>

#include "utils/code_point.hpp"
#include "utils/utf8.hpp"

namespace tarnwick::utils {

namespace {

constexpr uint32_t kNoBlock = UINT32_MAX;  // end of a free list

// Block classes: 0 is no block, 1 to 7 hold that many slots, 8 + m holds 8 << m slots.
uint32_t class_capacity(uint32_t block_class) {
  return block_class < 8 ? block_class : 8u << (block_class - 8);
}

// The smallest class holding `count` slots.
uint32_t class_for(uint32_t count) {
  return count < 8 ? count : 8 + static_cast<uint32_t>(std::countr_zero(std::bit_ceil(count))) - 3;
}

// The characters of a well-formed UTF-8 text; none when it is not well-formed.
std::optional<std::u32string> decode(std::string_view text) {
  if (check_utf8(text).has_value()) return std::nullopt;
  std::u32string chars;
  chars.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const CodePoint c = code_point_at(text, at);
    chars.push_back(static_cast<char32_t>(c.code));
    at = c.next;
  }
  return chars;
}

void append_utf8(std::string& out, char32_t c) {
  uint8_t bytes[U8_MAX_LENGTH];
  size_t length = 0;
  U8_APPEND_UNSAFE(bytes, length, static_cast<UChar32>(c));
  out.append(reinterpret_cast<const char*>(bytes), length);
}

}  // namespace

Trie::Trie() {
  free_blocks_.fill(kNoBlock);
  for (uint8_t distance = 0; distance <= kMaxAutomatonDistance; ++distance) {
    init_automaton(distance);
  }
}

void Trie::init_automaton(uint8_t distance) {
  assert(distance <= kMaxAutomatonDistance);
  if (distance < builders_.size()) builders_[distance].emplace(distance);
}

uint32_t Trie::lower_bound(const Node& parent, char32_t c) const {
  if (parent.child_count == 0) return 0;
  const Node* begin = arena_.data() + parent.children;
  const Node* end = begin + parent.child_count;
  return static_cast<uint32_t>(
      std::lower_bound(begin, end, c, [](const Node& n, char32_t x) { return n.code() < x; }) -
      begin);
}

uint32_t Trie::allocate(uint32_t block_class) {
  uint32_t& head = free_blocks_[block_class];
  if (head != kNoBlock) {
    const uint32_t block = head;
    head = arena_[block].children;
    return block;
  }
  const size_t capacity = class_capacity(block_class);
  // Slot indices, and kRoot above them, must fit 32 bits.
  if (arena_.size() + capacity >= kRoot) throw std::bad_alloc();
  const auto block = static_cast<uint32_t>(arena_.size());
  arena_.resize(arena_.size() + capacity);
  return block;
}

void Trie::release(uint32_t block, uint32_t block_class) {
  arena_[block].children = free_blocks_[block_class];
  free_blocks_[block_class] = block;
}

void Trie::move_children(uint32_t id, uint32_t block_class, uint32_t gap) {
  const uint32_t block = allocate(block_class);  // may move the arena: `node(id)` only after it
  Node& parent = node(id);
  const uint32_t count = parent.child_count;
  if (count > 0) {
    Node* from = arena_.data() + parent.children;
    Node* to = arena_.data() + block;
    std::copy(from, from + std::min(gap, count), to);
    if (gap < count) std::copy(from + gap, from + count, to + gap + 1);
    release(parent.children, parent.block_class());
  }
  parent.children = block;
  parent.label = (parent.label & ~Node::kClassMask) | block_class << Node::kClassShift;
}

uint32_t Trie::insert_child(uint32_t id, uint32_t at, char32_t c) {
  Node& parent = node(id);
  const uint32_t count = parent.child_count;
  if (count < class_capacity(parent.block_class())) {
    Node* first = arena_.data() + parent.children;
    std::copy_backward(first + at, first + count, first + count + 1);
  } else {
    move_children(id, class_for(count + 1), at);
  }
  Node& grown = node(id);
  arena_[grown.children + at] = Node{0, 0, static_cast<uint32_t>(c)};
  ++grown.child_count;
  return grown.children + at;
}

void Trie::remove_child(uint32_t id, uint32_t at) {
  Node& parent = node(id);
  Node* first = arena_.data() + parent.children;
  std::copy(first + at + 1, first + parent.child_count, first + at);
  const uint32_t count = --parent.child_count;
  const uint32_t capacity = class_capacity(parent.block_class());
  if (count == 0) {
    release(parent.children, parent.block_class());
    parent.children = 0;
    parent.label &= ~Node::kClassMask;
  } else if (capacity >= 16 && count * 4 <= capacity) {
    // A quarter full: halve the block twice over, leaving room to grow back without moving.
    move_children(id, class_for(count * 2), count);
  }
}

void Trie::add(std::string_view token) {
  const std::optional<std::u32string> chars = decode(token);
  if (!chars || chars->empty()) return;
  // On failure (out of memory) the nodes made so far stay without a token; no search sees them.
  uint32_t id = kRoot;
  for (char32_t c : *chars) {
    const Node& parent = node(id);
    const uint32_t at = lower_bound(parent, c);
    id = at < parent.child_count && arena_[parent.children + at].code() == c
             ? parent.children + at
             : insert_child(id, at, c);
  }
  Node& leaf = node(id);
  if (!leaf.is_end()) {
    leaf.label |= Node::kEndBit;
    ++size_;
  }
}

void Trie::delete_token(std::string_view token) {
  const std::optional<std::u32string> chars = decode(token);
  if (!chars || chars->empty()) return;
  // The deepest node on the path that stays whatever happens below it (the root, an end, or a
  // node with other children), and which of its slots the path takes. Below it the path is a
  // chain of single-child non-end nodes, removed whole when the token's node is left childless.
  uint32_t keep = kRoot;
  uint32_t keep_at = 0;
  uint32_t id = kRoot;
  for (char32_t c : *chars) {
    const Node& parent = node(id);
    const uint32_t at = lower_bound(parent, c);
    if (at == parent.child_count || arena_[parent.children + at].code() != c) return;
    if (id == kRoot || parent.is_end() || parent.child_count > 1) {
      keep = id;
      keep_at = at;
    }
    id = parent.children + at;
  }
  Node& leaf = node(id);
  if (!leaf.is_end()) return;
  leaf.label &= ~Node::kEndBit;
  --size_;
  if (leaf.child_count > 0) return;
  const Node top = arena_[node(keep).children + keep_at];
  for (Node below = top; below.child_count > 0;) {
    const uint32_t block = below.children;
    const uint32_t block_class = below.block_class();
    below = arena_[block];  // its only child; read before the release overwrites it
    release(block, block_class);
  }
  remove_child(keep, keep_at);
}

std::vector<TrieMatch> Trie::search(std::string_view term, uint8_t distance) const {
  std::vector<TrieMatch> matches;
  if (distance >= builders_.size() || !builders_[distance]) return matches;
  const std::optional<std::u32string> chars = decode(term);
  if (!chars) return matches;
  const LevenshteinAutomaton automaton = builders_[distance]->get(std::u32string_view(*chars));

  // One frame per node on the current path, the deepest last: the children still to visit.
  struct Frame {
    const Node* next;
    const Node* end;
    AutomatonState state;
    size_t prefix_bytes;  // length of `prefix` spelling the path to the frame's node
  };
  auto children_of = [this](const Node& n, AutomatonState state, size_t prefix_bytes) {
    const Node* first = n.child_count == 0 ? nullptr : arena_.data() + n.children;
    return Frame{first, first + n.child_count, state, prefix_bytes};
  };
  std::vector<Frame> path = {children_of(root_, automaton.start(), 0)};
  std::string prefix;
  while (!path.empty()) {
    Frame& frame = path.back();
    if (frame.next == frame.end) {
      path.pop_back();
      continue;
    }
    const Node& child = *frame.next++;
    const AutomatonState state = automaton.step(child.code(), frame.state);
    if (state.state_id == 0) continue;
    prefix.resize(frame.prefix_bytes);
    append_utf8(prefix, child.code());
    if (child.is_end() && automaton.is_accepting(state)) {
      matches.push_back(TrieMatch{prefix, automaton.match_distance(state)});
    }
    if (child.child_count > 0) path.push_back(children_of(child, state, prefix.size()));
  }
  return matches;
}

size_t Trie::node_count() const {
  size_t count = 1;
  std::vector<const Node*> pending = {&root_};
  while (!pending.empty()) {
    const Node* n = pending.back();
    pending.pop_back();
    count += n->child_count;
    for (uint32_t k = 0; k < n->child_count; ++k) pending.push_back(&arena_[n->children + k]);
  }
  return count;
}

}  // namespace tarnwick::utils

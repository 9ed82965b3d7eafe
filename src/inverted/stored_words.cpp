#include "inverted/stored_words.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "storage/codec/corruption.hpp"
#include "storage/codec/decoder.hpp"
#include "utils/checksum.hpp"
#include "utils/little_endian.hpp"

namespace tarnwick::inverted {

using storage::corrupt_data;
using storage::DecodeError;
using storage::DecodeResult;
using utils::checksum64;
using utils::fail;
using utils::get_le;
using utils::put_le;

namespace {

static_assert(std::endian::native == std::endian::little,
              "the word list holds its offsets as a little-endian host lays them out");

// "TWWORDS" and the format's version.
constexpr uint8_t kMagic[8] = {'T', 'W', 'W', 'O', 'R', 'D', 'S', 1};
constexpr size_t kHeaderSize = 64;
constexpr size_t kChecksummedHeader = 56;

// Reads the store's varints and texts at places the word list or the layout names, every read
// bounds-checked, the texts not checked as UTF-8 (the store they come from was, when it was
// read whole or written).
class StoreReader {
 public:
  StoreReader(std::span<const uint8_t> bytes, uint64_t at) : bytes_(bytes), at_(at) {}

  uint64_t at() const { return at_; }

  std::optional<uint64_t> varint() {
    if (at_ >= bytes_.size()) return std::nullopt;
    const uint8_t marker = bytes_[at_++];
    if (marker <= 250) return marker;
    if (marker > 0xFD) return std::nullopt;
    const size_t width = size_t{2} << (marker - 0xFB);  // 0xFB..0xFD: 2, 4, 8 bytes
    if (bytes_.size() - at_ < width) return std::nullopt;
    const uint64_t value = get_le(bytes_.data() + at_, width);
    at_ += width;
    return value;
  }
  std::optional<std::string_view> text() {
    const std::optional<uint64_t> length = varint();
    if (!length || *length > bytes_.size() - at_) return std::nullopt;
    const std::string_view text(reinterpret_cast<const char*>(bytes_.data() + at_), *length);
    at_ += *length;
    return text;
  }
  // A token_to_id entry: its text, then its id.
  std::optional<StoredWord> entry() {
    const std::optional<std::string_view> word = text();
    if (!word) return std::nullopt;
    const std::optional<uint64_t> id = varint();
    if (!id || *id > UINT32_MAX) return std::nullopt;
    return StoredWord{*word, static_cast<uint32_t>(*id)};
  }

 private:
  std::span<const uint8_t> bytes_;
  uint64_t at_;
};

// The checksum that closes the header: of its first bytes, then of the entries.
uint64_t header_checksum(std::span<const uint8_t> header, std::span<const uint8_t> entries) {
  return checksum64(entries, checksum64(header.first(kChecksummedHeader)));
}

}  // namespace

StoreStamp StoreStamp::of(std::span<const uint8_t> store) {
  return {store.size(), checksum64(store)};
}

std::span<const uint8_t> StoredWords::bytes() const {
  return store_ ? store_->bytes() : std::span<const uint8_t>();
}

// The store's fields must agree with each other: add and delete_token index the slots by the ids
// found in free_ids, so a store that breaks the invariants is refused rather than trusted. The
// token_to_id entries say again what the slots say; of entries repeating a text, the later one
// stands. Checked by sorting the entries: each text left must name the slot that holds it, and
// every filled slot must be named so.
DecodeResult<StoredWords> StoredWords::decode(std::shared_ptr<const utils::MappedFile> store) {
  const std::span<const uint8_t> bytes = store->bytes();
  if (bytes.size() > UINT32_MAX) return fail(corrupt_data("the token store is 4 GiB or more"));
  storage::WholeFileDecoder d{storage::WholeFileSource(bytes)};
  auto at = [&] { return bytes.size() - d.source().remaining(); };
  auto count = d.length();
  if (!count) return fail(std::move(count.error()));
  struct Entry {
    std::string_view text;
    uint32_t id;
    uint32_t offset;
  };
  std::vector<Entry> entries;
  entries.reserve(std::min<uint64_t>(*count, d.source().remaining()));
  for (uint64_t i = 0; i < *count; ++i) {
    const auto offset = static_cast<uint32_t>(at());
    auto text = d.string_view();
    if (!text) return fail(std::move(text.error()));
    auto id = d.u32();
    if (!id) return fail(std::move(id.error()));
    entries.push_back({*text, *id, offset});
  }
  StoreLayout layout{.id_to_token = at()};
  auto slot_count = d.length();
  if (!slot_count) return fail(std::move(slot_count.error()));
  std::vector<std::optional<std::string_view>> slots;
  slots.reserve(std::min<uint64_t>(*slot_count, d.source().remaining()));
  for (uint64_t i = 0; i < *slot_count; ++i) {
    auto tag = d.u8();
    if (!tag) return fail(std::move(tag.error()));
    if (*tag > 1) return fail(DecodeError(storage::UnexpectedVariant{*tag}));
    if (*tag == 0) {
      slots.emplace_back();
      continue;
    }
    auto text = d.string_view();
    if (!text) return fail(std::move(text.error()));
    slots.emplace_back(*text);
  }
  layout.slot_count = slots.size();
  layout.free_ids = at();
  auto free_ids = d.sequence<uint32_t>([](storage::WholeFileDecoder& e) { return e.u32(); });
  if (!free_ids) return fail(std::move(free_ids.error()));
  if (slots.size() > uint64_t{UINT32_MAX} + 1) return fail(corrupt_data("more slots than ids"));

  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.text < b.text; });
  // Of a run of equal texts, the last (the latest in the store) stands.
  std::vector<uint32_t> sorted;
  std::vector<bool> named(slots.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& entry = entries[i];
    if (i + 1 < entries.size() && entries[i + 1].text == entry.text) continue;
    if (entry.id >= slots.size() || slots[entry.id] != entry.text) {
      // Named by the slot that holds the text, if any.
      const auto holder = std::find(slots.begin(), slots.end(), entry.text);
      if (holder == slots.end()) return fail(corrupt_data("token_to_id names ids without a slot"));
      return fail(corrupt_data("slot " + std::to_string(holder - slots.begin()) +
                               " disagrees with token_to_id"));
    }
    named[entry.id] = true;
    sorted.push_back(entry.offset);
  }
  size_t filled = 0;
  for (size_t id = 0; id < slots.size(); ++id) {
    if (!slots[id]) continue;
    ++filled;
    if (named[id]) continue;
    // Unnamed: its text names another slot, or nothing.
    const bool elsewhere = std::binary_search(
        entries.begin(), entries.end(), Entry{*slots[id], 0, 0},
        [](const Entry& a, const Entry& b) { return a.text < b.text; });
    return fail(corrupt_data(elsewhere ? std::string("a token is in two slots")
                                       : "slot " + std::to_string(id) + " disagrees with token_to_id"));
  }
  std::vector<bool> listed(slots.size());
  for (uint32_t id : *free_ids) {
    if (id >= slots.size() || slots[id] || listed[id]) {
      return fail(corrupt_data("free id " + std::to_string(id) + " is not a free slot"));
    }
    listed[id] = true;
  }
  if (free_ids->size() != slots.size() - filled) {
    return fail(corrupt_data("free_ids misses free slots"));
  }

  StoredWords words;
  words.stamp_ = StoreStamp::of(bytes);
  words.store_ = std::move(store);
  words.layout_ = layout;
  words.sorted_owned_ = std::move(sorted);
  words.sorted_ = words.sorted_owned_;
  words.free_ = std::move(*free_ids);
  std::sort(words.free_.begin(), words.free_.end());
  return words;
}

std::optional<StoredWords> StoredWords::with_list(std::shared_ptr<const utils::MappedFile> store,
                                                  std::shared_ptr<const utils::MappedFile> list) {
  const std::span<const uint8_t> bytes = store->bytes();
  const std::span<const uint8_t> file = list->bytes();
  if (file.size() < kHeaderSize || !std::equal(std::begin(kMagic), std::end(kMagic), file.begin())) {
    return std::nullopt;
  }
  auto field = [&](size_t i) { return get_le(file.data() + 8 * i, 8); };
  const uint64_t count = field(3);
  const StoreLayout layout{.id_to_token = field(5), .free_ids = field(6), .slot_count = field(4)};
  if (field(1) != bytes.size() || bytes.size() > UINT32_MAX || count != (file.size() - kHeaderSize) / 4 ||
      file.size() != kHeaderSize + 4 * count || count > layout.slot_count ||
      layout.id_to_token > layout.free_ids || layout.free_ids > bytes.size() ||
      field(7) != header_checksum(file.first(kHeaderSize), file.subspan(kHeaderSize)) ||
      field(2) != checksum64(bytes)) {
    return std::nullopt;
  }
  // The list was made from these very bytes, which were whole then; its entries are only kept
  // within the token_to_id field, and every read from the store is bounds-checked besides.
  StoredWords words;
  words.sorted_ = {reinterpret_cast<const uint32_t*>(file.data() + kHeaderSize), count};
  if (std::any_of(words.sorted_.begin(), words.sorted_.end(),
                  [&](uint32_t offset) { return offset >= layout.id_to_token; })) {
    return std::nullopt;
  }
  if (StoreReader(bytes, layout.id_to_token).varint() != layout.slot_count) return std::nullopt;
  words.stamp_ = {bytes.size(), field(2)};
  words.store_ = std::move(store);
  words.layout_ = layout;
  words.list_ = std::move(list);
  words.free_ = words.free_ids();
  std::sort(words.free_.begin(), words.free_.end());
  return words;
}

std::string StoredWords::list_bytes(std::span<const uint8_t> store, const StoreLayout& layout,
                                    std::span<const uint32_t> sorted) {
  std::string out(std::begin(kMagic), std::end(kMagic));
  for (uint64_t value : {uint64_t{store.size()}, checksum64(store), uint64_t{sorted.size()},
                         layout.slot_count, layout.id_to_token, layout.free_ids}) {
    put_le(out, value, 8);
  }
  std::string entries;
  entries.reserve(4 * sorted.size());
  for (uint32_t offset : sorted) put_le(entries, offset, 4);
  put_le(out, header_checksum(utils::as_bytes(out), utils::as_bytes(entries)), 8);
  return out + entries;
}

std::string StoredWords::list_bytes() const { return list_bytes(bytes(), layout_, sorted_); }

StoredWord StoredWords::at(size_t i) const {
  StoreReader reader(bytes().first(layout_.id_to_token), sorted_[i]);
  return reader.entry().value_or(StoredWord{.text = {}, .id = kNoId});
}

std::optional<uint32_t> StoredWords::id_of(std::string_view word) const {
  size_t low = 0;
  size_t high = sorted_.size();
  while (low < high) {
    const size_t middle = low + (high - low) / 2;
    if (at(middle).text < word) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (low == sorted_.size()) return std::nullopt;
  const StoredWord found = at(low);
  if (found.text != word || found.id >= layout_.slot_count) return std::nullopt;
  return found.id;
}

const std::vector<uint32_t>& StoredWords::slot_words() const {
  if (slot_words_.size() != layout_.slot_count) {
    // A store cut short leaves the slots past the cut free.
    slot_words_.assign(layout_.slot_count, 0);
    walk_slots([&](uint32_t id, uint64_t text_at) {
      slot_words_[id] = static_cast<uint32_t>(text_at);
    });
  }
  return slot_words_;
}

std::optional<std::string_view> StoredWords::word(uint32_t id) const {
  if (!has(id)) return std::nullopt;
  return StoreReader(bytes(), slot_words()[id]).text();
}

void StoredWords::walk_slots(absl::FunctionRef<void(uint32_t id, uint64_t text_at)> visit) const {
  if (layout_.slot_count == 0) return;
  StoreReader reader(bytes().first(layout_.free_ids), layout_.id_to_token);
  reader.varint();
  for (uint64_t id = 0; id < layout_.slot_count; ++id) {
    const std::optional<uint64_t> tag = reader.varint();
    if (!tag) return;
    if (*tag == 0) {
      visit(static_cast<uint32_t>(id), 0);
      continue;
    }
    const uint64_t text_at = reader.at();
    if (!reader.text()) return;
    visit(static_cast<uint32_t>(id), text_at);
  }
}

void StoredWords::for_each_slot(
    absl::FunctionRef<void(uint32_t id, std::optional<std::string_view>)> visit) const {
  walk_slots([&](uint32_t id, uint64_t text_at) {
    visit(id, text_at == 0 ? std::nullopt : StoreReader(bytes(), text_at).text());
  });
}

std::vector<uint32_t> StoredWords::free_ids() const {
  std::vector<uint32_t> ids;
  if (!store_) return ids;
  StoreReader reader(bytes(), layout_.free_ids);
  const uint64_t count = reader.varint().value_or(0);
  ids.reserve(std::min<uint64_t>(count, bytes().size()));
  for (uint64_t i = 0; i < count; ++i) {
    const std::optional<uint64_t> id = reader.varint();
    if (!id || *id >= layout_.slot_count) break;
    ids.push_back(static_cast<uint32_t>(*id));
  }
  return ids;
}

}  // namespace tarnwick::inverted

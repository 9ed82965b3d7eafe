#include "storage/data_files.hpp"

#include <algorithm>

#include "utils/little_endian.hpp"

namespace tarnwick::storage {

bool DataFiles::read(const Document& record, std::vector<uint8_t>& block) {
  auto it = files_.find(record.segment.str());
  if (it == files_.end()) {
    if (files_.size() >= kFilesKept) {
      auto earlier = [](const auto& a, const auto& b) {
        return a.second.last_used < b.second.last_used;
      };
      files_.erase(std::ranges::min_element(files_, earlier));
    }
    auto data = open_data(record.segment);
    if (!data) return false;
    it = files_.emplace(record.segment.str(), Open{std::move(*data), 0}).first;
  } else if (!lies_within(record, it->second.data.size)) {
    // Blocks may have been appended since it was measured.
    if (auto size = it->second.data.file.size()) it->second.data.size = *size;
  }
  Open& open = it->second;
  open.last_used = ++reads_;
  if (!lies_within(record, open.data.size)) return false;
  block.resize(record.length);
  return open.data.file.read_exact_at(block, record.offset).ok();
}

void read_contents(std::span<Document> records, uint64_t budget, DataFiles& files) {
  std::vector<Document*> wanted;
  uint64_t total = 0;
  for (Document& record : records) {
    if (record.content || record.length < 4 || record.length > budget - total) continue;
    wanted.push_back(&record);
    total += record.length;
  }
  // A well-compressed text may be far longer than its block: its size prefix tells before it is
  // decompressed.
  std::vector<uint8_t> block;
  for (Document* record : wanted) {
    if (!files.read(*record, block) || utils::get_le(block.data(), 4) > budget) continue;
    if (auto text = decompress_block(block)) {
      budget -= text->size();
      record->content = std::move(*text);
    }
  }
}

}  // namespace tarnwick::storage

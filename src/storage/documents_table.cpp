// The live records of the document store, spread over the record table's rows and the records in
// memory, and the writing of the table.
#include <algorithm>
#include <limits>
#include <utility>

#include "storage/documents.hpp"
#include "storage/codec/corruption.hpp"
#include "utils/posting_hash.hpp"
#include "utils/ulid.hpp"

namespace tarnwick::storage {

namespace fs = std::filesystem;
using utils::fail;
using Status = DocumentsManager::Status;

namespace {

// The table is written again once it lacks this many records and an eighth of its rows, or
// kTableMaxTail records whatever their share: often enough that opening reads a bounded tail of
// entries, seldom enough that on a small collection rewriting it costs a bounded share of the
// writes.
constexpr uint64_t kTableMinChanges = 1024;
constexpr uint64_t kTableShareDivisor = 8;
constexpr uint64_t kTableMaxTail = 8192;

// The most memory the records held outside the table may take, in units of
// `documents_buffer_size`, and what one takes (the record, its token ids, its slot in the map),
// about: past it, an automatic save writes the table, whatever the size of the collection.
constexpr uint64_t kLooseRecordsBuffers = 16;
constexpr uint64_t kLooseRecordBytes = 512;

constexpr uint32_t kNoSegment = std::numeric_limits<uint32_t>::max();

}  // namespace

uint64_t DocumentsManager::live_count() const {
  return (table_ ? table_->rows.size() : 0) - gone_.size() + documents_.size();
}

const TableRow* DocumentsManager::live_row(uint128 id) const {
  // Ids past the table's largest, those of documents added since, are not looked up.
  if (!table_ || id > table_->totals.largest_id) return nullptr;
  const TableRow* row = table_->find(id);
  return row != nullptr && !gone_.contains(id) ? row : nullptr;
}

std::optional<uint32_t> DocumentsManager::live_token_count(uint128 id, size_t& cursor) const {
  if (auto it = documents_.find(id); it != documents_.end()) {
    return static_cast<uint32_t>(it->second.record.token_ids.size());
  }
  if (!table_) return std::nullopt;
  const TableRow* row = table_->find(id, cursor);
  if (row == nullptr || gone_.contains(id)) return std::nullopt;
  return row->token_count;
}

Document DocumentsManager::located(const TableRow& row) const {
  Document record;
  record.id = utils::ulid_to_bytes(row.id);
  record.segment = table_paths_[row.segment];
  record.offset = row.offset;
  record.length = row.length;
  record.total_tokens = row.total_tokens;
  return record;
}

std::optional<Document> DocumentsManager::locate(uint128 id) const {
  if (auto it = documents_.find(id); it != documents_.end()) {
    const Document& record = it->second.record;
    return Document{record.id,     record.content,      record.segment, record.offset,
                    record.length, record.total_tokens, {}};
  }
  if (const TableRow* row = live_row(id)) return located(*row);
  return std::nullopt;
}

utils::Result<Document, DocumentsManagerError> DocumentsManager::read_row(
    const TableRow& row, std::span<const uint8_t> meta) const {
  const SegmentPath& segment = table_paths_[row.segment];
  auto record = meta_entry_at(segment.str(), meta, row.meta_offset);
  if (!record) return record;
  if (record->id_value() != row.id || record->offset != row.offset ||
      record->length != row.length || record->total_tokens != row.total_tokens ||
      record->token_ids.size() != row.token_count) {
    return fail(corrupt_data("the record table disagrees with the entry at offset " +
                             std::to_string(row.meta_offset) + " of " +
                             (fs::path(segment.str()) / kSegmentMetaFileName).string()));
  }
  record->segment = segment;
  return record;
}

utils::Result<utils::MappedFile, utils::IoError> DocumentsManager::map_meta(
    uint32_t segment) const {
  // Only the entries asked for are read.
  return utils::MappedFile::open(fs::path(table_paths_[segment].str()) / kSegmentMetaFileName,
                                 utils::MappedFile::Pages::OnDemand);
}

utils::Result<Document, DocumentsManagerError> DocumentsManager::read_row(
    const TableRow& row) const {
  auto meta = map_meta(row.segment);
  if (!meta) return fail(std::move(meta.error()));
  return read_row(row, meta->bytes());
}

utils::Result<std::optional<Document>, DocumentsManagerError> DocumentsManager::read_record(
    uint128 id) const {
  if (auto it = documents_.find(id); it != documents_.end()) return {it->second.record};
  const TableRow* row = live_row(id);
  if (row == nullptr) return {std::nullopt};
  auto record = read_row(*row);
  if (!record) return fail(std::move(record.error()));
  return {std::move(*record)};
}

utils::Result<DocumentMap, DocumentsManagerError> DocumentsManager::live_records() const {
  DocumentMap records;
  records.reserve(live_count());
  for (const auto& [id, live] : documents_) records.emplace(id, live.record);
  if (!table_) return records;
  // Each segment's meta file is mapped once, when its first row is read.
  std::vector<std::optional<utils::MappedFile>> metas(table_paths_.size());
  for (const TableRow& row : table_->rows) {
    if (gone_.contains(row.id)) continue;
    auto& meta = metas[row.segment];
    if (!meta) {
      auto mapped = map_meta(row.segment);
      if (!mapped) return fail(std::move(mapped.error()));
      meta = std::move(*mapped);
    }
    auto record = read_row(row, meta->bytes());
    if (!record) return fail(std::move(record.error()));
    records.emplace(row.id, std::move(*record));
  }
  return records;
}

void DocumentsManager::count(const Document& record, int sign) {
  const uint128 id = record.id_value();
  uint64_t hashes = 0;
  for (uint32_t token_id : record.token_ids) hashes += utils::posting_hash(id, token_id);
  posting_sum_ += sign > 0 ? hashes : -hashes;
  total_tokens_ += sign > 0 ? record.total_tokens : -uint64_t{record.total_tokens};
}

void DocumentsManager::replace_live(const Document* old, Document&& record,
                                    uint64_t meta_offset) {
  const uint128 id = record.id_value();
  largest_id_ = std::max(largest_id_, id);
  if (old != nullptr) count(*old, -1);
  if (!documents_.contains(id) && live_row(id) != nullptr) gone_.insert(id);
  count(record, 1);
  documents_.insert_or_assign(id, LiveRecord{std::move(record), meta_offset});
}

void DocumentsManager::drop_live(const Document& record) {
  const uint128 id = record.id_value();
  if (documents_.erase(id) == 0) gone_.insert(id);
  count(record, -1);
}

utils::Result<std::optional<Document>, DocumentsManagerError> DocumentsManager::take_live(
    uint128 id) {
  auto record = read_record(id);
  if (record && *record) drop_live(**record);
  return record;
}

bool DocumentsManager::loose_records_full() const {
  const uint64_t budget = buffers(config_->documents_buffer_size, kLooseRecordsBuffers);
  return documents_.size() > budget / kLooseRecordBytes;
}

bool DocumentsManager::table_due() const {
  const uint64_t changes = documents_.size() + gone_.size();
  const uint64_t rows = table_ ? table_->rows.size() : 0;
  return changes >= kTableMinChanges &&
         (changes >= rows / kTableShareDivisor || changes >= kTableMaxTail);
}

void DocumentsManager::save_table(bool always) {
  if (!(always || table_due()) || !buffer_.data.empty() || !buffer_.meta.empty()) return;
  if (live_count() == 0) {
    // Nothing to read in place: an empty store loads as fast without one.
    std::error_code code;
    fs::remove(dir_ / kRecordTableFileName, code);
    if (!code) forget_table();
    return;
  }
  // The segments, oldest first, as their files stand: every record so far is in them.
  std::vector<std::pair<const std::string*, const Segment*>> order;
  for (const auto& [path, segment] : segments_) order.emplace_back(&path, &segment);
  std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
    return a.second->timestamp < b.second->timestamp;
  });
  std::vector<CoveredSegment> covered;
  absl::flat_hash_map<std::string, uint32_t> numbers;
  for (const auto& [path, segment] : order) {
    auto stamp = stamp_segment(*path, segment->deleted_bytes);
    if (!stamp) return;
    numbers.emplace(*path, static_cast<uint32_t>(covered.size()));
    covered.push_back(std::move(*stamp));
  }
  // The records in memory, in ascending id, merged with the rows still live.
  std::vector<std::pair<uint128, const LiveRecord*>> loose;
  loose.reserve(documents_.size());
  for (const auto& [id, live] : documents_) {
    if (live.record.length > std::numeric_limits<uint32_t>::max()) return;
    if (!numbers.contains(live.record.segment.str())) return;
    loose.emplace_back(id, &live);
  }
  std::sort(loose.begin(), loose.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  const std::span<const TableRow> rows = table_ ? table_->rows : std::span<const TableRow>();
  // The rows' segments as the new table numbers them; a merge removes a segment only once none
  // of its rows is live.
  std::vector<uint32_t> renumbered;
  for (const SegmentPath& path : table_paths_) {
    auto it = numbers.find(path.str());
    renumbered.push_back(it == numbers.end() ? kNoSegment : it->second);
  }
  // The old rows are read twice from front to back, and let go of as they are: the table would
  // otherwise come back into memory whole.
  const utils::MappedFile* old_file = table_ ? table_->file.get() : nullptr;
  auto row_bytes = [](const TableRow& row) {
    return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(&row), sizeof row);
  };
  {
    utils::ReleaseBehind release(old_file);
    for (const TableRow& row : rows) {
      if (renumbered[row.segment] == kNoSegment && !gone_.contains(row.id)) return;
      release.read(row_bytes(row));
    }
  }
  utils::ReleaseBehind release(old_file);
  size_t next_row = 0;
  size_t next_loose = 0;
  auto skip_gone = [&] {
    while (next_row < rows.size() && gone_.contains(rows[next_row].id)) ++next_row;
  };
  auto next = [&]() -> TableRow {
    skip_gone();
    if (next_loose == loose.size() ||
        (next_row < rows.size() && rows[next_row].id < loose[next_loose].first)) {
      release.read(row_bytes(rows[next_row]));
      TableRow row = rows[next_row++];
      row.segment = renumbered[row.segment];
      return row;
    }
    const auto& [id, live] = loose[next_loose++];
    const Document& record = live->record;
    return TableRow{id,
                    record.offset,
                    live->meta_offset,
                    static_cast<uint32_t>(record.length),
                    numbers.at(record.segment.str()),
                    record.total_tokens,
                    static_cast<uint32_t>(record.token_ids.size())};
  };
  const TableTotals totals{largest_id_, posting_sum_, total_tokens_};
  if (!write_record_table(dir_, covered, totals, live_count(), next)) return;
  auto written = read_record_table(dir_);
  if (!written) return;
  std::vector<SegmentPath> paths;
  for (const auto& [path, segment] : order) {
    paths.push_back(*path == current_.native() ? current_path_ : SegmentPath(*path));
  }
  table_ = std::move(written);
  table_paths_ = std::move(paths);
  gone_.clear();
  documents_.clear();
}

void DocumentsManager::forget_table() {
  table_.reset();
  table_paths_.clear();
  gone_.clear();
}

}  // namespace tarnwick::storage

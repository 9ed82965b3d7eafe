// The document store's life cycle: loading, writing through the buffer, deleting, flushing.
// The segment files are described in segment.cpp; compaction lives in merge.cpp.
#include "storage/documents.hpp"

#include <algorithm>
#include <system_error>
#include <utility>

#include "utils/lost_found.hpp"
#include "utils/ulid.hpp"

namespace tarnwick::storage {

namespace fs = std::filesystem;
using utils::fail;
using Status = DocumentsManager::Status;

DocumentsManager::DocumentsManager(fs::path dir, std::shared_ptr<const Config> config,
                                   utils::Clock clock)
    : dir_(std::move(dir)), config_(std::move(config)), clock_(std::move(clock)) {
  deleted_documents_.reserve(100);
}

Status DocumentsManager::write(uint128 id, uint32_t total_tokens, std::vector<uint32_t> token_ids,
                               std::string_view content) {
  const size_t start = buffer_.data.size();
  if (auto s = compress_block(content, buffer_.data); !s) return fail(std::move(s.error()));
  return record_buffered(id, total_tokens, std::move(token_ids), start);
}

Status DocumentsManager::write_block(uint128 id, uint32_t total_tokens,
                                     std::vector<uint32_t> token_ids, std::string_view block) {
  const size_t start = buffer_.data.size();
  buffer_.data.append(block);
  return record_buffered(id, total_tokens, std::move(token_ids), start);
}

Status DocumentsManager::record_buffered(uint128 id, uint32_t total_tokens,
                                         std::vector<uint32_t> token_ids, size_t start) {
  const uint64_t length = buffer_.data.size() - start;
  auto base = buffer_.segment_size(current_);
  if (!base) return fail(std::move(base.error()));
  auto meta_offset = buffer_.next_meta_offset(current_);
  if (!meta_offset) return fail(std::move(meta_offset.error()));
  Document record{utils::ulid_to_bytes(id), std::nullopt, current_path_, *base + start, length,
                  total_tokens, std::move(token_ids)};
  if (auto s = buffer_.write_meta(record); !s) return fail(std::move(s.error()));
  const uint64_t size = record.offset + length;
  // A new id is not live; add gives ids above every stored one.
  replace_live(nullptr, std::move(record), *meta_offset);
  // The document is written whatever this says; see the header.
  (void)save_buffer(size);
  return {};
}

Status DocumentsManager::save_buffer(uint64_t size) {
  if (auto it = segments_.find(current_.native()); it != segments_.end()) it->second.size = size;
  auto now = now_seconds();
  if (!now) return fail(std::move(now.error()));
  const bool time_due =
      *now >= last_save_ && *now - last_save_ >= config_->documents_save_after_seconds;
  if (buffer_.data.size() > config_->documents_buffer_size || time_due) {
    last_save_ = *now;
    if (auto s = write_out(); !s) return s;
    // Every record is in the segments' files now, as a record table needs: the records held in
    // memory go to one once they are many.
    if (loose_records_full()) save_table(true);
  }
  if (size > config_->segment_size) {
    if (auto s = write_out(); !s) return s;
    if (auto s = start_segment(); !s) return s;
    last_save_ = *now;
  }
  return {};
}

Status DocumentsManager::flush() {
  auto written = write_out();
  auto synced = sync_unsynced([](int) { return true; });
  if (!written) return written;
  if (!synced) return fail(std::move(synced.error()));
  return {};
}

utils::Status<utils::IoError> DocumentsManager::sync_deletions() {
  return sync_unsynced([](int rank) { return rank == kDeletionsRank; });
}

int DocumentsManager::sync_rank(const std::string& path) const {
  const fs::path name = fs::path(path).filename();
  if (name == kDataFileName) return 0;
  if (name == kSegmentMetaFileName) return 1;
  if (name == kDeletionFileName) return kDeletionsRank;
  return path == dir_.native() ? 4 : 3;  // a directory: its entries after what they name
}

utils::Status<utils::IoError> DocumentsManager::sync_unsynced(
    absl::FunctionRef<bool(int rank)> chosen) {
  std::vector<std::pair<int, std::string>> order;
  for (const std::string& path : unsynced_) {
    if (const int rank = sync_rank(path); chosen(rank)) order.emplace_back(rank, path);
  }
  std::sort(order.begin(), order.end());
  // A failed fsync is not retried (the kernel may already have dropped the pages), so every path
  // is tried once and the first error reported.
  std::optional<utils::IoError> sync_error;
  for (const auto& [rank, path] : order) {
    unsynced_.erase(path);
    if (auto s = utils::sync_path(path); !s && !sync_error) sync_error = std::move(s.error());
  }
  if (sync_error) return fail(std::move(*sync_error));
  return {};
}

Status DocumentsManager::delete_document(uint128 id) {
  auto record = read_record(id);
  if (!record) return fail(std::move(record.error()));
  if (!*record) return {};
  const std::string& segment = (*record)->segment.str();
  const uint64_t length = (*record)->length;
  if (auto s = append_deletion(segment, id, length); !s) return fail(std::move(s.error()));
  unsynced_.insert((fs::path(segment) / kDeletionFileName).native());
  if (auto it = segments_.find(segment); it != segments_.end()) it->second.deleted_bytes += length;
  drop_live(**record);
  deleted_documents_.insert_or_assign(id, std::move(**record));
  return {};
}

Document DocumentsManager::readable_copy(const Document& record) const {
  Document copy = record;
  if (copy.content || copy.segment != current_.native()) return copy;
  const auto tail = buffer_.unsaved_tail(copy.offset, copy.length);
  if (tail.empty()) return copy;
  // A flush that failed part way leaves the head of the block in the file.
  std::vector<uint8_t> block(copy.length - tail.size());
  if (!block.empty()) {
    auto data = utils::File::open_read(current_ / kDataFileName);
    // Unreadable, the copy reads the file again when asked, and reports what it finds.
    if (!data || !data->read_exact_at(block, copy.offset)) return copy;
  }
  block.insert(block.end(), tail.begin(), tail.end());
  if (auto text = decompress_block(block)) copy.content = std::move(*text);
  return copy;
}

void DocumentsManager::clear_deleted_documents() { deleted_documents_.clear(); }

utils::Result<uint64_t, DocumentsManagerError> DocumentsManager::now_seconds() const {
  const auto now = clock_();
  if (!now) return fail(ClockError{});
  return static_cast<uint64_t>(*now / utils::kNanosPerSecond);
}

Status DocumentsManager::write_out() {
  auto status = buffer_.append_to(current_);
  unsynced_.insert((current_ / kDataFileName).native());
  unsynced_.insert((current_ / kSegmentMetaFileName).native());
  if (!status) return fail(std::move(status.error()));
  return {};
}

Status DocumentsManager::start_segment() {
  auto created = create_segment(dir_, clock_);
  if (!created) return fail(std::move(created.error()));
  auto& [path, segment] = *created;
  unsynced_.insert(path.native());
  unsynced_.insert(dir_.native());
  segments_.insert_or_assign(path.native(), segment);
  current_ = std::move(path);
  current_path_ = SegmentPath(current_);
  return {};
}

}  // namespace tarnwick::storage

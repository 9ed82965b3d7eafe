// Moving blocks within the store: segment compaction, and rewriting a live document's record.
// Deleting a document only appends a deletion entry, so its block and meta entry stay in the
// segment until the segment is compacted: its live blocks are copied, byte for byte, through the
// buffer into the current segment (a new one, when the current segment is the one compacted),
// and the old directory is removed. A rewritten record goes the same way, with its block copied
// unchanged beside it.
#include <algorithm>
#include <span>
#include <system_error>
#include <utility>
#include <vector>

#include "storage/documents.hpp"

namespace tarnwick::storage {

namespace fs = std::filesystem;
using utils::fail;
using Status = DocumentsManager::Status;

namespace {

// A removed segment is first renamed to this, which the listing skips, so that a crash while its
// files are being removed never leaves a half-empty segment that would fail the next load.
fs::path removal_name(const fs::path& segment) {
  fs::path renamed = segment;
  renamed += kRemovalSuffix;
  return renamed;
}

}  // namespace

bool DocumentsManager::worth_compacting(const Segment& segment) const {
  if (segment.size == 0) return false;
  const double ratio =
      static_cast<double>(segment.deleted_bytes) / static_cast<double>(segment.size);
  return ratio >= config_->merge_deleted_ratio;
}

Status DocumentsManager::merge() {
  std::vector<std::pair<std::string, Segment>> snapshot(segments_.begin(), segments_.end());
  std::stable_sort(snapshot.begin(), snapshot.end(), [](const auto& a, const auto& b) {
    return a.second.timestamp < b.second.timestamp;
  });
  for (const auto& [path, segment] : snapshot) {
    if (path == current_.native() || !worth_compacting(segment)) continue;
    return compact(path);
  }
  const auto current = segments_.find(current_.native());
  // Copying a segment with nothing deleted would only move it.
  if (current == segments_.end() || current->second.deleted_bytes == 0 ||
      !worth_compacting(current->second)) {
    return {};
  }
  // Its buffered blocks go to its files, where the copying reads them; the copies go to a new
  // segment.
  if (auto s = write_out(); !s) return s;
  const fs::path old = current_;
  if (auto s = start_segment(); !s) return s;
  return compact(old);
}

Status DocumentsManager::compact(const fs::path& path) {
  if (auto s = copy_live_documents(path); !s) return s;
  // The copies reach the disk before their only other copy goes.
  if (auto s = flush(); !s) return s;
  if (auto s = remove_segment(path); !s) return s;
  // A table naming the removed segment no longer covers the files.
  save_table(true);
  return {};
}

Status DocumentsManager::copy_live_documents(const fs::path& path) {
  auto deletions = read_deletions(path);
  if (!deletions) return fail(std::move(deletions.error()));
  // The load cut torn tails off; one now means the files changed under the store.
  if (deletions->scan.torn()) return fail(utils::IoError::unexpected_eof());
  const SegmentPath segment(path);
  auto data = open_data(segment);
  if (!data) return fail(std::move(data.error()));
  auto scan = read_meta_entries(path, [&](Document&& document, uint64_t) -> Status {
    const uint128 id = document.id_value();
    // An entry that is not the live record is deleted, an older copy left by an interrupted
    // merge, or a record since rewritten (whose live copy may lie in this segment too).
    if (deletions->ids.contains(id)) return {};
    auto live = locate(id);
    if (!live || live->segment != path.native() || live->offset != document.offset) return {};
    document.segment = segment;  // where it lies, whatever path it was written under
    auto size = copy_document(document, data->file, data->size);
    if (!size) return fail(std::move(size.error()));
    return save_buffer(*size);
  });
  if (!scan) return fail(std::move(scan.error()));
  if (scan->torn()) return fail(utils::IoError::unexpected_eof());
  return {};
}

utils::Result<uint64_t, DocumentsManagerError> DocumentsManager::copy_document(
    const Document& document, const utils::File& data, uint64_t data_size,
    std::optional<std::vector<uint32_t>> token_ids) {
  // A length from the file is checked against the file before it sizes a buffer.
  if (document.offset > data_size || document.length > data_size - document.offset) {
    return fail(utils::IoError::unexpected_eof());
  }
  auto base = buffer_.segment_size(current_);
  if (!base) return fail(std::move(base.error()));
  auto meta_offset = buffer_.next_meta_offset(current_);
  if (!meta_offset) return fail(std::move(meta_offset.error()));
  const size_t start = buffer_.data.size();
  buffer_.data.resize(start + document.length);
  auto* block = reinterpret_cast<uint8_t*>(buffer_.data.data() + start);
  if (auto s = data.read_exact_at({block, document.length}, document.offset); !s) {
    buffer_.data.resize(start);
    return fail(std::move(s.error()));
  }
  Document copy = document;
  copy.segment = current_path_;
  if (token_ids) copy.token_ids = std::move(*token_ids);
  copy.offset = *base + start;
  if (auto s = buffer_.write_meta(copy); !s) return fail(std::move(s.error()));
  // The old block is now what a load counts it as: a superseded copy.
  if (auto old = segments_.find(document.segment.str()); old != segments_.end()) {
    old->second.deleted_bytes += document.length;
  }
  const uint64_t size = *base + buffer_.data.size();
  replace_live(&document, std::move(copy), *meta_offset);
  return size;
}

Status DocumentsManager::set_token_ids(uint128 id, std::vector<uint32_t> token_ids) {
  auto live = read_record(id);
  if (!live) return fail(std::move(live.error()));
  if (!*live) return {};
  const Document& record = **live;
  // A block still in the buffer is copied from its file like any other.
  if (record.segment == current_.native() && !buffer_.data.empty()) {
    if (auto s = write_out(); !s) return s;
  }
  auto data = open_data(record.segment);
  if (!data) return fail(std::move(data.error()));
  auto size = copy_document(record, data->file, data->size, std::move(token_ids));
  if (!size) return fail(std::move(size.error()));
  // The record is rewritten whatever this says, as for write.
  (void)save_buffer(*size);
  return {};
}

Status DocumentsManager::remove_segment(const fs::path& path) {
  data_files_.forget(path.native());
  const fs::path renamed = removal_name(path);
  std::error_code code;
  fs::rename(path, renamed, code);
  if (code) return fail(io_error_of(code, path));
  segments_.erase(path.native());
  for (const char* name : {kDataFileName, kSegmentMetaFileName, kDeletionFileName}) {
    unsynced_.erase((path / name).native());
  }
  unsynced_.erase(path.native());
  if (auto s = utils::sync_path(dir_); !s) return fail(std::move(s.error()));
  fs::remove_all(renamed, code);
  if (code) return fail(io_error_of(code, renamed));
  return {};
}

}  // namespace tarnwick::storage

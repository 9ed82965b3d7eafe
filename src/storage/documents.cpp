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

namespace {

// A segment directory found by the listing, before its records are read.
struct Listed {
  fs::path path;
  Segment segment;
};

// Whether the segment directory `path` lacks one of its files while the others hold nothing:
// what a crash leaves between creating a segment and creating its files (and what a reader sees
// of a segment that a merge removes meanwhile). Such a segment holds no record.
bool is_half_made(const fs::path& path) {
  bool missing = false;
  for (const char* name : {kDataFileName, kSegmentMetaFileName, kDeletionFileName}) {
    std::error_code code;
    const auto size = fs::file_size(path / name, code);
    if (code == std::errc::no_such_file_or_directory) {
      missing = true;
    } else if (code || size != 0) {
      return false;
    }
  }
  return missing;
}

// Measures a listed segment and collects its deletions; the writer cuts off a torn last entry.
utils::Result<Segment, utils::IoError> scan_segment(const fs::path& path, uint128 timestamp,
                                                    utils::IdSet& deleted, utils::Access access) {
  auto data = utils::File::open_read(path / kDataFileName);
  if (!data) return fail(std::move(data.error()));
  auto size = data->size();
  if (!size) return fail(std::move(size.error()));
  auto deletions = read_deletions(path);
  if (!deletions) return fail(std::move(deletions.error()));
  if (deletions->scan.torn() && access == utils::Access::ReadWrite) {
    auto cut = utils::cut_keeping_tail(path.parent_path(), path / kDeletionFileName,
                                       deletions->scan.whole);
    if (!cut) return fail(std::move(cut.error()));
  }
  deleted.insert(deletions->ids.begin(), deletions->ids.end());
  return Segment{timestamp, *size, deletions->bytes};
}

// The segment directories directly inside `dir`, in listing order. Their deleted ids go into
// `deleted`.
utils::Result<std::vector<Listed>, utils::IoError> list_segments(const fs::path& dir,
                                                                 utils::IdSet& deleted,
                                                                 utils::Access access) {
  std::vector<Listed> listed;
  std::error_code code;
  fs::directory_iterator it(dir, code);
  for (; !code && it != fs::directory_iterator(); it.increment(code)) {
    const auto status = it->symlink_status(code);
    if (code) return fail(io_error_of(code, it->path()));
    if (!fs::is_directory(status)) continue;  // files, and symbolic links to anything
    const auto timestamp = parse_segment_name(it->path().filename().native());
    if (!timestamp || is_half_made(it->path())) continue;
    auto segment = scan_segment(it->path(), *timestamp, deleted, access);
    if (!segment) return fail(std::move(segment.error()));
    listed.push_back({it->path(), *segment});
  }
  if (code) return fail(io_error_of(code, dir));
  return listed;
}

}  // namespace

DocumentsManager::DocumentsManager(fs::path dir, std::shared_ptr<const Config> config,
                                   utils::Clock clock)
    : dir_(std::move(dir)), config_(std::move(config)), clock_(std::move(clock)) {
  deleted_documents_.reserve(100);
}

utils::Result<DocumentsManager, DocumentsManagerError> DocumentsManager::load(
    const fs::path& dir, std::shared_ptr<const Config> config, utils::Clock clock,
    utils::Access access) {
  DocumentsManager store(dir, std::move(config), std::move(clock));
  std::error_code code;
  const bool exists = fs::exists(dir, code);
  if (code) return fail(io_error_of(code, dir));
  // An id listed in any deletion file is dead everywhere: a merge that stopped part way leaves a
  // document in two segments, and its deletion went to only one of them.
  utils::IdSet deleted;
  std::vector<Listed> listed;
  if (exists) {
    auto found = list_segments(dir, deleted, access);
    if (!found) return fail(std::move(found.error()));
    listed = std::move(*found);
  }
  // Oldest first, so that of a document found twice (a merge stopped before it removed the old
  // segment, or a record rewritten by set_token_ids) the copy in the newer segment is the one
  // kept; within one segment, the later entry.
  std::sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
    return a.segment.timestamp < b.segment.timestamp;
  });
  if (listed.empty()) {
    // A reader creates nothing: its store stays empty.
    if (access == utils::Access::ReadWrite) {
      fs::create_directories(dir, code);
      if (code) return fail(io_error_of(code, dir));
      if (auto s = store.start_segment(); !s) return fail(std::move(s.error()));
    }
  } else {
    store.current_ = listed.back().path;
    store.current_path_ = SegmentPath(store.current_);
    for (const Listed& entry : listed) {
      store.segments_.insert_or_assign(entry.path.native(), entry.segment);
    }
    // Of a deleted document found more than once, the last copy seen so far. Its deletion entry
    // counts the newest copy (the live record when it was deleted); the older ones are superseded
    // copies like those of a live document.
    utils::IdMap<std::pair<const Listed*, uint64_t>> dead_copies;
    for (const Listed& entry : listed) {
      const SegmentPath segment =
          entry.path == store.current_ ? store.current_path_ : SegmentPath(entry.path);
      auto scan = read_meta_entries(entry.path, [&](Document&& document) -> Status {
        const uint128 id = document.id_value();
        store.largest_id_ = std::max(store.largest_id_, id);
        if (deleted.contains(id)) {
          auto [it, first] = dead_copies.try_emplace(id, &entry, document.length);
          if (!first) {
            const auto& [segment, length] = it->second;
            store.segments_.at(segment->path.native()).deleted_bytes += length;
            it->second = {&entry, document.length};
          }
          return {};
        }
        // The record lives where its meta entry is, whatever path it was written under.
        document.segment = segment;
        auto [it, inserted] = store.documents_.try_emplace(id, std::move(document));
        if (!inserted) {
          // A copy superseded by this newer one is as good as deleted in its segment.
          store.segments_.at(it->second.segment.str()).deleted_bytes += it->second.length;
          it->second = std::move(document);
        }
        return {};
      });
      if (!scan) return fail(std::move(scan.error()));
      if (scan->torn() && access == utils::Access::ReadWrite) {
        auto cut = utils::cut_keeping_tail(dir, entry.path / kSegmentMetaFileName, scan->whole);
        if (!cut) return fail(std::move(cut.error()));
      }
    }
  }
  for (uint128 id : deleted) store.largest_id_ = std::max(store.largest_id_, id);
  auto now = store.now_seconds();
  if (!now) return fail(std::move(now.error()));
  store.last_save_ = *now;
  return store;
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
  Document record{utils::ulid_to_bytes(id), std::nullopt, current_path_, *base + start, length,
                  total_tokens, std::move(token_ids)};
  if (auto s = buffer_.write_meta(record); !s) return fail(std::move(s.error()));
  const uint64_t size = record.offset + length;
  documents_.insert_or_assign(id, std::move(record));
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
  auto it = documents_.find(id);
  if (it == documents_.end()) return {};
  const Document& record = it->second;
  if (auto s = append_deletion(record.segment.str(), id, record.length); !s) {
    return fail(std::move(s.error()));
  }
  unsynced_.insert((fs::path(record.segment.str()) / kDeletionFileName).native());
  if (auto segment = segments_.find(record.segment.str()); segment != segments_.end()) {
    segment->second.deleted_bytes += record.length;
  }
  deleted_documents_.insert_or_assign(id, std::move(it->second));
  documents_.erase(it);
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

// Loading the document store: listing its segments, then reading their records, through the
// record table when one covers them.
#include <algorithm>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "storage/documents.hpp"
#include "utils/lost_found.hpp"

namespace tarnwick::storage {

namespace fs = std::filesystem;
using utils::fail;
using Status = DocumentsManager::Status;

namespace {

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

// Whether `name` is that of a segment renamed for removal (kRemovalSuffix).
bool is_removed_segment(std::string_view name) {
  constexpr std::string_view suffix = kRemovalSuffix;
  return name.ends_with(suffix) &&
         parse_segment_name(name.substr(0, name.size() - suffix.size())).has_value();
}

}  // namespace

utils::Result<DocumentsManager, DocumentsManagerError> DocumentsManager::load(
    const fs::path& dir, std::shared_ptr<const Config> config, utils::Clock clock,
    utils::Access access) {
  DocumentsManager store(dir, std::move(config), std::move(clock));
  std::error_code code;
  const bool exists = fs::exists(dir, code);
  if (code) return fail(io_error_of(code, dir));
  // The segment directories directly inside `dir`, each measured.
  std::vector<Listed> listed;
  std::vector<fs::path> removed;
  fs::directory_iterator it(exists ? dir : fs::path(), code);
  for (; exists && !code && it != fs::directory_iterator(); it.increment(code)) {
    const auto status = it->symlink_status(code);
    if (code) return fail(io_error_of(code, it->path()));
    if (!fs::is_directory(status)) continue;  // files, and symbolic links to anything
    const std::string name = it->path().filename().native();
    if (is_removed_segment(name)) {
      removed.push_back(it->path());
      continue;
    }
    const auto timestamp = parse_segment_name(name);
    if (!timestamp || is_half_made(it->path())) continue;
    auto data = open_data(SegmentPath(it->path()));
    if (!data) return fail(std::move(data.error()));
    listed.push_back({it->path(), Segment{*timestamp, data->size, 0}});
  }
  if (exists && code) return fail(io_error_of(code, dir));
  // A merge renames a segment only once the copies of its documents are on disk, and removes it
  // next: one left renamed was cut short by a crash, and the writer finishes its removal. What
  // fails to go is tried again at the next opening.
  if (access == utils::Access::ReadWrite) {
    for (const fs::path& path : removed) {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
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
    bool loaded = false;
    if (auto table = read_record_table(dir)) {
      auto through = store.load_through_table(std::move(*table), listed, access);
      if (!through) return fail(std::move(through.error()));
      loaded = *through;
    }
    if (!loaded) {
      store.forget_records();
      if (auto s = store.load_all(listed, access); !s) return fail(std::move(s.error()));
    }
  }
  auto now = store.now_seconds();
  if (!now) return fail(std::move(now.error()));
  store.last_save_ = *now;
  return store;
}

void DocumentsManager::forget_records() {
  forget_table();
  documents_.clear();
  posting_sum_ = 0;
  total_tokens_ = 0;
  largest_id_ = 0;
  segments_.clear();
}

Status DocumentsManager::load_all(const std::vector<Listed>& listed, utils::Access access) {
  // An id listed in any deletion file is dead everywhere: a merge that stopped part way leaves a
  // document in two segments, and its deletion went to only one of them.
  utils::IdSet deleted;
  for (const Listed& entry : listed) {
    segments_.insert_or_assign(entry.path.native(), entry.segment);
    if (auto s = read_deleted(entry, 0, deleted, access); !s) return s;
  }
  DeadCopies dead;
  for (const Listed& entry : listed) {
    auto read = read_entries(entry, 0, deleted, dead, access);
    if (!read) return fail(std::move(read.error()));
  }
  for (uint128 id : deleted) largest_id_ = std::max(largest_id_, id);
  return {};
}

utils::Result<bool, DocumentsManagerError> DocumentsManager::load_through_table(
    RecordTable table, const std::vector<Listed>& listed, utils::Access access) {
  // Every segment the table covers is still there and begins with what it covers; the others
  // are newer than all of those. `covers[i]` is what it covers of `listed[i]`, if anything. A
  // table passed over is dropped again by forget_records.
  table_ = std::move(table);
  absl::flat_hash_map<std::string, const CoveredSegment*> by_name;
  for (const CoveredSegment& segment : table_->segments) by_name.emplace(segment.name, &segment);
  std::vector<const CoveredSegment*> covers;
  uint128 newest_covered = 0;
  for (const Listed& entry : listed) {
    auto it = by_name.find(entry.path.filename().native());
    const CoveredSegment* covered = it == by_name.end() ? nullptr : it->second;
    if (covered != nullptr) {
      if (!still_covers(entry.path, *covered)) return false;
      newest_covered = std::max(newest_covered, entry.segment.timestamp);
    }
    covers.push_back(covered);
  }
  const auto found = std::count_if(covers.begin(), covers.end(),
                                   [](const CoveredSegment* covered) { return covered != nullptr; });
  if (static_cast<size_t>(found) != table_->segments.size()) return false;
  for (size_t i = 0; i < listed.size(); ++i) {
    if (covers[i] == nullptr && listed[i].segment.timestamp <= newest_covered) return false;
  }

  for (const CoveredSegment& segment : table_->segments) {
    table_paths_.emplace_back(dir_ / segment.name);
  }
  posting_sum_ = table_->totals.posting_sum;
  total_tokens_ = table_->totals.total_tokens;
  largest_id_ = table_->totals.largest_id;
  // What the table covers is in it; only the entries after it are read.
  utils::IdSet deleted;
  for (size_t i = 0; i < listed.size(); ++i) {
    Segment segment = listed[i].segment;
    if (covers[i] != nullptr) segment.deleted_bytes = covers[i]->deleted_bytes;
    segments_.insert_or_assign(listed[i].path.native(), segment);
    const uint64_t from = covers[i] == nullptr ? 0 : covers[i]->deletions_size;
    if (auto s = read_deleted(listed[i], from, deleted, access); !s) return fail(std::move(s.error()));
  }
  DeadCopies dead;
  for (size_t i = 0; i < listed.size(); ++i) {
    const uint64_t from = covers[i] == nullptr ? 0 : covers[i]->meta_size;
    auto read = read_entries(listed[i], from, deleted, dead, access);
    if (!read) return fail(std::move(read.error()));
    if (!*read) return false;
  }
  for (uint128 id : deleted) {
    largest_id_ = std::max(largest_id_, id);
    auto taken = take_live(id);
    if (!taken) return fail(std::move(taken.error()));
  }
  return true;
}

Status DocumentsManager::read_deleted(const Listed& entry, uint64_t from, utils::IdSet& deleted,
                                      utils::Access access) {
  auto deletions = read_deletions(entry.path, from);
  if (!deletions) return fail(std::move(deletions.error()));
  if (deletions->scan.torn() && access == utils::Access::ReadWrite) {
    auto cut = utils::cut_keeping_tail(dir_, entry.path / kDeletionFileName, deletions->scan.whole);
    if (!cut) return fail(std::move(cut.error()));
  }
  deleted.insert(deletions->ids.begin(), deletions->ids.end());
  segments_.at(entry.path.native()).deleted_bytes += deletions->bytes;
  return {};
}

utils::Result<bool, DocumentsManagerError> DocumentsManager::read_entries(
    const Listed& entry, uint64_t from, const utils::IdSet& deleted, DeadCopies& dead,
    utils::Access access) {
  const SegmentPath segment =
      entry.path == current_ ? current_path_ : SegmentPath(entry.path);
  bool contradicted = false;
  auto scan = read_meta_entries(
      entry.path,
      [&](Document&& document, uint64_t at) -> Status {
        const uint128 id = document.id_value();
        largest_id_ = std::max(largest_id_, id);
        if (deleted.contains(id)) {
          // Its deletion entry counts the copy met last (the live one when it was deleted); the
          // others are superseded copies, like those of a live document.
          DeadCopy previous;
          if (auto it = dead.find(id); it != dead.end()) {
            previous = it->second;
          } else if (const TableRow* row = live_row(id)) {
            previous = {table_paths_[row->segment].str(), row->length};
          }
          if (!previous.segment.empty()) {
            segments_.at(previous.segment).deleted_bytes += previous.length;
          }
          dead.insert_or_assign(id, DeadCopy{entry.path.native(), document.length});
          return {};
        }
        // The record lives where its meta entry is, whatever path it was written under.
        document.segment = segment;
        std::optional<Document> old;
        if (auto it = documents_.find(id); it != documents_.end()) {
          old = it->second.record;
        } else if (const TableRow* row = live_row(id)) {
          auto read = read_row(*row);
          if (!read) return fail(std::move(read.error()));
          old = std::move(*read);
        } else if (table_ && id <= table_->totals.largest_id) {
          // Not live when the table was written, yet not new: deleted before it, say, which the
          // table no longer tells. Only reading every entry can say.
          contradicted = true;
          return fail(DocumentsManagerError{utils::IoError::unexpected_eof()});
        }
        // A copy superseded by this newer one is as good as deleted in its segment.
        if (old) segments_.at(old->segment.str()).deleted_bytes += old->length;
        replace_live(old ? &*old : nullptr, std::move(document), at);
        return {};
      },
      from);
  if (contradicted) return false;
  if (!scan) return fail(std::move(scan.error()));
  if (scan->torn() && access == utils::Access::ReadWrite) {
    auto cut = utils::cut_keeping_tail(dir_, entry.path / kSegmentMetaFileName, scan->whole);
    if (!cut) return fail(std::move(cut.error()));
  }
  return true;
}

}  // namespace tarnwick::storage

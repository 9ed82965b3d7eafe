// The protocol of compact_index, step by step (CompactionStep). I is `dir`/index, N is
// `dir`/index.new, O is `dir`/index.old.
//   RemoveLeftovers  N and O, left by an interrupted compaction, are removed with their files.
//   CreateNew        N is created, with the empty files `index` and `meta`.
//   WriteLogs        the records go to N/index and N/meta through a LogBuffer, appended every
//                    `buffer_bytes` of records: the lists in ascending token id, each list's
//                    postings in list order.
//   WriteTokens      N/tokens is written: the dictionary in the token store's encoding; and
//                    N/words, its word list.
//   SyncNew          the four files are fsynced, then N (its entries). From here N is complete
//                    on disk.
//   Swap             N and I exchange names in one step (renameat2, RENAME_EXCHANGE): I is the
//                    new directory, N the old one. Where the file system refuses the exchange
//                    (EINVAL, ENOSYS, EOPNOTSUPP), and with IndexSwap::TwoRenames, I is renamed
//                    to O instead,
//   PlaceNew         and then N to I.
//   SyncDir          `dir` is fsynced: the swap is durable.
//   RemoveOld        the old directory (N after an exchange, O after two renames) is removed.
//                    Nothing waits for the removal to be durable: recovery removes a leftover.
//
// What a crash leaves, and what recover_index_compaction makes of it (in every case it ends with
// I in place and neither N nor O beside it):
//   before Swap            I old; N absent, partial or complete      N removed: the old index
//   after an exchange      I new, N old                              N removed: the new index
//   between two renames    O old, N complete, no I                   N renamed to I: the new index
//   after PlaceNew         I new, O old                              O removed: the new index
// Until SyncDir a power loss may undo the swap (with two renames, both or the second alone), which
// gives an earlier row. O exists without I only between the two renames, when N is complete: O
// comes only from the first rename, which follows SyncNew, and RemoveLeftovers cleared any earlier
// O and N. Two states that no step leaves are recovered conservatively: O alone is renamed back
// to I, and N alone (no I, no O) is removed, since a directory never swapped in may be
// incomplete; I stays absent then, as it was. Recovery's renames are single atomic steps, so
// recovery interrupted and run again ends the same way.
//
// Readers. LogsReader::open takes both logs from one directory descriptor, so a reader gets the
// old logs or the new ones whole, never the meta log of one with the index log of the other, and
// what it mapped stays readable after the old directory is removed. A reader that opened the old
// directory just as its files were being removed fails to open one (NotFound) and, like any reader
// whose load failed, tries again. The token store, read by path, holds the same dictionary in both
// directories. With two renames there is a moment with no I, in which a reader finds no index.
#include "inverted/compaction.hpp"

#include <fcntl.h>
#include <stdio.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "inverted/log_format.hpp"
#include "inverted/log_writer.hpp"
#include "storage/codec/encoder.hpp"
#include "utils/file.hpp"

namespace tarnwick::inverted {

namespace fs = std::filesystem;
using utils::fail;
using utils::IoError;
using Error = BincodePersistenceError;
using Status = utils::Status<Error>;

namespace {

IoError io_error(std::error_code code, const fs::path& path) {
  return IoError::from_errno(code.value(), path);
}

utils::Result<bool, IoError> path_exists(const fs::path& path) {
  std::error_code code;
  const bool found = fs::exists(path, code);
  if (code) return fail(io_error(code, path));
  return found;
}

// Removes `path` with everything in it; nothing when it is absent.
utils::Status<IoError> remove_tree(const fs::path& path) {
  std::error_code code;
  fs::remove_all(path, code);
  if (code) return fail(io_error(code, path));
  return {};
}

utils::Status<IoError> rename_path(const fs::path& from, const fs::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return fail(IoError::from_errno(errno, from));
  return {};
}

// Exchanges the names of two existing entries in one step; false when the file system or the
// kernel does not offer the exchange.
utils::Result<bool, IoError> exchange(const fs::path& a, const fs::path& b) {
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) return true;
  if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return false;
  return fail(IoError::from_errno(errno, a));
}

utils::Status<IoError> sync_dir(const fs::path& dir) {
  return utils::sync_path(dir.empty() ? fs::path(".") : dir);
}

class Compaction {
 public:
  Compaction(const fs::path& dir, const CompactionOptions& options)
      : dir_(dir),
        live_(dir / inverted::kIndexDirName),
        new_(dir / kIndexNewDirName),
        old_(dir / kIndexOldDirName),
        options_(options) {}

  Status run(const LayeredIndex& index, const inverted::TokenHasher& tokens) {
    if (stops_before(CompactionStep::RemoveLeftovers)) return stopped();
    auto live = path_exists(live_);
    if (!live) return fail(Error{std::move(live.error())});
    if (!*live) return fail(Error{IoError::from_errno(ENOENT, live_)});
    for (const fs::path* leftover : {&new_, &old_}) {
      if (auto s = remove_tree(*leftover); !s) return fail(Error{std::move(s.error())});
    }
    // Until the swap a failure leaves the live directory alone and removes what was built.
    if (auto s = build(index, tokens); !s) {
      if (!stopped_) (void)remove_tree(new_);
      return s;
    }
    return swap();
  }

 private:
  bool stops_before(CompactionStep step) {
    stopped_ = options_.stop_before == step;
    return stopped_;
  }
  Status stopped() const { return fail(Error{IoError::from_errno(EINTR, dir_)}); }

  // CreateNew to SyncNew. The files stay open to be synced.
  Status build(const LayeredIndex& index, const inverted::TokenHasher& tokens) {
    if (stops_before(CompactionStep::CreateNew)) return stopped();
    std::error_code code;
    fs::create_directory(new_, code);
    if (code) return fail(Error{io_error(code, new_)});
    const fs::path paths[] = {new_ / kIndexLogName, new_ / kIndexMetaLogName,
                              new_ / inverted::kTokensFileName, new_ / inverted::kWordListFileName};
    std::vector<utils::File> files;
    for (const fs::path& path : {paths[0], paths[1]}) {
      auto file = utils::File::create_new(path);
      if (!file) return fail(Error{std::move(file.error())});
      files.push_back(std::move(*file));
    }

    if (stops_before(CompactionStep::WriteLogs)) return stopped();
    if (auto s = write_logs(index); !s) return fail(Error{std::move(s.error())});

    if (stops_before(CompactionStep::WriteTokens)) return stopped();
    // Encoded whole, as TokenHasher::flush does: one entry per token, small beside the logs. The
    // word list goes with the store, synced with it, so that the next opening reads it in place.
    const inverted::EncodedStore store = inverted::encode_tokens_store(tokens.words(), tokens.free_ids());
    const std::string list = store.list_bytes();
    for (const auto& [path, bytes] : {std::pair(paths[2], std::string_view(store.bytes)),
                                      std::pair(paths[3], std::string_view(list))}) {
      auto file = utils::File::create_new(path);
      if (!file) return fail(Error{std::move(file.error())});
      if (auto s = storage::write_encoded(*file, bytes); !s) return fail(Error{std::move(s.error())});
      files.push_back(std::move(*file));
    }

    if (stops_before(CompactionStep::SyncNew)) return stopped();
    for (size_t i = 0; i < files.size(); ++i) {
      if (auto s = files[i].sync(); !s) {
        return fail(Error{std::move(s.error()).with_path(paths[i])});
      }
    }
    if (auto s = utils::sync_path(new_); !s) return fail(Error{std::move(s.error())});
    return {};
  }

  // One Insert record per posting, lists in ascending token id, each in list order.
  utils::Status<IoError> write_logs(const LayeredIndex& index) {
    std::vector<std::pair<uint32_t, const PostingList*>> lists;
    lists.reserve(index.size());
    index.for_each([&](uint32_t token_id, const PostingList& list) {
      if (!list.empty()) lists.emplace_back(token_id, &list);
    });
    std::sort(lists.begin(), lists.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    LogBuffer buffer(new_);
    std::vector<uint32_t> positions;
    for (const auto& [token_id, list] : lists) {
      for (size_t i = 0; i < list->size(); ++i) {
        list->decode_positions(i, positions);
        const LogHeader header{token_id, static_cast<uint32_t>(i + 1), LogOperation::Insert};
        buffer.append_insert(header, list->doc_id(i), positions);
        if (buffer.pending_log_bytes() >= options_.buffer_bytes) {
          if (auto s = buffer.flush(); !s) return s;
        }
      }
    }
    return buffer.flush();
  }

  // Swap to RemoveOld.
  Status swap() {
    if (stops_before(CompactionStep::Swap)) return stopped();
    bool exchanged = false;
    if (options_.swap == IndexSwap::Exchange) {
      auto done = exchange(new_, live_);
      if (!done) return fail_building(std::move(done.error()));
      exchanged = *done;
    }
    if (!exchanged) {
      if (auto s = rename_path(live_, old_); !s) return fail_building(std::move(s.error()));
      if (stops_before(CompactionStep::PlaceNew)) return stopped();
      if (auto s = rename_path(new_, live_); !s) {
        // Put the old directory back; if that fails too, recovery puts the new one in place.
        if (rename_path(old_, live_)) (void)remove_tree(new_);
        return fail(Error{std::move(s.error())});
      }
    }
    if (stops_before(CompactionStep::SyncDir)) return stopped();
    if (auto s = sync_dir(dir_); !s) return fail(Error{std::move(s.error())});
    if (stops_before(CompactionStep::RemoveOld)) return stopped();
    if (auto s = remove_tree(exchanged ? new_ : old_); !s) return fail(Error{std::move(s.error())});
    return {};
  }

  // A failure before anything was swapped: the new directory goes.
  Status fail_building(IoError error) {
    (void)remove_tree(new_);
    return fail(Error{std::move(error)});
  }

  const fs::path& dir_;
  const fs::path live_, new_, old_;
  const CompactionOptions& options_;
  bool stopped_ = false;  // a test stopped the compaction: nothing is cleaned up
};

}  // namespace

Status compact_index(const fs::path& dir, const LayeredIndex& index, const inverted::TokenHasher& tokens,
                     const CompactionOptions& options) {
  return Compaction(dir, options).run(index, tokens);
}

utils::Status<IoError> recover_index_compaction(const fs::path& dir) {
  const fs::path live = dir / inverted::kIndexDirName;
  const fs::path built = dir / kIndexNewDirName;
  const fs::path old = dir / kIndexOldDirName;
  auto has_live = path_exists(live);
  if (!has_live) return fail(std::move(has_live.error()));
  if (!*has_live) {
    auto has_old = path_exists(old);
    if (!has_old) return fail(std::move(has_old.error()));
    auto has_built = path_exists(built);
    if (!has_built) return fail(std::move(has_built.error()));
    // O and N without I: stopped between the two renames, when N is complete. O alone goes back.
    // N alone may be incomplete, and is removed below.
    if (*has_old) {
      if (auto s = rename_path(*has_built ? built : old, live); !s) return s;
      if (auto s = sync_dir(dir); !s) return s;
    }
  }
  for (const fs::path* leftover : {&built, &old}) {
    if (auto s = remove_tree(*leftover); !s) return s;
  }
  return {};
}

}  // namespace tarnwick::inverted

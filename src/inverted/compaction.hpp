// Compaction of the inverted index on disk. The two logs (log_format.hpp) only grow: every
// delete adds records, so after churn they hold far more records than live postings. Compaction
// rewrites `dir`/index so that its logs hold exactly the in-memory index, one Insert record per
// posting, in the existing formats, so that the existing reader replays them unchanged:
//   the lists in ascending token id, each list's postings in list order with `count` 1, 2, ..., n;
//   the token store (`dir`/index/tokens) holding the dictionary as it is, the same ids and the
//   same free ids, since document records elsewhere name those ids.
// The same index always gives the same log bytes, the very bytes that a fresh engine inserting
// those postings in that order would write.
//
// The new directory is built beside the old one and swapped in, so that a crash at any moment
// leaves either the old complete directory or the new complete one, and a reader (another
// process reading the engine directory) sees one or the other whole. The protocol, and what is
// durable when, is described at the top of index_compaction.cpp.
//
// Only the writer compacts or recovers (it holds the writer lock): recover_index_compaction at
// open, before the token store and the index are loaded; compact_index whenever it chooses.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "inverted/layered_index.hpp"
#include "base/error_kinds.hpp"
#include "inverted/token_hasher.hpp"
#include "utils/io_error.hpp"
#include "utils/result.hpp"

namespace tarnwick::inverted {

// Beside `dir`/index: the directory being built, and (with two renames) the one being replaced.
inline constexpr char kIndexNewDirName[] = "index.new";
inline constexpr char kIndexOldDirName[] = "index.old";

// How the new directory takes the place of the old one.
enum class IndexSwap {
  // One atomic exchange of the two names (renameat2 with RENAME_EXCHANGE): `dir`/index always
  // names a complete directory. Where the file system refuses it, TwoRenames.
  Exchange,
  // `dir`/index becomes index.old, then index.new becomes `dir`/index. Between the two renames
  // there is no `dir`/index: a reader that opens the engine then finds no index (a read-only
  // IndexManager::load gives an empty one).
  TwoRenames,
};

// The steps of compact_index, in the order taken; the protocol at the top of
// index_compaction.cpp says what each does. PlaceNew is taken only with two renames.
enum class CompactionStep {
  RemoveLeftovers,
  CreateNew,
  WriteLogs,
  WriteTokens,
  SyncNew,
  Swap,
  PlaceNew,
  SyncDir,
  RemoveOld,
};

struct CompactionOptions {
  IndexSwap swap = IndexSwap::Exchange;
  // Index-log bytes gathered in memory before they are appended to the new log, with their meta
  // records: the memory the records take, whatever the size of the logs.
  uint64_t buffer_bytes = uint64_t{1} << 20;
  // For tests: compact_index returns just before this step, if it comes to it, leaving the
  // directories as a crash there would (nothing is cleaned up), and fails with Io Interrupted.
  std::optional<CompactionStep> stop_before;
};

// Rewrites `dir`/index so that its logs hold exactly `index` and its token store `tokens`'
// current dictionary. Leftovers of an interrupted compaction beside it are removed first.
//
// REQUIRES: the caller is the writer; `dir`/index exists; no log records are pending and the
// logs on disk replay to `index` (the caller flushed the index, so nothing is left in its
// LogBuffer); the dictionary's free ids are current (a flush of `tokens` settles them).
//
// Fails with Io (a step of the protocol; NotFound when `dir`/index is missing) or Encode (writing
// the token store). Whatever the failure, `dir`/index holds the old logs or the new ones, which
// replay to the same `index`: a failure before the new directory is in place leaves the old one
// there and removes what was built (a failed second rename first renames the old directory back);
// a failure after it (syncing `dir`, removing the old directory) leaves the new one, and the next
// compaction or recovery removes the old. The one exception: when the second rename and the
// renaming back both fail, there is no `dir`/index until recovery at the next open puts the new
// directory in place, and saves fail meanwhile. The writer's LogBuffer and TokenHasher address their
// files by path, so after a compaction their saves go to the new files.
utils::Status<BincodePersistenceError> compact_index(const std::filesystem::path& dir,
                                                     const LayeredIndex& index,
                                                     const inverted::TokenHasher& tokens,
                                                     const CompactionOptions& options = {});

// At open, in the writer, before the index and the token store are loaded: finishes or discards
// a compaction that a crash interrupted, so that `dir`/index is a complete directory (or absent,
// as it was) and nothing is left beside it. Does nothing when no compaction was interrupted.
// Fails with Io.
utils::Status<utils::IoError> recover_index_compaction(const std::filesystem::path& dir);

}  // namespace tarnwick::inverted

// Segment: one directory of the document store, named by its creation time, holding an
// append-only data file of compressed texts, a meta file of document records and a deletion
// file. This header reads and writes those files; DocumentsManager decides when.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "absl/functional/function_ref.h"
#include "base/error_kinds.hpp"
#include "storage/document.hpp"
#include "storage/segment_format.hpp"
#include "utils/clock.hpp"
#include "utils/ids.hpp"
#include "utils/io_error.hpp"
#include "utils/result.hpp"

namespace tarnwick::storage {

struct Segment {
  uint128 timestamp = 0;       // creation time in nanoseconds since the epoch; the directory name
  uint64_t size = 0;           // data-file bytes; for the current segment including the buffer
  uint64_t deleted_bytes = 0;  // sum of the `length` of the segment's deleted documents
};

// The timestamp a directory name stands for: an optional '+' and one or more decimal digits
// whose value fits in 128 bits ("+17" is 17, leading zeros allowed). Anything else is not a
// segment.
std::optional<uint128> parse_segment_name(std::string_view name);

// Creates `dir`/<now in nanoseconds> (0o777 before the umask; an existing directory of that name
// is an error) with its empty data, meta and deletion files. The segment is made under the name
// <now>.new, which is no segment name, and renamed into place once whole, so that a crash leaves
// either nothing or a whole segment; on failure the .new directory stays, ignored by loading.
utils::Result<std::pair<std::filesystem::path, Segment>, DocumentsManagerError> create_segment(
    const std::filesystem::path& dir, const utils::Clock& clock);

// How much of a file of fixed-size or length-prefixed entries is whole entries. A crash in the
// middle of an append leaves a shorter `whole` than `file_size`.
struct EntryScan {
  uint64_t whole = 0;
  uint64_t file_size = 0;
  bool torn() const { return whole < file_size; }
};

struct Deletions {
  utils::IdSet ids;
  uint64_t bytes = 0;  // sum of the listed lengths
  EntryScan scan;
};

// The entries of `segment`/"del" from offset `from` (a whole number of entries) on that are
// whole; `scan` counts from the start of the file. A file shorter than `from` is
// IoError::unexpected_eof().
utils::Result<Deletions, utils::IoError> read_deletions(const std::filesystem::path& segment,
                                                        uint64_t from = 0);

// Hands the record of every whole entry of `segment`/"meta" from offset `from` (the start of an
// entry) on to `on_document`, with the entry's offset, in file order; `from` past the end of the
// file is IoError::unexpected_eof(). The
// scan stops early, reporting a torn tail, only at an entry that may be an append cut short: its
// size prefix says more bytes than remain, and the bytes that remain fail to decode as a record
// for lack of bytes (and no sooner than that size allows). A damaged entry ends the scan with a
// Decode error (storage::corrupt_data) naming the file and the entry's offset: a record that does
// not decode or takes other than the bytes its size says, or a size past the end of the file
// followed by a whole record or by bytes that fail to decode otherwise. So does a failure of
// `on_document`, with its own error.
utils::Result<EntryScan, DocumentsManagerError> read_meta_entries(
    const std::filesystem::path& segment,
    absl::FunctionRef<utils::Status<DocumentsManagerError>(Document&&, uint64_t at)> on_document,
    uint64_t from = 0);

// The record of the whole meta entry at offset `at` of `meta`, the bytes of `segment`/"meta"; a
// Decode error naming the file and the offset when no whole entry is there.
utils::Result<Document, DocumentsManagerError> meta_entry_at(const std::filesystem::path& segment,
                                                             std::span<const uint8_t> meta,
                                                             uint64_t at);

// Appends one deletion entry to `segment`/"del" in a single write, without creating the file.
// A torn entry left by an earlier failed append is cut off first (kept in lost+found), so
// entries stay aligned.
utils::Status<utils::IoError> append_deletion(const std::filesystem::path& segment, uint128 id,
                                              uint64_t length);

// The I/O error of a failed std::filesystem call on `path`.
utils::IoError io_error_of(const std::error_code& code, const std::filesystem::path& path);

}  // namespace tarnwick::storage

// Document: the record of one stored document, as kept in memory by the document store and as
// written in the segment meta files. It locates the document's compressed text; the text itself
// is read from the segment's data file only when asked for.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "storage/codec/block.hpp"
#include "storage/codec/coding_errors.hpp"
#include "storage/codec/decoder.hpp"
#include "utils/file.hpp"
#include "utils/io_error.hpp"
#include "utils/result.hpp"

namespace tarnwick::storage {

// The path of a segment directory, as a string shared by the records that point into it: the
// records the store loads from one segment, or writes to it, hold one string between them rather
// than a copy each (a std::filesystem::path would also carry a parsed copy of its components).
class SegmentPath {
 public:
  SegmentPath();
  explicit SegmentPath(std::string path)
      : path_(std::make_shared<const std::string>(std::move(path))) {}
  explicit SegmentPath(const std::filesystem::path& path) : SegmentPath(path.native()) {}
  explicit SegmentPath(const char* path) : SegmentPath(std::string(path)) {}

  const std::string& str() const { return *path_; }

  friend bool operator==(const SegmentPath& a, const SegmentPath& b) {
    return a.path_ == b.path_ || *a.path_ == *b.path_;
  }
  friend bool operator==(const SegmentPath& a, std::string_view b) { return *a.path_ == b; }
  template <class Path>
    requires std::same_as<Path, std::filesystem::path>
  friend bool operator==(const SegmentPath& a, const Path& b) {
    return *a.path_ == b.native();
  }

 private:
  std::shared_ptr<const std::string> path_;
};

// Fields in encoding order; see document.cpp for the bytes.
struct Document {
  std::array<uint8_t, 16> id{};        // the ULID, most significant byte first
  std::optional<std::string> content;  // absent in the store; a cache for the Python object
  SegmentPath segment;                 // path of the segment directory holding the text
  uint64_t offset = 0;                 // of the size-prefixed block in that data file
  uint64_t length = 0;                 // of that block: 4 plus the compressed size
  uint32_t total_tokens = 0;           // tokens counted by the tokenizer
  std::vector<uint32_t> token_ids;     // distinct tokens, in the order the engine added them

  uint128 id_value() const;

  friend bool operator==(const Document&, const Document&) = default;
};

// Appends the record's encoding to `out`. A segment path that is not UTF-8 is written with
// U+FFFD in place of its ill-formed bytes.
utils::Status<EncodeError> encode_document(const Document& document, std::string& out);

// Decodes one record from the start of `bytes`; bytes after it are ignored. On success a
// non-null `used` receives the number of bytes the record took.
DecodeResult<Document> decode_document(std::span<const uint8_t> bytes, uint64_t* used = nullptr);

struct ContentError {
  std::variant<utils::IoError, DecompressError> detail;
};

// The document's text: `content` when present, otherwise its block read from
// `segment`/"data" at `offset` and decompressed. The bytes are not checked for UTF-8. A block
// that lies past the end of the data file is the unexpected-end error, found before any buffer
// of `length` bytes is made.
utils::Result<std::string, ContentError> read_content(const Document& document);

// The data file of `segment`, open for reading, and its size.
struct DataFile {
  utils::File file;
  uint64_t size;
};
utils::Result<DataFile, utils::IoError> open_data(const SegmentPath& segment);

// Whether the block of `record` lies within a data file of `size` bytes.
inline bool lies_within(const Document& record, uint64_t size) {
  return record.offset <= size && record.length <= size - record.offset;
}

}  // namespace tarnwick::storage

// A Document record in the record encoding, its fields in order with nothing between them:
//
//   id            16 bytes, the 128-bit id most significant byte first (a fixed array)
//   content       optional string: 00 when absent; 01, then a string
//   segment       string: varint byte length, then the path's UTF-8 bytes. Loading takes a
//                 record's segment from where its meta file lies, so this is only a note: a
//                 path that is not UTF-8 is written with U+FFFD for its ill-formed bytes.
//   offset        varint (u64)
//   length        varint (u64)
//   total_tokens  varint (u32)
//   token_ids     varint count, then one varint (u32) per id
//
// Varints are little-endian: one byte up to 250, else a marker 0xFB / 0xFC / 0xFD / 0xFE and 2, 4,
// 8 or 16 bytes (see encoder.hpp).
#include "storage/document.hpp"

#include "storage/codec/encoder.hpp"
#include "storage/segment_format.hpp"
#include "utils/file.hpp"
#include "utils/little_endian.hpp"
#include "utils/utf8.hpp"
#include "utils/ulid.hpp"

namespace tarnwick::storage {

using utils::fail;

SegmentPath::SegmentPath() {
  static const auto empty = std::make_shared<const std::string>();
  path_ = empty;
}

uint128 Document::id_value() const { return utils::ulid_from_bytes(id); }

utils::Status<EncodeError> encode_document(const Document& document, std::string& out) {
  Encoder encoder(out);
  encoder.bytes(document.id);
  encoder.optional_string(document.content);
  if (utils::check_utf8(document.segment.str())) {
    encoder.string(utils::lossy_utf8(document.segment.str()));
  } else {
    encoder.string(document.segment.str());
  }
  encoder.varint(document.offset);
  encoder.varint(document.length);
  encoder.varint(document.total_tokens);
  encoder.varint(document.token_ids.size());
  for (uint32_t token_id : document.token_ids) encoder.varint(token_id);
  return {};
}

DecodeResult<Document> decode_document(std::span<const uint8_t> bytes, uint64_t* used) {
  SliceDecoder decoder{SliceSource(bytes)};
  Document document;
  auto id = decoder.fixed<16>();
  if (!id) return fail(std::move(id.error()));
  document.id = *id;
  auto content = decoder.optional_string();
  if (!content) return fail(std::move(content.error()));
  document.content = std::move(*content);
  auto segment = decoder.string();
  if (!segment) return fail(std::move(segment.error()));
  document.segment = SegmentPath(std::move(*segment));
  auto offset = decoder.u64();
  if (!offset) return fail(std::move(offset.error()));
  document.offset = *offset;
  auto length = decoder.u64();
  if (!length) return fail(std::move(length.error()));
  document.length = *length;
  auto total_tokens = decoder.u32();
  if (!total_tokens) return fail(std::move(total_tokens.error()));
  document.total_tokens = *total_tokens;
  auto token_ids = decoder.sequence<uint32_t>([](SliceDecoder& d) { return d.u32(); });
  if (!token_ids) return fail(std::move(token_ids.error()));
  document.token_ids = std::move(*token_ids);
  if (used) *used = bytes.size() - decoder.source().remaining();
  return document;
}

utils::Result<DataFile, utils::IoError> open_data(const SegmentPath& segment) {
  auto file = utils::File::open_read(std::filesystem::path(segment.str()) / kDataFileName);
  if (!file) return fail(std::move(file.error()));
  auto size = file->size();
  if (!size) return fail(std::move(size.error()));
  return DataFile{std::move(*file), *size};
}

utils::Result<std::string, ContentError> read_content(const Document& document) {
  if (document.content) return *document.content;
  auto data = open_data(document.segment);
  if (!data) return fail(ContentError{std::move(data.error())});
  if (!lies_within(document, data->size)) {
    return fail(ContentError{utils::IoError::unexpected_eof()});
  }
  std::vector<uint8_t> block(document.length);
  if (auto s = data->file.read_exact_at(block, document.offset); !s) {
    return fail(ContentError{std::move(s.error())});
  }
  auto text = decompress_block(block);
  if (!text) return fail(ContentError{std::move(text.error())});
  return std::move(*text);
}

}  // namespace tarnwick::storage

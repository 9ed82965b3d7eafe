// The index log, `dir`/index/index: records end to end in the order written; no file header,
// version or checksum.
//   Insert record
//     offset 0, 1 byte    operation: 1
//     offset 1, 4 bytes   token_id, unsigned big-endian
//     offset 5, 4 bytes   count: the token's posting-list length after the insert, big-endian
//     offset 9, the rest  the posting in the record encoding (little-endian varints, see
//                         storage/encoder.hpp): doc_id (u128), the number of positions, then
//                         each position (u32)
//   Delete record: the same 9-byte header with operation 0 and count the length after the
//     removal; nothing follows.
// Bytes that no meta record points at (left by a save stopped between the two files) are ignored.
//
// The meta log, `dir`/index/meta: one 28-byte record per index-log record, in the same order.
//     offset 0, 16 bytes  doc_id, unsigned big-endian
//     offset 16, 8 bytes  offset of the record's header in the index log, unsigned big-endian
//     offset 24, 4 bytes  length of the whole record (9 for a Delete), unsigned big-endian
// A length that is not a multiple of 28 ends in a record cut short by an interrupted append, and
// whole records at the end that point past the end of the index log were appended after index-log
// bytes that a power loss did not keep: both are skipped (and cut off when the index loads).
#include "inverted/log_format.hpp"

namespace tarnwick::inverted {

void LogHeader::encode_into_vec(std::string& out) const {
  uint8_t bytes[kLogHeaderSize];
  encode_to(bytes);
  out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

uint8_t* LogHeader::encode_to(uint8_t* out) const {
  out[0] = static_cast<uint8_t>(operation);
  put_be(out + 1, token_id, 4);
  put_be(out + 5, count, 4);
  return out + kLogHeaderSize;
}

void LogMeta::encode_into_vec(std::string& out) const {
  uint8_t bytes[kLogMetaSize];
  put_be(bytes, doc_id, 16);
  put_be(bytes + 16, offset, 8);
  put_be(bytes + 24, length, 4);
  out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

LogMeta LogMeta::decode(const uint8_t* bytes) {
  return {get_be<uint128>(bytes), get_be<uint64_t>(bytes + 16), get_be<uint32_t>(bytes + 24)};
}

}  // namespace tarnwick::inverted

// Feeds arbitrary bytes to the record decoder, the document record decoder and the block
// decompressor; none may crash, read out of bounds or allocate beyond what the input justifies.
#include <cstddef>
#include <cstdint>
#include <span>

#include "storage/codec/block.hpp"
#include "storage/document.hpp"
#include "storage/codec/decoder.hpp"

namespace {

using tarnwick::storage::SliceDecoder;
using tarnwick::storage::SliceSource;

// Every value kind of the encoding, in the order the first input byte picks.
void decode_values(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  const uint8_t program = bytes[0];
  SliceDecoder d{SliceSource(bytes.subspan(1))};
  for (int step = 0; step < 64; ++step) {
    bool ok = true;
    switch ((program + step) % 9) {
      case 0: ok = d.u32().ok(); break;
      case 1: ok = d.u64().ok(); break;
      case 2: ok = d.u128().ok(); break;
      case 3: ok = d.string().ok(); break;
      case 4: ok = d.optional_string().ok(); break;
      case 5: ok = d.fixed<16>().ok(); break;
      case 6: ok = d.f64().ok(); break;
      case 7: ok = d.path().ok(); break;
      case 8: ok = d.sequence<uint32_t>([](auto& inner) { return inner.u32(); }).ok(); break;
    }
    if (!ok) return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  decode_values(bytes);
  (void)tarnwick::storage::decompress_block(bytes);
  (void)tarnwick::storage::decode_document(bytes);
  return 0;
}

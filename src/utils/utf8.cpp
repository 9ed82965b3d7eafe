#include "utils/utf8.hpp"

namespace tarnwick::utils {

namespace {

bool in(uint8_t b, uint8_t lo, uint8_t hi) { return b >= lo && b <= hi; }

}  // namespace

std::optional<Utf8Error> check_utf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const uint8_t lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The width of the sequence and the range its second byte must fall in, which rules out
    // overlong forms, surrogates and values above U+10FFFF.
    size_t width;
    uint8_t lo = 0x80, hi = 0xBF;
    if (in(lead, 0xC2, 0xDF)) {
      width = 2;
    } else if (in(lead, 0xE0, 0xEF)) {
      width = 3;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;
    } else if (in(lead, 0xF0, 0xF4)) {
      width = 4;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;
    } else {
      return Utf8Error{i, 1};
    }
    for (size_t k = 1; k < width; ++k) {
      if (i + k >= n) return Utf8Error{i, std::nullopt};
      const uint8_t b = bytes[i + k];
      const bool ok = k == 1 ? in(b, lo, hi) : in(b, 0x80, 0xBF);
      if (!ok) return Utf8Error{i, static_cast<uint8_t>(k)};
    }
    i += width;
  }
  return std::nullopt;
}

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (auto error = check_utf8(bytes)) {
    out.append(bytes.substr(0, error->valid_up_to));
    out.append("\xEF\xBF\xBD");
    // A sequence cut short by the end of the text is replaced whole.
    bytes.remove_prefix(error->valid_up_to + error->error_len.value_or(bytes.size() - error->valid_up_to));
  }
  out.append(bytes);
  return out;
}

}  // namespace tarnwick::utils

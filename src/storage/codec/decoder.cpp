#include "storage/codec/decoder.hpp"


#include <cstring>

namespace tarnwick::storage {

utils::Result<FileSource, DecodeError> FileSource::open(utils::File& file) {
  auto size = file.size();
  auto position = file.position();
  if (!size || !position) {
    auto error = size ? std::move(position.error()) : std::move(size.error());
    return utils::fail(DecodeError(DecodeIo{std::move(error), 1}));
  }
  return FileSource(file, *size > *position ? *size - *position : 0);
}

utils::Status<DecodeError> FileSource::read(std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    if (begin_ == end_) {
      auto n = file_->read_some(buffer_);
      if (!n) return utils::fail(DecodeError(DecodeIo{std::move(n.error()), out.size()}));
      if (*n == 0) return utils::fail(shortfall(out.size()));
      begin_ = 0;
      end_ = *n;
    }
    const size_t take = std::min(out.size() - done, end_ - begin_);
    std::memcpy(out.data() + done, buffer_.data() + begin_, take);
    begin_ += take;
    done += take;
  }
  remaining_ -= std::min<uint64_t>(remaining_, out.size());
  return {};
}

}  // namespace tarnwick::storage

#include "engine/search_meta.hpp"

#include <algorithm>
#include <cmath>
#include <system_error>

#include "storage/codec/decoder.hpp"
#include "storage/codec/encoder.hpp"
#include "utils/file.hpp"
#include "utils/replace_file.hpp"
#include "utils/save_clock.hpp"

namespace tarnwick::engine {

namespace fs = std::filesystem;
using utils::fail;
using Error = BincodePersistenceError;

namespace {

constexpr double kEmptyAverage = 1.0;

bool is_mean_length(double value) { return std::isfinite(value) && value >= 0; }

// The stored average; nothing for an empty file or one that does not hold a mean.
utils::Result<std::optional<double>, Error> read_average(const fs::path& path) {
  auto file = utils::File::open_read(path);
  if (!file) return fail(Error{std::move(file.error())});
  auto size = file->size();
  if (!size) return fail(Error{std::move(size.error())});
  if (*size == 0) return std::optional<double>();
  auto source = storage::FileSource::open(*file);
  if (!source) return fail(Error{std::move(source.error())});
  storage::FileDecoder decoder(std::move(*source));
  // A value that does not read is as good as none: the engine recomputes the mean at open.
  auto average = decoder.f64();
  if (!average || !is_mean_length(*average)) return std::optional<double>();
  return std::optional(*average);
}

}  // namespace

utils::Result<SearchMeta, Error> SearchMeta::open(const fs::path& dir,
                                                  std::shared_ptr<const Config> config,
                                                  utils::Clock clock, utils::Access access) {
  fs::path path = dir / kStatisticsFileName;
  std::error_code code;
  const bool exists = fs::exists(path, code);
  if (code) return fail(Error{utils::IoError::from_errno(code.value(), path)});
  std::optional<double> saved;
  if (exists) {
    auto stored = read_average(path);
    if (!stored) return fail(std::move(stored.error()));
    saved = *stored;
  } else if (access == utils::Access::ReadWrite) {
    if (auto file = utils::File::create(path); !file) return fail(Error{std::move(file.error())});
  }
  const auto now = utils::now_seconds(clock);
  if (!now) return fail(Error{ClockError{}});
  SearchMeta meta(std::move(path), std::move(config), std::move(clock), saved.value_or(kEmptyAverage), *now);
  meta.saved_ = saved;
  return meta;
}

SearchMeta::Status SearchMeta::update_avg_doc_len(uint64_t old_count, uint64_t new_count,
                                                  int64_t change) {
  if (new_count == 0) {
    avg_doc_len_ = kEmptyAverage;
  } else {
    const double total =
        avg_doc_len_ * static_cast<double>(old_count) + static_cast<double>(change);
    // Rounding may leave a hair below zero when every remaining document is empty.
    avg_doc_len_ = std::max(0.0, total / static_cast<double>(new_count));
  }
  const auto now = utils::now_seconds(clock_);
  if (!now) return fail(Error{ClockError{}});
  ++operations_;
  if (operations_ < config_->metadata_save_after_operations &&
      !utils::save_is_due(*now, last_save_, config_->metadata_save_after_seconds)) {
    return {};
  }
  if (auto saved = save(); !saved) return saved;
  operations_ = 0;
  last_save_ = *now;
  return {};
}

bool SearchMeta::recompute(uint64_t count, uint64_t total) {
  const double mean =
      count == 0 ? kEmptyAverage : static_cast<double>(total) / static_cast<double>(count);
  const bool moved = std::abs(mean - avg_doc_len_) > 1e-9 * std::max(1.0, mean);
  avg_doc_len_ = mean;
  return moved;
}

SearchMeta::Status SearchMeta::save() {
  if (saved_ == avg_doc_len_) return {};
  std::string bytes;
  storage::Encoder(bytes).f64(avg_doc_len_);
  auto replaced = utils::replace_file(path_, bytes);
  if (!replaced) return fail(Error::rewriting(std::move(replaced.error())));
  saved_ = avg_doc_len_;
  return {};
}

}  // namespace tarnwick::engine

#include "utils/lost_found.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "utils/file.hpp"

namespace tarnwick::utils {

namespace fs = std::filesystem;

namespace {

// A new file in `lost` for the tail of `file` cut at `offset`.
Result<std::pair<File, fs::path>, IoError> create_keeper(const fs::path& lost,
                                                         const fs::path& engine_dir,
                                                         const fs::path& file, uint64_t offset) {
  std::string name = file.lexically_relative(engine_dir).native();
  if (name.empty() || name.starts_with("..")) name = file.filename().native();
  std::replace(name.begin(), name.end(), '/', '.');
  name += '@';
  name += std::to_string(offset);
  for (int attempt = 0;; ++attempt) {
    std::string candidate = name;
    if (attempt > 0) {
      candidate += '-';
      candidate += std::to_string(attempt);
    }
    fs::path path = lost / candidate;
    auto created = File::create_new(path);
    if (created) return std::pair{std::move(*created), std::move(path)};
    if (created.error().kind != IoErrorKind::AlreadyExists) return fail(std::move(created.error()));
  }
}

}  // namespace

Status<IoError> cut_keeping_tail(const fs::path& engine_dir, const fs::path& file, uint64_t size) {
  auto source = File::open_read(file);
  if (!source) return fail(std::move(source.error()));
  auto length = source->size();
  if (!length) return fail(std::move(length.error()).with_path(file));
  if (*length <= size) return {};
  std::vector<uint8_t> tail(*length - size);
  if (auto s = source->read_exact_at(tail, size); !s) {
    return fail(std::move(s.error()).with_path(file));
  }

  const fs::path lost = engine_dir / kLostFoundDirName;
  std::error_code code;
  const bool created = fs::create_directory(lost, code);
  if (code) return fail(IoError::from_errno(code.value(), lost));
  auto keeper = create_keeper(lost, engine_dir, file, size);
  if (!keeper) return fail(std::move(keeper.error()));
  auto& [kept, kept_path] = *keeper;
  if (auto s = kept.write_all(tail); !s) return fail(std::move(s.error()).with_path(kept_path));
  if (auto s = kept.sync(); !s) return fail(std::move(s.error()).with_path(kept_path));
  if (auto s = sync_path(lost); !s) return s;
  if (created) {
    if (auto s = sync_path(engine_dir); !s) return s;
  }
  // Only now that the tail is safe elsewhere.
  if (::truncate(file.c_str(), static_cast<off_t>(size)) != 0) {
    return fail(IoError::from_errno(errno, file));
  }
  return {};
}

}  // namespace tarnwick::utils

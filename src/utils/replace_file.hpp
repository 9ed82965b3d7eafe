// replace_file: rewrites a whole file so that a crash at any moment leaves either the old
// contents or the new ones, never a mixture. The new contents go to `path` + ".tmp" in the same
// directory, which is synced and then renamed over `path`; the directory is synced last so that
// the rename itself survives a power loss.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "absl/functional/function_ref.h"
#include "utils/file.hpp"
#include "utils/io_error.hpp"
#include "utils/result.hpp"

namespace tarnwick::utils {

struct ReplaceFileError {
  enum class Step {
    Create,  // the temporary file could not be created
    Write,   // writing the contents failed; `written` bytes had reached the temporary file
    Commit,  // syncing or renaming failed
  };
  Step step;
  IoError error;
  uint64_t written = 0;
};

// On failure `path` keeps its old contents; a temporary file that could not be completed is
// removed (a failed removal is not reported). The error names the temporary file, `path` when
// the rename failed, or the directory when syncing it failed.
Status<ReplaceFileError> replace_file(const std::filesystem::path& path, std::string_view contents);

// The same, for contents that `write` writes into the temporary file, adding what reached it to
// `written` (for contents too large to hold in memory at once).
Status<ReplaceFileError> replace_file_with(
    const std::filesystem::path& path,
    absl::FunctionRef<Status<IoError>(File& file, size_t& written)> write);

}  // namespace tarnwick::utils

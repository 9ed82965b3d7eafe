#include "utils/replace_file.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "utils/file.hpp"

namespace tarnwick::utils {

namespace {

using Step = ReplaceFileError::Step;

ReplaceFileError failure(Step step, IoError error, uint64_t written = 0) {
  return {step, std::move(error), written};
}

// Writes and syncs the temporary file.
Status<ReplaceFileError> write_temporary(
    const std::filesystem::path& temporary,
    absl::FunctionRef<Status<IoError>(File& file, size_t& written)> write) {
  auto file = File::create(temporary);
  if (!file) return fail(failure(Step::Create, std::move(file.error())));
  size_t written = 0;
  if (auto s = write(*file, written); !s) {
    return fail(failure(Step::Write, std::move(s.error()).with_path(temporary), written));
  }
  if (auto s = file->sync(); !s) {
    return fail(failure(Step::Commit, std::move(s.error()).with_path(temporary)));
  }
  return {};
}

}  // namespace

Status<ReplaceFileError> replace_file(const std::filesystem::path& path, std::string_view contents) {
  return replace_file_with(path, [contents](File& file, size_t& written) {
    return file.write_all(as_bytes(contents), &written);
  });
}

Status<ReplaceFileError> replace_file_with(
    const std::filesystem::path& path,
    absl::FunctionRef<Status<IoError>(File& file, size_t& written)> write) {
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  auto written = write_temporary(temporary, write);
  if (written && std::rename(temporary.c_str(), path.c_str()) != 0) {
    written = fail(failure(Step::Commit, IoError::from_errno(errno, path)));
  }
  if (!written) {
    if (written.error().step != Step::Create) ::unlink(temporary.c_str());
    return written;
  }
  auto parent = path.parent_path();
  if (auto s = sync_path(parent.empty() ? "." : parent); !s) {
    return fail(failure(Step::Commit, std::move(s.error())));
  }
  return {};
}

}  // namespace tarnwick::utils

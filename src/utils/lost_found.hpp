// Cutting a file short when its tail looks like an append that a crash interrupted. The guess
// may be wrong (damage can look like a torn tail), so the bytes cut are first copied, and
// synced, to `engine_dir`/lost+found/: a cut never destroys what may still be read by hand.
//
// A kept tail is named after the file's path below the engine directory, with '/' as '.', and the
// offset it was cut at: "1700000000000000000.meta@440", "index.meta@5432"; a second cut of the
// same name at the same offset gets "-1", "-2", ... appended. The engine reads nothing in
// lost+found/.
#pragma once

#include <cstdint>
#include <filesystem>

#include "utils/io_error.hpp"
#include "utils/result.hpp"

namespace tarnwick::utils {

inline constexpr char kLostFoundDirName[] = "lost+found";

// Shortens `file`, which lies below `engine_dir`, to `size` bytes, after keeping the bytes past
// `size`. Nothing is cut when keeping them fails. REQUIRES: size <= the file's size.
Status<IoError> cut_keeping_tail(const std::filesystem::path& engine_dir,
                                 const std::filesystem::path& file, uint64_t size);

}  // namespace tarnwick::utils

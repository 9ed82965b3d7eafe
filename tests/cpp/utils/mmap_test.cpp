#include "utils/mmap.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "temp_dir.hpp"
#include "test_files.hpp"

namespace tarnwick::utils {
namespace {

// Released pages leave memory, not the mapping: reading them again reads the file.
TEST(MappedFile, ReleasedPagesReadTheFileAgain) {
  test_support::TempDir dir;
  const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  std::string contents(3 * page + 100, '\0');
  for (size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 7 % 251);
  test_support::write_bytes(dir.path() / "file", contents);
  auto mapped = MappedFile::open(dir.path() / "file");
  ASSERT_TRUE(mapped.ok());
  const std::span<const uint8_t> bytes = mapped->bytes();
  for (auto part : {bytes, bytes.subspan(10, page), bytes.subspan(page + 1, 20), bytes.last(50)}) {
    mapped->release(part);
    ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(),
                           reinterpret_cast<const uint8_t*>(contents.data())));
  }
  // Memory of its own that a caller hands over by mistake is not the mapping's to give back.
  const std::vector<uint8_t> own(4 * page, 1);
  mapped->release(own);
  EXPECT_EQ(std::count(own.begin(), own.end(), 1), static_cast<ptrdiff_t>(own.size()));
}

}  // namespace
}  // namespace tarnwick::utils

// Damaged files and failing file systems: the store gives a clean error, or for the torn tail of
// an interrupted append a clean open, and never allocates what the bytes cannot justify.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include "storage/documents.hpp"
#include "store_fixture.hpp"
#include "utils/ulid.hpp"

namespace tarnwick::storage {
namespace {

namespace fs = std::filesystem;
using testing::be64;
using testing::describe;
using testing::read_bytes;
using testing::id;
using testing::io_kind;
using testing::write_bytes;
using testing::text;

class DocumentsFaults : public testing::StoreTest {
 protected:
  // Writes and flushes documents 1..count; gives the current segment.
  fs::path prepare(int count) {
    auto store = open();
    EXPECT_TRUE(store);
    if (!store) return {};
    for (int n = 1; n <= count; ++n) write(*store, n);
    flush(*store);
    return store->current();
  }

  void expect_load_fails(DocumentsManagerError::Kind kind, const std::string& text) {
    auto store = load();
    ASSERT_FALSE(store.ok());
    EXPECT_EQ(store.error().kind(), kind);
    EXPECT_EQ(describe(store.error()), text);
  }

  // The error names the file or directory at fault.
  void expect_load_io_error(utils::IoErrorKind kind, const fs::path& path) {
    auto store = load();
    ASSERT_FALSE(store.ok());
    EXPECT_EQ(io_kind(store.error()), kind) << describe(store.error());
    const auto* io = std::get_if<utils::IoError>(&store.error().detail);
    ASSERT_NE(io, nullptr);
    EXPECT_EQ(io->path, path);
  }
};

// What describe() gives for the load error of a damaged entry of `meta` at `offset`.
std::string damaged(const fs::path& meta, uint64_t offset, const std::string& what) {
  return "Decode: Io { inner: Error { kind: InvalidData, message: \"damaged meta file " +
         meta.string() + ": the entry at offset " + std::to_string(offset) + ": " + what +
         "\" }, additional: 0 }";
}

// The byte offsets at which the meta file's entries end.
std::vector<uint64_t> entry_ends(const std::string& meta) {
  std::vector<uint64_t> ends;
  for (uint64_t at = 0; at < meta.size();) {
    at += 8 + testing::get_be64_of(meta, at);
    ends.push_back(at);
  }
  return ends;
}

TEST_F(DocumentsFaults, MetaCutAtAnyLengthOpensWithTheWholeEntries) {
  const fs::path segment = prepare(3);
  const std::string meta = read_bytes(segment / "meta");
  const auto ends = entry_ends(meta);
  ASSERT_EQ(ends.size(), 3u);
  for (uint64_t cut = 0; cut < meta.size(); ++cut) {
    write_bytes(segment / "meta", meta.substr(0, cut));
    auto store = open();
    ASSERT_TRUE(store) << cut;
    const auto whole = static_cast<size_t>(std::upper_bound(ends.begin(), ends.end(), cut) -
                                           ends.begin());
    EXPECT_EQ(live(*store).size(), whole) << cut;
    // The torn entry is cut off, so later appends follow the last whole one.
    EXPECT_EQ(read_bytes(segment / "meta"), meta.substr(0, whole ? ends[whole - 1] : 0)) << cut;
  }
}

TEST_F(DocumentsFaults, DeletionFileCutAtAnyLengthKeepsTheWholeEntries) {
  const fs::path segment = prepare(3);
  {
    auto store = open();
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->delete_document(id(1)).ok());
    ASSERT_TRUE(store->delete_document(id(2)).ok());
  }
  const std::string del = read_bytes(segment / "del");
  ASSERT_EQ(del.size(), 48u);
  for (size_t cut = 0; cut < del.size(); ++cut) {
    write_bytes(segment / "del", del.substr(0, cut));
    auto store = open();
    ASSERT_TRUE(store) << cut;
    EXPECT_EQ(live(*store).size(), 3 - cut / 24) << cut;
    EXPECT_EQ(read_bytes(segment / "del"), del.substr(0, cut - cut % 24)) << cut;
  }
  // A torn entry that appears while the store is open is cut off by the next append.
  auto store = open();
  ASSERT_TRUE(store);
  write_bytes(segment / "del", del.substr(0, 30));
  ASSERT_TRUE(store->delete_document(id(3)).ok());
  const auto id_bytes = utils::ulid_to_bytes(id(3));
  EXPECT_EQ(read_bytes(segment / "del"),
            del.substr(0, 24) + std::string(id_bytes.begin(), id_bytes.end()) +
                be64(store->deleted_documents().at(id(3)).length));
}

TEST_F(DocumentsFaults, HugeDeclaredSizeInTheLastEntryIsATornTail) {
  const fs::path segment = prepare(1);
  const std::string meta = read_bytes(segment / "meta");
  write_bytes(segment / "meta", meta + be64(UINT64_MAX) + "some bytes");
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_EQ(live(*store).size(), 1u);
  EXPECT_EQ(read_bytes(segment / "meta"), meta);
}

TEST_F(DocumentsFaults, WholeEntryThatDoesNotDecodeFailsTheLoadAndChangesNothing) {
  const fs::path segment = prepare(2);
  const std::string meta = read_bytes(segment / "meta");
  struct Case {
    std::string meta;
    std::string error;
  };
  std::string bad_option = meta;
  bad_option[8 + 16] = 2;  // the first record's content marker
  const std::string id_bytes(16, 'i');
  const fs::path file = segment / "meta";
  const auto first = [&](uint64_t size, const std::string& error) {
    return damaged(file, 0,
                   "its record of " + std::to_string(size) + " bytes does not decode: " + error);
  };
  const std::vector<Case> cases = {
      {bad_option,
       first(testing::get_be64_of(meta, 0),
             "UnexpectedVariant { type_name: \"core::option::Option<alloc::string::String>\", "
             "allowed: Range { min: 0, max: 1 }, found: 2 }")},
      // Garbage that fits its declared size.
      {be64(5) + "\xFF\xFF\xFF\xFF\xFF" + meta, first(5, "UnexpectedEnd { additional: 11 }")},
      // A path length far beyond the record.
      {be64(26) + id_bytes + std::string("\x00\xFD", 2) + std::string(8, '\x7F') + meta,
       first(26, "UnexpectedEnd { additional: 9187201950435737471 }")},
      // 2^64 - 1 token ids declared, none present.
      {be64(31) + id_bytes + std::string("\x00\x01x\x00\x00\x00\xFD", 7) +
           std::string(8, '\xFF') + meta,
       first(31, "UnexpectedEnd { additional: 1 }")},
  };
  for (const Case& c : cases) {
    write_bytes(segment / "meta", c.meta);
    expect_load_fails(DocumentsManagerError::Kind::Decode, c.error);
    EXPECT_EQ(read_bytes(segment / "meta"), c.meta);
  }
}

// The meta file with the size prefix of the entry at `offset` replaced by `size`.
std::string with_size_at(std::string meta, uint64_t offset, uint64_t size) {
  meta.replace(offset, 8, be64(size));
  return meta;
}

TEST_F(DocumentsFaults, DamagedSizePrefixFailsTheLoadAndChangesNothing) {
  const fs::path segment = prepare(3);
  const fs::path file = segment / "meta";
  const std::string meta = read_bytes(file);
  const auto ends = entry_ends(meta);
  ASSERT_EQ(ends.size(), 3u);
  const uint64_t first = ends[0] - 8;  // the first record's size
  const uint64_t second = ends[1] - ends[0] - 8;
  const auto larger_than_left = [&](uint64_t offset, uint64_t size, uint64_t record) {
    return damaged(file, offset,
                   "its size says " + std::to_string(size) + " bytes, more than the " +
                       std::to_string(meta.size() - offset - 8) +
                       " left in the file, but a whole record of " + std::to_string(record) +
                       " bytes follows");
  };
  const auto too_short = [&](uint64_t offset, uint64_t size, uint64_t missing) {
    return damaged(file, offset,
                   "its record of " + std::to_string(size) +
                       " bytes does not decode: UnexpectedEnd { additional: " +
                       std::to_string(missing) + " }");
  };
  struct Case {
    const char* name;
    std::string meta;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"far larger than the file", with_size_at(meta, 0, UINT64_MAX),
       larger_than_left(0, UINT64_MAX, first)},
      {"larger than the file", with_size_at(meta, 0, meta.size()),
       larger_than_left(0, meta.size(), first)},
      {"one more than the bytes left", with_size_at(meta, 0, meta.size() - 8 + 1),
       larger_than_left(0, meta.size() - 8 + 1, first)},
      {"slightly larger", with_size_at(meta, 0, first + 1),
       damaged(file, 0,
               "its size says " + std::to_string(first + 1) + " bytes, but its record takes " +
                   std::to_string(first))},
      {"larger, by a whole entry", with_size_at(meta, 0, ends[1] - 8),
       damaged(file, 0,
               "its size says " + std::to_string(ends[1] - 8) + " bytes, but its record takes " +
                   std::to_string(first))},
      // The record ends inside its last varint, the token id 1000 (0xFB and two bytes).
      {"slightly smaller", with_size_at(meta, 0, first - 1), too_short(0, first - 1, 1)},
      {"zero", with_size_at(meta, 0, 0), too_short(0, 0, 16)},
      // Not only the first entry: the offset named is the damaged entry's.
      {"second entry larger than the file", with_size_at(meta, ends[0], meta.size()),
       larger_than_left(ends[0], meta.size(), second)},
      {"second entry slightly smaller", with_size_at(meta, ends[0], second - 1),
       too_short(ends[0], second - 1, 1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_bytes(file, c.meta);
    for (const auto access : {utils::Access::ReadWrite, utils::Access::ReadOnly}) {
      auto store = DocumentsManager::load(dir(), config_, clock_.clock(), access);
      ASSERT_FALSE(store.ok());
      EXPECT_EQ(store.error().kind(), DocumentsManagerError::Kind::Decode);
      EXPECT_EQ(describe(store.error()), c.error);
    }
    EXPECT_EQ(read_bytes(file), c.meta);
    EXPECT_FALSE(fs::exists(dir() / "lost+found"));
  }
  write_bytes(file, meta);
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_EQ(live(*store).size(), 3u);
}

TEST_F(DocumentsFaults, TornLastEntryIsCutAndKeptInLostFound) {
  const fs::path segment = prepare(3);
  const fs::path file = segment / "meta";
  const std::string meta = read_bytes(file);
  const auto ends = entry_ends(meta);
  ASSERT_EQ(ends.size(), 3u);
  const fs::path kept = dir() / "lost+found" / (segment.filename().string() + ".meta@" +
                                                std::to_string(ends[1]));
  // Every proper prefix of the last entry, down to a part of its size prefix.
  for (uint64_t cut = ends[1] + 1; cut < meta.size(); ++cut) {
    SCOPED_TRACE(cut);
    write_bytes(file, meta.substr(0, cut));
    {
      auto store = open();
      ASSERT_TRUE(store);
      EXPECT_EQ(live(*store).size(), 2u);
      EXPECT_EQ(content_of(*store, 1), text(1));
      EXPECT_EQ(content_of(*store, 2), text(2));
      EXPECT_FALSE(live(*store).contains(id(3)));
    }
    EXPECT_EQ(read_bytes(file), meta.substr(0, ends[1]));
    EXPECT_EQ(read_bytes(kept), meta.substr(ends[1], cut - ends[1]));
    fs::remove_all(dir() / "lost+found");
  }
}

TEST_F(DocumentsFaults, TailThatCannotBeTheStartOfItsRecordIsDamage) {
  const fs::path segment = prepare(2);
  const fs::path file = segment / "meta";
  const std::string meta = read_bytes(file);
  const std::string third = [&] {
    WriteBuffer buffer;
    EXPECT_TRUE(buffer.write_meta({utils::ulid_to_bytes(id(3)), std::nullopt, SegmentPath(segment), 0, 10, 1,
                                   {1, 2, 3}})
                    .ok());
    return buffer.meta;
  }();
  const auto says = [&](uint64_t size, uint64_t left) {
    return "its size says " + std::to_string(size) + " bytes, more than the " +
           std::to_string(left) + " left in the file, ";
  };
  struct Case {
    const char* name;
    std::string tail;
    std::string error;
  };
  const std::vector<Case> cases = {
      // 10 bytes of a record whose size says 12, while its id alone takes 16.
      {"a size too small for what was begun", be64(12) + third.substr(8, 10),
       says(12, 10) + "but the record begun there needs more"},
      {"bytes that are no record", be64(100) + std::string(16, 'i') + "\x02",
       says(100, 17) +
           "and they do not decode: UnexpectedVariant { type_name: "
           "\"core::option::Option<alloc::string::String>\", allowed: Range { min: 0, max: 1 }, "
           "found: 2 }"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_bytes(file, meta + c.tail);
    expect_load_fails(DocumentsManagerError::Kind::Decode, damaged(file, meta.size(), c.error));
    EXPECT_EQ(read_bytes(file), meta + c.tail);
  }
  // The same bytes with the right size are a torn entry.
  write_bytes(file, meta + third.substr(0, 18));
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_EQ(live(*store).size(), 2u);
  EXPECT_EQ(read_bytes(file), meta);
}

TEST_F(DocumentsFaults, DirectoryWhereASegmentFileBelongsIsAnIoErrorAndChangesNothing) {
  const fs::path segment = prepare(1);
  for (const char* name : {"del", "meta"}) {
    const fs::path file = segment / name;
    const std::string bytes = read_bytes(file);
    fs::remove(file);
    fs::create_directory(file);
    expect_load_io_error(utils::IoErrorKind::IsADirectory, file);
    fs::remove(file);
    write_bytes(file, bytes);
  }
  auto store = open();
  ASSERT_TRUE(store);
  fs::remove(segment / "del");
  fs::create_directory(segment / "del");
  auto deleted = store->delete_document(id(1));
  ASSERT_FALSE(deleted.ok());
  EXPECT_EQ(io_kind(deleted.error()), utils::IoErrorKind::IsADirectory);
  EXPECT_TRUE(live(*store).contains(id(1)));
  EXPECT_TRUE(store->deleted_documents().empty());
  EXPECT_EQ(store->segments().at(segment.native()).deleted_bytes, 0u);
  fs::remove(segment / "data");
  fs::create_directory(segment / "data");
  auto written = store->write(id(2), 1, {}, "text");
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(io_kind(written.error()), utils::IoErrorKind::IsADirectory);
  EXPECT_FALSE(live(*store).contains(id(2)));
}

TEST_F(DocumentsFaults, MissingFilesAndDirectoriesAreNotFound) {
  const fs::path segment = prepare(1);
  for (const char* name : {"data", "del", "meta"}) {
    const fs::path file = segment / name;
    const std::string bytes = read_bytes(file);
    fs::remove(file);
    expect_load_io_error(utils::IoErrorKind::NotFound, file);
    write_bytes(file, bytes);
  }
  auto store = open();
  ASSERT_TRUE(store);
  fs::remove_all(segment);
  auto status = store->write(id(2), 1, {}, "text");
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(io_kind(status.error()), utils::IoErrorKind::NotFound);
  auto flushed = store->flush();
  ASSERT_FALSE(flushed.ok());
  EXPECT_EQ(io_kind(flushed.error()), utils::IoErrorKind::NotFound);
  auto deleted = store->delete_document(id(1));
  ASSERT_FALSE(deleted.ok());
  EXPECT_EQ(io_kind(deleted.error()), utils::IoErrorKind::NotFound);
  EXPECT_TRUE(live(*store).contains(id(1)));
  fs::remove_all(dir());
  write_bytes(dir(), "not a directory");
  expect_load_io_error(utils::IoErrorKind::NotADirectory, dir());
}

TEST_F(DocumentsFaults, FlushThatCannotOpenTheMetaFileKeepsTheBufferForLater) {
  auto store = open();
  ASSERT_TRUE(store);
  const fs::path meta = store->current() / "meta";
  write(*store, 1);
  fs::remove(meta);
  fs::create_directory(meta);
  auto status = store->flush();
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(io_kind(status.error()), utils::IoErrorKind::IsADirectory);
  fs::remove(meta);
  write_bytes(meta, "");
  write(*store, 2);
  flush(*store);
  auto reopened = open();
  ASSERT_TRUE(reopened);
  EXPECT_EQ(content_of(*reopened, 1), text(1));
  EXPECT_EQ(content_of(*reopened, 2), text(2));
}

// While alive, writes that would make a file larger than `limit` bytes fail with EFBIG.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit saved_;
  sighandler_t old_handler_;
};

TEST_F(DocumentsFaults, AppendsThatFailPartWayAreNeverRepeated) {
  // Compressible texts with long token lists make the meta file the larger one, so a limit can
  // fall inside either file's append.
  struct Case {
    const char* name;
    std::string (*content)(int);
    rlim_t limit;
  };
  const std::vector<Case> cases = {
      {"meta append fails", [](int n) { return std::string(3000, char('a' + n)); }, 1000},
      {"data append fails", [](int n) { return text(n) + std::string(500, char('a' + n)); }, 100},
  };
  const std::vector<uint32_t> token_ids(300, 70000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir tmp;
    auto store = DocumentsManager::load(tmp / "e", config_, clock_.clock());
    ASSERT_TRUE(store.ok());
    for (int n = 0; n < 3; ++n) ASSERT_TRUE(store->write(id(n), 1, token_ids, c.content(n)).ok());
    {
      FileSizeLimit limit(c.limit);
      auto status = store->flush();
      ASSERT_FALSE(status.ok());
      EXPECT_EQ(std::get<utils::IoError>(status.error().detail).os_code, EFBIG);
    }
    // Each text reads whole, from the file or from what is left in the buffer.
    for (int n = 0; n < 3; ++n) {
      auto content = read_content(store->readable_copy(live(*store).at(id(n))));
      ASSERT_TRUE(content.ok());
      EXPECT_EQ(*content, c.content(n));
    }
    ASSERT_TRUE(store->write(id(3), 1, token_ids, c.content(3)).ok());
    ASSERT_TRUE(store->flush().ok());
    std::string data;
    for (int n = 0; n < 4; ++n) data += testing::block_of(c.content(n));
    EXPECT_EQ(read_bytes(store->current() / "data"), data);
    auto reopened = DocumentsManager::load(tmp / "e", config_, clock_.clock());
    ASSERT_TRUE(reopened.ok());
    ASSERT_EQ(live(*reopened).size(), 4u);
    for (int n = 0; n < 4; ++n) {
      auto content = read_content(live(*reopened).at(id(n)));
      ASSERT_TRUE(content.ok());
      EXPECT_EQ(*content, c.content(n));
    }
  }
}

}  // namespace
}  // namespace tarnwick::storage

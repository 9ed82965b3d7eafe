#include "inverted/compaction.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "inverted/index.hpp"
#include "inverted/index_fixture.hpp"
#include "utils/file.hpp"
#include "utils/mmap.hpp"

namespace tarnwick::inverted {
namespace {

namespace fs = std::filesystem;
using index_testing::doc;
using index_testing::plain;
using index_testing::PlainIndex;
using index_testing::quiet_config;
using index_testing::read_bytes;
using index_testing::TempDir;
using index_testing::write_bytes;

// The three files of an index directory, as bytes.
struct Files {
  std::string index, meta, tokens;
  bool operator==(const Files&) const = default;
};

Files files_of(const fs::path& index_dir) {
  return {read_bytes(index_dir / "index"), read_bytes(index_dir / "meta"),
          read_bytes(index_dir / "tokens")};
}

// The dictionary, as plain values (the slots say which id each token has).
struct Dictionary {
  std::vector<std::optional<std::string>> id_to_token;
  std::vector<uint32_t> free_ids;
  bool operator==(const Dictionary&) const = default;
};

Dictionary dictionary_of(const inverted::TokenHasher& tokens) {
  return {tokens.id_to_token(), tokens.free_ids()};
}

// What the logs of `index_dir` replay to.
PlainIndex replay_dir(const fs::path& index_dir) {
  auto reader = LogsReader::open(index_dir);
  EXPECT_TRUE(reader.ok());
  if (!reader) return {};
  auto index = replay_logs(*reader);
  EXPECT_TRUE(index.ok());
  return index ? plain(*index) : PlainIndex{};
}

CompactionOptions options(IndexSwap swap, uint64_t buffer_bytes = CompactionOptions().buffer_bytes,
                          std::optional<CompactionStep> stop_before = std::nullopt) {
  CompactionOptions options;
  options.swap = swap;
  options.buffer_bytes = buffer_bytes;
  options.stop_before = stop_before;
  return options;
}

void copy_tree(const fs::path& from, const fs::path& to) {
  fs::remove_all(to);
  fs::copy(from, to, fs::copy_options::recursive);
}

class IndexCompactionTest : public ::testing::Test {
 protected:
  const fs::path& dir() const { return dir_.path(); }
  fs::path index_dir() const { return dir() / "index"; }
  fs::path new_dir() const { return dir() / "index.new"; }
  fs::path old_dir() const { return dir() / "index.old"; }

  IndexManager open() {
    auto index = IndexManager::load(dir(), config_, clock_.clock());
    EXPECT_TRUE(index.ok());
    return std::move(*index);
  }
  void flush(IndexManager& index) { ASSERT_TRUE(index.flush(tokens_).ok()); }

  // Inserts and deletes through the writer, leaving many Delete records and some lists emptied
  // (their ids freed), then flushes.
  void churn(IndexManager& index, int documents = 200, unsigned seed = 11) {
    std::mt19937 rng(seed);
    std::vector<uint32_t> ids;
    for (int t = 0; t < 12; ++t) {
      auto id = tokens_.add("token" + std::to_string(t));
      ASSERT_TRUE(id.ok());
      ids.push_back(*id);
    }
    for (int n = 1; n <= documents; ++n) {
      for (uint32_t id : ids) {
        if (rng() % 3 != 0) continue;
        std::vector<uint32_t> positions;
        for (uint32_t p = 0, count = rng() % 4; p < count; ++p) positions.push_back(rng() % 5000);
        ASSERT_TRUE(index.insert(id, doc(n), positions, tokens_).ok());
      }
      if (rng() % 3 == 0) {
        TokenIdSet chosen(ids.begin(), ids.end());
        const int victim = 1 + int(rng() % n);
        ASSERT_TRUE(remove(index, chosen, {doc(victim), doc(n - 1)}).ok());
      }
    }
    // Every posting of tokens 7, 2 and 9 goes, in that order, freeing the ids still in use.
    utils::IdSet all;
    for (int n = 1; n <= documents; ++n) all.insert(doc(n));
    for (int t : {7, 2, 9}) ASSERT_TRUE(remove(index, {ids[t]}, all).ok());
    flush(index);
  }

  IndexManager::Status remove(IndexManager& index, TokenIdSet token_ids, utils::IdSet doc_ids) {
    return index.delete_postings(token_ids, doc_ids, tokens_, [](const std::string&) {});
  }

  utils::Status<BincodePersistenceError> compact(const IndexManager& index,
                                                 const CompactionOptions& options = {}) {
    return compact_index(dir(), index.index(), tokens_, options);
  }

  // What a reader loading the engine now finds: the index and the dictionary.
  std::pair<PlainIndex, Dictionary> load_read_only() {
    auto index = IndexManager::load(dir(), config_, clock_.clock(), utils::Access::ReadOnly);
    EXPECT_TRUE(index.ok());
    auto tokens = inverted::TokenHasher::load(dir(), config_, clock_.clock(), utils::Access::ReadOnly);
    EXPECT_TRUE(tokens.ok());
    if (!index || !tokens) return {};
    return {plain(index->index()), dictionary_of(*tokens)};
  }

  void expect_no_leftovers() {
    EXPECT_FALSE(fs::exists(new_dir()));
    EXPECT_FALSE(fs::exists(old_dir()));
  }

  TempDir dir_;
  index_testing::TestClock clock_;
  std::shared_ptr<Config> config_ = quiet_config();
  inverted::TokenHasher tokens_ = *inverted::TokenHasher::load(dir_.path(), config_, clock_.clock());
};

// The logs that a fresh engine writes for `postings`, inserted in ascending token id and list
// order.
Files fresh_logs(const PlainIndex& postings) {
  TempDir fresh;
  auto config = quiet_config();
  index_testing::TestClock clock;
  auto tokens = inverted::TokenHasher::load(fresh.path(), config, clock.clock());
  EXPECT_TRUE(tokens.ok());
  auto index = IndexManager::load(fresh.path(), config, clock.clock());
  EXPECT_TRUE(index.ok());
  for (const auto& [token_id, list] : postings) {
    for (const auto& [doc_id, positions] : list) {
      EXPECT_TRUE(index->insert(token_id, doc_id, positions, *tokens).ok());
    }
  }
  EXPECT_TRUE(index->flush(*tokens).ok());
  Files files = files_of(fresh.path() / "index");
  files.tokens.clear();
  return files;
}

TEST_F(IndexCompactionTest, CompactedLogsReplayToTheIndexAndEqualFreshlyWrittenOnes) {
  IndexManager index = open();
  churn(index);
  const PlainIndex expected = plain(index.index());
  ASSERT_FALSE(expected.empty());
  ASSERT_EQ(replay_dir(index_dir()), expected);
  const Files before = files_of(index_dir());

  ASSERT_TRUE(compact(index).ok());
  expect_no_leftovers();
  EXPECT_EQ(replay_dir(index_dir()), expected);
  Files after = files_of(index_dir());
  size_t postings = 0;
  for (const auto& [token_id, list] : expected) postings += list.size();
  EXPECT_EQ(after.meta.size(), postings * kLogMetaSize);
  EXPECT_LT(after.meta.size(), before.meta.size());
  EXPECT_LT(after.index.size(), before.index.size());
  after.tokens.clear();
  EXPECT_EQ(after, fresh_logs(expected));  // the same bytes, so the same sizes
  EXPECT_EQ(plain(open().index()), expected);
}

TEST_F(IndexCompactionTest, RecordsCountOneToNWithinEachListInAscendingTokenOrder) {
  IndexManager index = open();
  for (int n = 1; n <= 3; ++n) {
    ASSERT_TRUE(index.insert(9, doc(n), std::vector<uint32_t>{uint32_t(n)}, tokens_).ok());
    ASSERT_TRUE(index.insert(4, doc(n), std::vector<uint32_t>{}, tokens_).ok());
  }
  ASSERT_TRUE(remove(index, {9, 4}, {doc(2)}).ok());
  flush(index);
  ASSERT_TRUE(compact(index).ok());
  const std::string meta = read_bytes(index_dir() / "meta");
  const std::string log = read_bytes(index_dir() / "index");
  ASSERT_EQ(meta.size(), 4 * kLogMetaSize);
  const std::pair<uint32_t, uint32_t> expected[] = {{4, 1}, {4, 2}, {9, 1}, {9, 2}};
  const uint128 docs[] = {doc(1), doc(3), doc(1), doc(3)};
  uint64_t offset = 0;
  for (size_t r = 0; r < 4; ++r) {
    const auto* record = reinterpret_cast<const uint8_t*>(meta.data()) + r * kLogMetaSize;
    const LogMeta m = LogMeta::decode(record);
    EXPECT_EQ(m.doc_id, docs[r]);
    EXPECT_EQ(m.offset, offset);
    const auto* header = reinterpret_cast<const uint8_t*>(log.data()) + m.offset;
    EXPECT_EQ(header[0], uint8_t(LogOperation::Insert));
    EXPECT_EQ(get_be<uint32_t>(header + 1), expected[r].first);
    EXPECT_EQ(get_be<uint32_t>(header + 5), expected[r].second);
    offset += m.length;
  }
  EXPECT_EQ(offset, log.size());
}

TEST_F(IndexCompactionTest, TokenStoreLoadsToTheSameDictionary) {
  IndexManager index = open();
  churn(index);
  const Dictionary expected = dictionary_of(tokens_);
  // Freed ids, not in ascending order: the store keeps their order.
  ASSERT_GE(expected.free_ids.size(), 3u);
  ASSERT_FALSE(std::is_sorted(expected.free_ids.begin(), expected.free_ids.end()));
  ASSERT_TRUE(compact(index).ok());
  auto loaded = inverted::TokenHasher::load(dir(), config_, clock_.clock());
  ASSERT_TRUE(loaded.ok());
  EXPECT_EQ(dictionary_of(*loaded), expected);
}

TEST_F(IndexCompactionTest, WriterKeepsSavingToTheCompactedLogs) {
  IndexManager index = open();
  churn(index);
  ASSERT_TRUE(compact(index).ok());
  auto id = tokens_.add("after");
  ASSERT_TRUE(id.ok());
  ASSERT_TRUE(index.insert(*id, doc(500), std::vector<uint32_t>{3, 8}, tokens_).ok());
  ASSERT_TRUE(remove(index, {0, 1}, {doc(5), doc(6), doc(7)}).ok());
  flush(index);
  const auto [reloaded, dictionary] = load_read_only();
  EXPECT_EQ(reloaded, plain(index.index()));
  EXPECT_EQ(dictionary, dictionary_of(tokens_));
}

TEST_F(IndexCompactionTest, OutputDependsOnlyOnTheIndexWhateverTheBufferOrTheSwap) {
  IndexManager index = open();
  churn(index);
  ASSERT_TRUE(compact(index).ok());
  const Files once = files_of(index_dir());
  // Compacting compacted logs changes no byte; nor does appending every record on its own, nor
  // swapping by two renames.
  ASSERT_TRUE(compact(index).ok());
  EXPECT_EQ(files_of(index_dir()).index, once.index);
  EXPECT_EQ(files_of(index_dir()).meta, once.meta);
  ASSERT_TRUE(compact(index, options(IndexSwap::Exchange, 1)).ok());
  EXPECT_EQ(files_of(index_dir()).index, once.index);
  EXPECT_EQ(files_of(index_dir()).meta, once.meta);
  ASSERT_TRUE(compact(index, options(IndexSwap::TwoRenames, 100)).ok());
  EXPECT_EQ(files_of(index_dir()).index, once.index);
  EXPECT_EQ(files_of(index_dir()).meta, once.meta);
  expect_no_leftovers();
  EXPECT_EQ(load_read_only().first, plain(index.index()));
}

TEST_F(IndexCompactionTest, EmptyIndexCompactsToEmptyLogs) {
  IndexManager index = open();
  auto id = tokens_.add("gone");
  ASSERT_TRUE(id.ok());
  ASSERT_TRUE(index.insert(*id, doc(1), std::vector<uint32_t>{1}, tokens_).ok());
  ASSERT_TRUE(remove(index, {*id}, {doc(1)}).ok());
  flush(index);
  ASSERT_TRUE(index.index().empty());
  ASSERT_FALSE(read_bytes(index_dir() / "meta").empty());
  ASSERT_TRUE(compact(index).ok());
  EXPECT_TRUE(fs::exists(index_dir() / "index"));
  EXPECT_TRUE(fs::exists(index_dir() / "meta"));
  EXPECT_EQ(read_bytes(index_dir() / "index"), "");
  EXPECT_EQ(read_bytes(index_dir() / "meta"), "");
  const auto [reloaded, dictionary] = load_read_only();
  EXPECT_TRUE(reloaded.empty());
  EXPECT_EQ(dictionary.free_ids, std::vector<uint32_t>{*id});
}

TEST_F(IndexCompactionTest, LeftoversOfAnEarlierCompactionAreRemovedFirst) {
  IndexManager index = open();
  churn(index, 30);
  fs::create_directories(new_dir());
  write_bytes(new_dir() / "index", "half a log");
  fs::create_directories(old_dir() / "deeper");
  write_bytes(old_dir() / "deeper" / "meta", "junk");
  ASSERT_TRUE(compact(index).ok());
  expect_no_leftovers();
  EXPECT_EQ(load_read_only().first, plain(index.index()));
}

TEST_F(IndexCompactionTest, MissingIndexDirectoryIsNotFound) {
  IndexManager index = open();
  fs::remove_all(index_dir());
  auto s = compact(index);
  ASSERT_FALSE(s.ok());
  const auto* io = std::get_if<utils::IoError>(&s.error().detail);
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->kind, utils::IoErrorKind::NotFound);
  expect_no_leftovers();
}

TEST_F(IndexCompactionTest, FailureBeforeTheSwapLeavesTheOldLogsAndRemovesWhatWasBuilt) {
  IndexManager index = open();
  churn(index, 60);
  const Files before = files_of(index_dir());
  // While the limit holds, a write that would take a file past 512 bytes fails (EFBIG), as a
  // full disk would fail it: the new index log is larger.
  rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limited = saved;
  limited.rlim_cur = 512;
  const auto handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  auto s = compact(index);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  std::signal(SIGXFSZ, handler);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind(), BincodePersistenceError::Kind::Io);
  EXPECT_EQ(files_of(index_dir()), before);
  expect_no_leftovers();
  EXPECT_EQ(load_read_only().first, plain(index.index()));
}

// Each step of the protocol interrupted as a crash would interrupt it: recovery gives the old
// complete directory before the swap and the new one after it, with nothing left beside it, and
// both load to the index and dictionary held in memory.
TEST_F(IndexCompactionTest, EveryCrashPointRecoversToTheOldOrTheNewCompleteIndex) {
  IndexManager index = open();
  churn(index, 80);
  const PlainIndex expected = plain(index.index());
  const Dictionary dictionary = dictionary_of(tokens_);
  TempDir saved;
  copy_tree(index_dir(), saved / "old");
  const Files old_files = files_of(index_dir());
  ASSERT_TRUE(compact(index).ok());
  const Files new_logs = files_of(index_dir());
  ASSERT_NE(new_logs.meta, old_files.meta);

  const CompactionStep steps[] = {
      CompactionStep::RemoveLeftovers, CompactionStep::CreateNew, CompactionStep::WriteLogs,
      CompactionStep::WriteTokens,     CompactionStep::SyncNew,   CompactionStep::Swap,
      CompactionStep::PlaceNew,        CompactionStep::SyncDir,   CompactionStep::RemoveOld,
  };
  for (IndexSwap swap : {IndexSwap::Exchange, IndexSwap::TwoRenames}) {
    for (CompactionStep step : steps) {
      SCOPED_TRACE("swap " + std::to_string(int(swap)) + ", stopped before step " +
                   std::to_string(int(step)));
      copy_tree(saved / "old", index_dir());
      const bool taken = swap == IndexSwap::TwoRenames || step != CompactionStep::PlaceNew;
      auto s = compact(index, options(swap, 1000, step));
      ASSERT_EQ(s.ok(), !taken);
      if (taken) {
        const auto* io = std::get_if<utils::IoError>(&s.error().detail);
        ASSERT_NE(io, nullptr);
        EXPECT_EQ(io->kind, utils::IoErrorKind::Interrupted);
      }
      const bool swapped = !taken || step > CompactionStep::Swap;
      // The directories as the crash left them: index.new from its creation until the second
      // rename (after an exchange it is the old directory), index.old after the first.
      const bool two_renames = swap == IndexSwap::TwoRenames;
      EXPECT_EQ(fs::exists(index_dir()), !two_renames || step != CompactionStep::PlaceNew);
      EXPECT_EQ(fs::exists(new_dir()), taken && step > CompactionStep::CreateNew &&
                                           (!two_renames || step <= CompactionStep::PlaceNew));
      EXPECT_EQ(fs::exists(old_dir()), two_renames && step >= CompactionStep::PlaceNew);

      ASSERT_TRUE(recover_index_compaction(dir()).ok());
      expect_no_leftovers();
      const Files now = files_of(index_dir());
      if (swapped) {
        EXPECT_EQ(now.index, new_logs.index);
        EXPECT_EQ(now.meta, new_logs.meta);
      } else {
        EXPECT_EQ(now, old_files);
      }
      const auto [reloaded, reloaded_dictionary] = load_read_only();
      EXPECT_EQ(reloaded, expected);
      EXPECT_EQ(reloaded_dictionary, dictionary);
    }
  }
}

class CrashStateTest : public IndexCompactionTest {
 protected:
  void SetUp() override {
    IndexManager index = open();
    churn(index, 60);
    expected_ = plain(index.index());
    dictionary_ = dictionary_of(tokens_);
    copy_tree(index_dir(), saved_ / "old");
    ASSERT_TRUE(compact(index).ok());
    copy_tree(index_dir(), saved_ / "new");
    fs::remove_all(index_dir());
  }

  void place(const char* which, const fs::path& where) { copy_tree(saved_ / which, where); }
  Files saved(const char* which) const { return files_of(saved_ / which); }

  void recover_and_expect(const char* which) {
    ASSERT_TRUE(recover_index_compaction(dir()).ok());
    expect_no_leftovers();
    EXPECT_EQ(files_of(index_dir()), saved(which));
    const auto [reloaded, dictionary] = load_read_only();
    EXPECT_EQ(reloaded, expected_);
    EXPECT_EQ(dictionary, dictionary_);
  }

  TempDir saved_;
  PlainIndex expected_;
  Dictionary dictionary_;
};

TEST_F(CrashStateTest, NothingInterruptedIsLeftAlone) {
  place("old", index_dir());
  recover_and_expect("old");
}

TEST_F(CrashStateTest, PartlyWrittenNewDirectoryIsDiscarded) {
  place("old", index_dir());
  place("new", new_dir());
  const std::string log = read_bytes(new_dir() / "index");
  write_bytes(new_dir() / "index", log.substr(0, log.size() / 2));
  fs::remove(new_dir() / "tokens");
  recover_and_expect("old");
}

TEST_F(CrashStateTest, CompleteNewDirectoryNotYetSwappedIsDiscarded) {
  place("old", index_dir());
  place("new", new_dir());
  recover_and_expect("old");
}

TEST_F(CrashStateTest, OldDirectoryUnderTheNewNameAfterAnExchangeIsRemoved) {
  place("new", index_dir());
  place("old", new_dir());
  recover_and_expect("new");
}

TEST_F(CrashStateTest, CrashBetweenTheTwoRenamesPutsTheNewDirectoryInPlace) {
  place("old", old_dir());
  place("new", new_dir());
  recover_and_expect("new");
}

TEST_F(CrashStateTest, OldDirectoryLeftAfterTheSecondRenameIsRemoved) {
  place("new", index_dir());
  place("old", old_dir());
  recover_and_expect("new");
}

TEST_F(CrashStateTest, OldDirectoryAloneGoesBackInPlace) {
  place("old", old_dir());
  recover_and_expect("old");
}

TEST_F(CrashStateTest, NewDirectoryAloneIsDiscardedAndTheIndexStaysAbsent) {
  place("new", new_dir());
  ASSERT_TRUE(recover_index_compaction(dir()).ok());
  expect_no_leftovers();
  EXPECT_FALSE(fs::exists(index_dir()));
}

TEST_F(CrashStateTest, RecoveryRunTwiceEndsTheSameWay) {
  place("old", old_dir());
  place("new", new_dir());
  ASSERT_TRUE(recover_index_compaction(dir()).ok());
  recover_and_expect("new");
}

TEST_F(CrashStateTest, NoIndexAtAllIsNothingToRecover) {
  ASSERT_TRUE(recover_index_compaction(dir()).ok());
  EXPECT_FALSE(fs::exists(index_dir()));
  expect_no_leftovers();
}

// Readers take both logs from one directory.

TEST_F(IndexCompactionTest, ReaderOpenedBeforeACompactionReadsTheOldLogsWhole) {
  IndexManager index = open();
  churn(index, 60);
  auto reader = LogsReader::open(index_dir());
  ASSERT_TRUE(reader.ok());
  const uint64_t old_meta_size = reader->meta_size();
  ASSERT_TRUE(compact(index).ok());
  ASSERT_FALSE(fs::exists(new_dir()));  // the old directory and its files are gone
  EXPECT_EQ(reader->meta_size(), old_meta_size);
  auto replayed = replay_logs(*reader);
  ASSERT_TRUE(replayed.ok());
  EXPECT_EQ(plain(*replayed), plain(index.index()));
}

TEST_F(IndexCompactionTest, FilesOpenedAtADirectoryComeFromThatDirectoryAfterARename) {
  const fs::path a = dir() / "a";
  fs::create_directories(a);
  write_bytes(a / "f", "first");
  auto directory = utils::File::open_directory(a);
  ASSERT_TRUE(directory.ok());
  fs::rename(a, dir() / "b");
  fs::create_directories(a);
  write_bytes(a / "f", "second");
  auto mapped = utils::MappedFile::open_at(*directory, "f");
  ASSERT_TRUE(mapped.ok());
  EXPECT_EQ(std::string(mapped->bytes().begin(), mapped->bytes().end()), "first");
  auto missing = utils::MappedFile::open_at(*directory, "g");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, utils::IoErrorKind::NotFound);
  EXPECT_TRUE(missing.error().path == fs::path("g"));
  EXPECT_FALSE(utils::File::open_directory(a / "f").ok());
}

TEST_F(IndexCompactionTest, ReaderErrorsNameTheMissingLogByItsFullPath) {
  IndexManager index = open();
  fs::remove(index_dir() / "meta");
  auto reader = LogsReader::open(index_dir());
  ASSERT_FALSE(reader.ok());
  const auto* io = std::get_if<utils::IoError>(&reader.error().detail);
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->kind, utils::IoErrorKind::NotFound);
  EXPECT_TRUE(io->path == index_dir() / "meta");
}

}  // namespace
}  // namespace tarnwick::inverted

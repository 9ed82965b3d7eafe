#include "storage/document.hpp"

#include <gtest/gtest.h>

#include <string>

#include "storage/buffer.hpp"
#include "store_test_support.hpp"

namespace tarnwick::storage {
namespace {

using testing::TempDir;

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

const std::array<uint8_t, 16> kId = {0x01, 0x8C, 0x2F, 0x3A, 0x4B, 0x5C, 0x6D, 0x7E,
                                     0x8F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};

Document example() {
  return Document{kId, std::nullopt, SegmentPath("d/1"), 300, 45, 7, {0, 5, 300}};
}

const std::string kExampleBody =
    bytes({0x00, 0x03, 0x64, 0x2F, 0x31, 0xFB, 0x2C, 0x01, 0x2D, 0x07, 0x03, 0x00, 0x05, 0xFB,
           0x2C, 0x01});

std::string id_text() { return std::string(kId.begin(), kId.end()); }

TEST(DocumentRecord, EncodesFieldsInOrder) {
  std::string out;
  ASSERT_TRUE(encode_document(example(), out).ok());
  EXPECT_EQ(out, id_text() + kExampleBody);
  EXPECT_EQ(out.size(), 32u);
}

TEST(DocumentRecord, MetaEntryIsBigEndianSizeThenRecord) {
  WriteBuffer buffer;
  buffer.meta = "xy";  // an earlier entry's bytes stay in front
  ASSERT_TRUE(buffer.write_meta(example()).ok());
  EXPECT_EQ(buffer.meta, "xy" + bytes({0, 0, 0, 0, 0, 0, 0, 0x20}) + id_text() + kExampleBody);
}

TEST(DocumentRecord, RoundTripsWideValuesAndContent) {
  const Document wide{kId,        std::string("caf\xC3\xA9"), SegmentPath("/some/dir/1700000000000000000"),
                      UINT64_MAX, uint64_t{1} << 40,          UINT32_MAX,
                      {UINT32_MAX, 0, 251}};
  for (const Document& document : {example(), wide}) {
    std::string out = "";
    ASSERT_TRUE(encode_document(document, out).ok());
    out += "trailing bytes are ignored";
    auto decoded = decode_document(utils::as_bytes(out));
    ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
    EXPECT_EQ(*decoded, document);
  }
}

TEST(DocumentRecord, EveryProperPrefixFailsCleanly) {
  std::string out;
  ASSERT_TRUE(encode_document(example(), out).ok());
  for (size_t cut = 0; cut < out.size(); ++cut) {
    auto decoded = decode_document(utils::as_bytes(std::string_view(out).substr(0, cut)));
    ASSERT_FALSE(decoded.ok()) << cut;
    EXPECT_TRUE(std::holds_alternative<UnexpectedEnd>(decoded.error().detail())) << cut;
  }
}

TEST(DocumentRecord, NonUtf8SegmentPathIsWrittenWithReplacementCharacters) {
  Document document = example();
  document.segment = SegmentPath("d/caf\xE9/\xF0\x9F");
  std::string out;
  ASSERT_TRUE(encode_document(document, out).ok());
  auto decoded = decode_document(utils::as_bytes(out));
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded->segment, "d/caf\xEF\xBF\xBD/\xEF\xBF\xBD");
  document.segment = decoded->segment;
  EXPECT_EQ(*decoded, document);
}

// A data file holding `prefix` then the block of `text`; the record locates the block.
Document stored(const TempDir& dir, const std::string& prefix, const std::string& text) {
  std::string data = prefix;
  EXPECT_TRUE(compress_block(text, data).ok());
  testing::write_bytes(dir / "data", data);
  Document document = example();
  document.segment = SegmentPath(dir.path());
  document.offset = prefix.size();
  document.length = data.size() - prefix.size();
  return document;
}

std::string error_text(const utils::Result<std::string, ContentError>& content) {
  if (content.ok()) return "no error";
  if (auto* io = std::get_if<utils::IoError>(&content.error().detail)) return io->to_string();
  return std::get<DecompressError>(content.error().detail).message;
}

TEST(DocumentContent, ReadsItsBlockFromTheDataFile) {
  TempDir dir;
  const Document document = stored(dir, "unrelated bytes", "the stored text, not UTF-8: \xFF");
  auto content = read_content(document);
  ASSERT_TRUE(content.ok()) << error_text(content);
  EXPECT_EQ(*content, "the stored text, not UTF-8: \xFF");
}

TEST(DocumentContent, PresentContentNeedsNoFile) {
  Document document = example();
  document.segment = SegmentPath("/nonexistent/segment");
  document.content = "cached";
  auto content = read_content(document);
  ASSERT_TRUE(content.ok());
  EXPECT_EQ(*content, "cached");
}

TEST(DocumentContent, BlockPastTheEndIsUnexpectedEndWithoutAllocating) {
  TempDir dir;
  Document document = stored(dir, "", "text");
  for (auto [offset, length] : {std::pair<uint64_t, uint64_t>{0, uint64_t{1} << 62},
                                {UINT64_MAX, 1},
                                {1, document.length},
                                {document.length + 1, 0}}) {
    document.offset = offset;
    document.length = length;
    EXPECT_EQ(error_text(read_content(document)), "failed to fill whole buffer");
  }
}

TEST(DocumentContent, ShortBlocksFailToDecompress) {
  TempDir dir;
  Document document = stored(dir, "", "some text");
  for (uint64_t length : {0, 3, 4}) {
    document.length = length;
    EXPECT_EQ(error_text(read_content(document)), "expected another byte, found none") << length;
  }
}

}  // namespace
}  // namespace tarnwick::storage

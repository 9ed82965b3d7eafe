// Search::add_many: many documents in one call, for less than a call of `add` each.
//
// A document is cheaper here than through `add`: tokenizing and compressing (about a third of the
// work of adding a short document) run on a second thread, one chunk of texts ahead of the
// caller's thread, which indexes and stores the documents of the chunk before in the very order
// `add` would. The second thread touches nothing of the engine but the tokenizer, which the
// caller's thread leaves alone meanwhile, and it ends before the call returns (a future's
// destructor waits for it, on every path).
#include <future>

#include "engine/search.hpp"
#include "storage/codec/block.hpp"

namespace tarnwick::engine {

namespace {

// A chunk ends after this many texts, or after the text that takes it to this many bytes: enough
// work to make handing it over cheap, little enough that the prepared texts waiting for the
// caller's thread take a few megabytes at most.
constexpr size_t kChunkTexts = 256;
constexpr size_t kChunkBytes = 1 << 20;

std::span<const std::string_view> next_chunk(std::span<const std::string_view> texts) {
  size_t count = 0;
  size_t bytes = 0;
  while (count < texts.size() && count < kChunkTexts && bytes < kChunkBytes) {
    bytes += texts[count++].size();
  }
  return texts.first(count);
}

// A text prepared for adding, with the tokenizer's stem generation right after it was tokenized.
struct Prepared {
  Search::PreparedText text;
  uint64_t stem_generation;
};

std::vector<Prepared> prepare_chunk(analysis::Tokenizer& tokenizer,
                                    std::span<const std::string_view> chunk) {
  std::vector<Prepared> out;
  out.reserve(chunk.size());
  for (std::string_view text : chunk) {
    Search::PreparedText prepared{text, tokenizer.tokenize_doc(text), std::string()};
    // A text the compressor refuses is left for the store to refuse, as it would through add.
    if (!storage::compress_block(text, *prepared.block)) prepared.block.reset();
    out.push_back({std::move(prepared), tokenizer.stem_generation()});
  }
  return out;
}

// Prepares `chunk` on another thread, or, when no thread can be had, when asked for the result.
std::future<std::vector<Prepared>> prepare_ahead(analysis::Tokenizer& tokenizer,
                                                 std::span<const std::string_view> chunk) {
  return std::async(std::launch::async | std::launch::deferred, prepare_chunk,
                    std::ref(tokenizer), chunk);
}

}  // namespace

Search::AddedMany Search::add_many(std::span<const std::string_view> texts) {
  AddedMany added;
  if (auto s = check_writer(); !s) {
    added.status = std::move(s);
    return added;
  }
  added.ids.reserve(texts.size());
  std::span<const std::string_view> chunk = next_chunk(texts);
  if (chunk.empty()) return added;
  std::future<std::vector<Prepared>> ahead = prepare_ahead(tokenizer_, chunk);
  while (!chunk.empty()) {
    const std::vector<Prepared> prepared = ahead.get();
    chunk = next_chunk(texts.subspan(added.ids.size() + prepared.size()));
    if (!chunk.empty()) ahead = prepare_ahead(tokenizer_, chunk);
    for (const Prepared& text : prepared) {
      auto id = add_prepared(text.text, text.stem_generation);
      if (!id) {
        added.status = utils::fail(std::move(id.error()));
        return added;
      }
      added.ids.push_back(*id);
    }
  }
  return added;
}

}  // namespace tarnwick::engine

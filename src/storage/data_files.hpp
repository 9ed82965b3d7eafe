// DataFiles: the data files of segments, kept open for the texts of search hits. Opening a
// segment's data file for each search (open, measure, a read a text, close) took about a third
// of a rare word's whole query; with the file kept open, a text costs one read.
//
// At most kFilesKept stay open, the least recently read closing first: an engine adds that many
// descriptors at most, however many segments its hits lie in. Data files only grow, blocks being
// appended, and go whole with their segment: a file is measured again when a block lies past
// the size it had, and the store forgets the file of a segment it removes. One that another
// process removes stays open, its old texts readable (and its space held), until it is closed.
//
// Read through a descriptor rather than mapped: a mapping would leave the process resident in
// every piece of page cache it read a text from (64 KB and more a text).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "storage/document.hpp"

namespace tarnwick::storage {

class DataFiles {
 public:
  // Reads the block of `record` into `block`; false when its data file cannot be opened or
  // read, or ends before the block.
  bool read(const Document& record, std::vector<uint8_t>& block);

  // Closes the data file of the segment directory `segment`.
  void forget(const std::string& segment) { files_.erase(segment); }

 private:
  static constexpr size_t kFilesKept = 4;

  struct Open {
    DataFile data;       // its size as last measured
    uint64_t last_used;  // the count of reads at its last
  };
  absl::flat_hash_map<std::string, Open> files_;  // by segment directory
  uint64_t reads_ = 0;
};

// Reads the texts of the records in `records` whose content is absent into their `content`,
// through `files`. Blocks are taken in the records' order while their lengths fit `budget`, and
// of those, the texts that then fit it: at most `budget` bytes in all. A record whose text is
// not read, or whose block cannot be read or does not decompress, keeps its content absent, for
// read_content to read, and report on, when the text is asked for.
void read_contents(std::span<Document> records, uint64_t budget, DataFiles& files);

}  // namespace tarnwick::storage

// replay_logs: rebuilds every posting list from the index logs, reading them newest record first.
//
// A token's newest record carries the final length of its list. Walking back, a Delete record
// (document d, token t) cancels the nearest older Insert of d under t, and every Insert that no
// newer Delete cancels is one posting of the final list; read newest first they come out in
// reverse record order, and the list is then put in id order. Deletions are matched per token and
// document, not per document alone, so a token whose Delete records were never written (a delete
// stopped by a failed save) keeps the postings the index still held in memory.
//
// Logs that disagree with themselves fail with a Decode log-reading error: a final length that
// the surviving Inserts do not fill exactly, or one larger than the records that could fill it
// (checked before anything is allocated for the list).
#pragma once

#include <cstdint>

#include "base/error_kinds.hpp"
#include "inverted/index_type.hpp"
#include "inverted/layered_index.hpp"
#include "inverted/log_reader.hpp"
#include "utils/result.hpp"

namespace tarnwick::inverted {

// Every token with a non-empty final list, its postings in ascending document id.
utils::Result<Index, LogReadError> replay_logs(LogsReader& reader);

// Applies to `index`, the lists as the first `from_record` meta records left them (a snapshot's),
// and to its `totals`, the records after those, oldest first: an Insert puts its posting in its
// place, a Delete removes its document's posting. Every record's count must then be its list's
// length; lists left empty leave the index. Fails with a Decode log-reading error where the
// records do not fit the lists, leaving `index` and `totals` part way.
utils::Status<LogReadError> replay_tail(LogsReader& reader, uint64_t from_record,
                                        LayeredIndex& index, IndexTotals& totals);

}  // namespace tarnwick::inverted

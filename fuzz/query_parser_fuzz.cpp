// Parses arbitrary bytes as a query. Besides not crashing, a parse must keep the Query's
// invariants: at least one term, every term a non-empty view into the query string, fuzziness
// at most 2 and proximity at most 99; a failure must carry the message of an invalid query
// (the lower-cased query and its error lines).
#include <cstddef>
#include <cstdint>
#include <string>

#include "query/parser.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string query(reinterpret_cast<const char*>(data), size);
  auto parsed = tarnwick::query::Query::parse(query);
  if (!parsed) {
    // Every failure names the query and at least one error line.
    const std::string& message = parsed.error().message;
    const std::string head = "Following query is invalid: '" + query + "'\n, ";
    if (message.size() <= head.size() || !message.starts_with(head)) __builtin_trap();
    return 0;
  }
  if (parsed->terms.empty() || parsed->proximity > 99) __builtin_trap();
  const char* begin = query.data();
  const char* end = begin + query.size();
  for (const auto& term : parsed->terms) {
    const char* first = term.text.data();
    if (term.text.empty() || first < begin || first + term.text.size() > end ||
        term.fuzziness > 2) {
      __builtin_trap();
    }
  }
  return 0;
}

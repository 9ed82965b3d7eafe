#include "base/config.hpp"

// The parser asserts conditions that malformed files can break ("[[[" brings it to its key
// reader on a bracket, which it then reports as a syntax error by itself): a bad configuration
// must give an error, never abort a debug build.
#define TOML_ASSERT(expr) static_assert(true)
#include <toml++/toml.h>  // header-only, with the TOML 1.1 additions switched on by the build

#include <cstdint>
#include <limits>

#include "utils/file.hpp"
#include "utils/utf8.hpp"

namespace tarnwick {

namespace {

using utils::fail;
using ConfigResult = utils::Result<Config, ConfigError>;

// "TOML parse error at line L, column C", the offending line with a caret under the column, then
// the description.
TomlError located(std::string_view text, const toml::source_position& at, std::string_view what) {
  std::string_view line = text;
  for (uint32_t n = 1; n < at.line && !line.empty(); ++n) {
    const size_t eol = line.find('\n');
    line = eol == std::string_view::npos ? std::string_view() : line.substr(eol + 1);
  }
  line = line.substr(0, line.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::string number = std::to_string(at.line);
  const std::string gutter(number.size(), ' ');
  std::string message = "TOML parse error at line " + number + ", column " +
                        std::to_string(at.column) + "\n" + gutter + " |\n" + number + " | ";
  message.append(line);
  message += "\n" + gutter + " | " + std::string(at.column > 0 ? at.column - 1 : 0, ' ') + "^\n";
  message.append(what);
  message += "\n";
  return {std::move(message)};
}

// How a value of the wrong type is named in an error: "string \"x\"", "integer `-1`", ...
std::string describe(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::string: return "string \"" + std::string(*node.value<std::string>()) + "\"";
    case toml::node_type::integer: return "integer `" + std::to_string(*node.value<int64_t>()) + "`";
    case toml::node_type::floating_point: return "floating point `" + std::to_string(*node.value<double>()) + "`";
    case toml::node_type::boolean: return *node.value<bool>() ? "boolean `true`" : "boolean `false`";
    case toml::node_type::table: return "map";
    case toml::node_type::array: return "sequence";
    default: return "date-time";
  }
}

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  // An unsigned integer no larger than `max`.
  template <class T>
  utils::Status<ConfigError> unsigned_integer(const toml::node& node, std::string_view key,
                                              const char* type_name, T& field) {
    const auto value = node.value_exact<int64_t>();
    if (!value) return invalid("invalid type: " + describe(node), node, key, type_name);
    if (*value < 0 || static_cast<uint64_t>(*value) > std::numeric_limits<T>::max()) {
      return invalid("invalid value: " + describe(node), node, key, type_name);
    }
    field = static_cast<T>(*value);
    return {};
  }

  utils::Status<ConfigError> ratio(const toml::node& node, std::string_view key, double& field) {
    if (auto f = node.value_exact<double>()) {
      field = *f;
    } else if (auto i = node.value_exact<int64_t>()) {
      field = static_cast<double>(*i);
    } else {
      return invalid("invalid type: " + describe(node), node, key, "f64");
    }
    return {};
  }

  utils::Status<ConfigError> words(const toml::node& node, std::string_view key, StopWords& field) {
    const toml::array* array = node.as_array();
    if (!array) return invalid("invalid type: " + describe(node), node, key, "a sequence");
    StopWords words;
    for (const toml::node& element : *array) {
      const auto word = element.value_exact<std::string>();
      if (!word) return invalid("invalid type: " + describe(element), element, key, "a string");
      words.insert(*word);
    }
    field = std::move(words);
    return {};
  }

 private:
  utils::Failure<ConfigError> invalid(const std::string& what, const toml::node& node,
                                      std::string_view key, const char* expected) {
    return fail(ConfigError{located(text_, node.source().begin,
                                    what + ", expected " + expected + " for key `" +
                                        std::string(key) + "`")});
  }

  std::string_view text_;
};

utils::Status<ConfigError> apply(Reader& reader, std::string_view key, const toml::node& node,
                                 Config& config) {
  if (key == "segment_size") return reader.unsigned_integer(node, key, "u64", config.segment_size);
  if (key == "documents_buffer_size") {
    return reader.unsigned_integer(node, key, "u64", config.documents_buffer_size);
  }
  if (key == "documents_save_after_seconds") {
    return reader.unsigned_integer(node, key, "u64", config.documents_save_after_seconds);
  }
  if (key == "merge_deleted_ratio") return reader.ratio(node, key, config.merge_deleted_ratio);
  if (key == "metadata_save_after_operations") {
    return reader.unsigned_integer(node, key, "u32", config.metadata_save_after_operations);
  }
  if (key == "metadata_save_after_seconds") {
    return reader.unsigned_integer(node, key, "u64", config.metadata_save_after_seconds);
  }
  if (key == "index_buffer_size") {
    return reader.unsigned_integer(node, key, "u64", config.index_buffer_size);
  }
  if (key == "index_save_after_operations") {
    return reader.unsigned_integer(node, key, "u64", config.index_save_after_operations);
  }
  if (key == "index_save_after_seconds") {
    return reader.unsigned_integer(node, key, "u64", config.index_save_after_seconds);
  }
  if (key == "stop_words") return reader.words(node, key, config.stop_words);
  return {};  // unknown keys are ignored, whatever their value
}

}  // namespace

StopWords default_stop_words() {
  return {"a",    "and",  "are",   "as",    "at",   "be",   "but",  "by",   "for",
          "if",   "in",   "into",  "is",    "it",   "no",   "not",  "of",   "on",
          "or",   "s",    "such",  "t",     "that", "the",  "their", "then", "there",
          "these", "they", "this", "to",    "was",  "will", "with", "www"};
}

ConfigResult Config::parse(std::string_view text) {
  toml::table table;
  try {
    table = toml::parse(text);
  } catch (const toml::parse_error& error) {
    return fail(ConfigError{located(text, error.source().begin, error.description())});
  }
  Config config;
  Reader reader(text);
  for (const auto& [key, node] : table) {
    if (auto status = apply(reader, key.str(), node, config); !status) {
      return fail(std::move(status.error()));
    }
  }
  return config;
}

ConfigResult Config::load(const std::optional<std::filesystem::path>& path) {
  if (!path) return Config();
  auto text = utils::read_file(*path);
  if (!text) return fail(ConfigError{std::move(text.error())});
  if (utils::check_utf8(*text)) return fail(ConfigError{utils::IoError::invalid_utf8()});
  return parse(*text);
}

}  // namespace tarnwick

// The error enumerations of the engine. Each subsystem reports failures as one of these values;
// the module boundary (errors.cpp) turns each kind into a Python exception. The kind of an error
// is the index of its detail, so `Kind` lists the alternatives in order.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "storage/codec/block.hpp"
#include "storage/codec/coding_errors.hpp"
#include "utils/io_error.hpp"
#include "utils/replace_file.hpp"
#include "utils/ulid_error.hpp"

namespace tarnwick {

using utils::UlidError;

// The system clock read before the UNIX epoch.
struct ClockError {};

// The TOML library's message, with the line and column it concerns.
struct TomlError {
  std::string message;
};

// A stored slice had the wrong length for the fixed-size value it holds.
struct TryFromSliceError {};

// A log record's operation byte is not a known operation.
struct UnknownLogOperationError {
  uint8_t operation;
};

// Persistence of whole records (the statistics file, the token store, the log writer).
struct BincodePersistenceError {
  enum class Kind { Io, Clock, Encode, Decode };
  std::variant<utils::IoError, ClockError, storage::EncodeError, storage::DecodeError> detail;
  Kind kind() const { return static_cast<Kind>(detail.index()); }

  // A record file that could not be rewritten: Encode (with the bytes written) when writing the
  // new contents failed, Io when creating, syncing or renaming did.
  static BincodePersistenceError rewriting(utils::ReplaceFileError error) {
    if (error.step == utils::ReplaceFileError::Step::Write) {
      return {storage::EncodeError(storage::EncodeIo{std::move(error.error), error.written})};
    }
    return {std::move(error.error)};
  }
};

struct DocumentsManagerError {
  enum class Kind { Io, Clock, Decode, Encode, Compress };
  std::variant<utils::IoError, ClockError, storage::DecodeError, storage::EncodeError,
               storage::CompressError>
      detail;
  Kind kind() const { return static_cast<Kind>(detail.index()); }
};

// Reading the index logs.
struct LogReadError {
  enum class Kind { Decode, TryFromSlice, UnknownLogOperation, Io };
  std::variant<storage::DecodeError, TryFromSliceError, UnknownLogOperationError, utils::IoError>
      detail;
  Kind kind() const { return static_cast<Kind>(detail.index()); }
};

struct IndexManagerError {
  enum class Kind { Io, Clock, LogRead, Persistence };
  std::variant<utils::IoError, ClockError, LogReadError, BincodePersistenceError> detail;
  Kind kind() const { return static_cast<Kind>(detail.index()); }

  static IndexManagerError persistence(BincodePersistenceError error) {
    return {std::move(error)};
  }
};

struct ConfigError {
  enum class Kind { Io, Toml };
  std::variant<utils::IoError, TomlError> detail;
  Kind kind() const { return static_cast<Kind>(detail.index()); }
};

}  // namespace tarnwick

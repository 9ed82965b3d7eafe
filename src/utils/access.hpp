// Access: how a store opens its files. The writer of an engine directory may create missing
// files and cut torn tails; a reader beside a writer changes nothing on disk, leaving out in
// memory what a writer's append in progress left half-written.
#pragma once

namespace tarnwick::utils {

enum class Access { ReadWrite, ReadOnly };

}  // namespace tarnwick::utils

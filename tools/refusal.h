// How the specimen builders say no: an optional result and, when the caller
// asked for it, a sentence saying why.
#pragma once

#include <optional>
#include <string>

namespace specimen {

// Stores `why` for the caller (when it gave somewhere to put it) and yields an
// empty result of whatever optional type the caller returns.
inline std::nullopt_t Refuse(std::string* error, std::string why) {
  if (error != nullptr) *error = std::move(why);
  return std::nullopt;
}

}  // namespace specimen

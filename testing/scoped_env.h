// An environment variable set (or removed) for the life of the object, with what was there
// before put back afterwards.
#pragma once

#include <optional>
#include <string>

namespace vorlane::testkit {

class ScopedEnv {
 public:
  // Sets `name` to `value`, or removes it when `value` is nullopt.
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

}  // namespace vorlane::testkit

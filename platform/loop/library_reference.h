// A reference on the shared library that contains an address, so that it stays loaded while
// code of its own may still run.
#pragma once

#include <dlfcn.h>

namespace vorlane::loop {

// Taken with dlopen and given back with dlclose; nothing for an address outside any library that
// can be unloaded (or for null).
class LibraryReference {
 public:
  explicit LibraryReference(const void* address) {
    Dl_info info{};
    if (address == nullptr || ::dladdr(address, &info) == 0 || info.dli_fname == nullptr) return;
    handle_ = ::dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  }
  ~LibraryReference() {
    if (handle_ != nullptr) ::dlclose(handle_);
  }
  LibraryReference(const LibraryReference&) = delete;
  LibraryReference& operator=(const LibraryReference&) = delete;

 private:
  void* handle_ = nullptr;
};

}  // namespace vorlane::loop

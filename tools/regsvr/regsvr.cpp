// regsvr: registers a component module's classes in the class registry by calling its
// DllRegisterServer, or removes them (-u) by calling DllUnregisterServer. The registry file is
// the one ClassRegistryPath() names, so $VORLANE_CLASS_REGISTRY selects it.
//
// Exit status: 0 done, 2 usage, 3 the module cannot be found or loaded, 4 it lacks the
// export, 5 the export reported a failure. Every failure names its HRESULT in hex.
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/com/activation.h"
#include "platform/com/hresult.h"
#include "platform/com/module_export.h"
#include "platform/com/registry.h"

namespace vorlane::com {
namespace {

enum ExitCode { kOk = 0, kUsage = 2, kNotLoaded = 3, kNotComponent = 4, kFailed = 5 };

int Fail(int code, const std::string& message, HRESULT hr) {
  std::fprintf(stderr, "regsvr: %s (hresult 0x%08X)\n", message.c_str(), static_cast<unsigned>(hr));
  return code;
}

int Run(int argc, char** argv) {
  bool unregister = false;
  std::string_view module;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-u" && !unregister && module.empty()) {
      unregister = true;
    } else if (module.empty() && !arg.empty() && arg.front() != '-') {
      module = arg;
    } else {
      module = {};
      break;
    }
  }
  if (module.empty()) {
    std::fprintf(stderr, "usage: regsvr [-u] MODULE\n");
    return kUsage;
  }

  // An absolute, resolved path: the module writes the path it was loaded from into the
  // registry, and a bare name would send dlopen searching the library path instead.
  std::error_code error;
  std::filesystem::path path = std::filesystem::canonical(std::filesystem::path(module), error);
  if (error) return Fail(kNotLoaded, "cannot find " + std::string(module) + ": " + error.message(), CO_E_DLLNOTFOUND);
  UniqueDlHandle handle(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!handle) {
    const char* message = ::dlerror();
    return Fail(kNotLoaded, "cannot load " + std::string(module) + ": " + (message ? message : "unknown error"),
                CO_E_DLLNOTFOUND);
  }

  const char* exportName = unregister ? kDllUnregisterServer : kDllRegisterServer;
  auto entry = handle.Symbol<DllRegisterServerFn>(exportName);
  if (!entry) return Fail(kNotComponent, std::string(module) + " does not export " + exportName, CO_E_ERRORINDLL);
  HRESULT hr = entry();
  if (Failed(hr)) {
    return Fail(kFailed, std::string(exportName) + " of " + std::string(module) + " failed, registry " +
                             ClassRegistryPath().string(), hr);
  }
  std::printf("regsvr: %s %s\n", unregister ? "unregistered" : "registered", std::string(module).c_str());
  return kOk;
}

}  // namespace
}  // namespace vorlane::com

int main(int argc, char** argv) { return vorlane::com::Run(argc, argv); }

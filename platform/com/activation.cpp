#include "platform/com/activation.h"

#include <link.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/com/module_export.h"
#include "platform/com/registry.h"
#include "platform/debuglog/debuglog.h"

namespace vorlane::com {
namespace {

// A module loaded by activation. The handle closes when the last shared_ptr goes, so a call
// into the module keeps it mapped even if it is dropped from the cache meanwhile.
struct Module {
  UniqueDlHandle handle;
  DllGetClassObjectFn getClassObject = nullptr;
  DllCanUnloadNowFn canUnloadNow = nullptr;
  // Guarded by the cache mutex. `busy` counts calls of DllGetClassObject in progress;
  // `generation` counts those ever begun, so that an unloader can see whether one started
  // while it was asking DllCanUnloadNow.
  int busy = 0;
  uint64_t generation = 0;
};

// The loaded modules by canonical path. The mutex is never held while a module's code runs
// (its constructors, DllGetClassObject, DllCanUnloadNow or its destructors at dlclose), so a
// module may itself activate classes from any of those without deadlocking.
struct ModuleCache {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<Module>> modules;
};

ModuleCache& Cache() {
  // Never destroyed: modules may still be in use while the process exits.
  static ModuleCache* cache = new ModuleCache;
  return *cache;
}

// Counts a call into the module for as long as it lives.
class CallGuard {
 public:
  explicit CallGuard(std::shared_ptr<Module> module) : module_(std::move(module)) {}
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;
  ~CallGuard() {
    std::lock_guard lock(Cache().mutex);
    --module_->busy;
  }
  Module& module() const { return *module_; }

 private:
  std::shared_ptr<Module> module_;
};

// Called with the cache mutex held.
std::unique_ptr<CallGuard> Enter(const std::shared_ptr<Module>& module) {
  ++module->busy;
  ++module->generation;
  return std::make_unique<CallGuard>(module);
}

// The key a registered module path is loaded and cached under: its canonical path, or the path
// as registered when it does not resolve (it still goes to dlopen, for the loader's own message).
std::string ModuleKey(const std::filesystem::path& registered) {
  std::error_code error;
  std::filesystem::path canonical = std::filesystem::canonical(registered, error);
  return error ? registered.string() : canonical.string();
}

// Finds the module in the cache or loads it, and enters it for one call.
HRESULT LoadModule(const std::string& key, std::unique_ptr<CallGuard>* entered) {
  ModuleCache& cache = Cache();
  {
    std::lock_guard lock(cache.mutex);
    if (auto found = cache.modules.find(key); found != cache.modules.end()) {
      *entered = Enter(found->second);
      return S_OK;
    }
  }

  // Loaded outside the lock: the loader runs the module's constructors. Two threads may both
  // load; the loader counts references, so the loser's handle just closes again below.
  auto module = std::make_shared<Module>();
  module->handle.reset(::dlopen(key.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!module->handle) {
    const char* message = ::dlerror();
    debuglog::Write("com: cannot load " + key + ": " + (message ? message : "unknown error"));
    return CO_E_DLLNOTFOUND;
  }
  module->getClassObject = module->handle.Symbol<DllGetClassObjectFn>(kDllGetClassObject);
  if (!module->getClassObject) {
    debuglog::Write("com: " + key + " exports no " + kDllGetClassObject);
    return CO_E_ERRORINDLL;
  }
  module->canUnloadNow = module->handle.Symbol<DllCanUnloadNowFn>(kDllCanUnloadNow);

  std::lock_guard lock(cache.mutex);
  auto [slot, inserted] = cache.modules.try_emplace(key, module);
  *entered = Enter(slot->second);
  // When another thread got there first, `module` closes its extra reference on return.
  (void)inserted;
  return S_OK;
}

std::filesystem::path ResolveModulePath(const std::filesystem::path& registryFile, std::string_view value) {
  std::filesystem::path path(value);
  if (path.is_relative()) path = registryFile.parent_path() / path;
  return path;
}

// Unlike the lenient conversion for BSTR text, an unpaired surrogate is refused: a ProgID that
// is not text names no class.
bool StrictUtf16ToUtf8(std::u16string_view in, std::string* out) {
  for (size_t i = 0; i < in.size(); ++i) {
    uint32_t c = in[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 == in.size() || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (in[++i] - 0xDC00u);
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | c >> 6));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | c >> 12));
      out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | c >> 18));
      out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return true;
}

}  // namespace

Result<std::filesystem::path> ModulePathOf(const void* address) {
  Dl_info info{};
  link_map* map = nullptr;
  if (::dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 || !map) {
    return Error{ENOENT, "no loaded module contains the address"};
  }
  std::error_code error;
  // The program itself has no name in the loader's list (dladdr would report argv[0]).
  std::filesystem::path path = *map->l_name ? std::filesystem::path(map->l_name)
                                            : std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) path = std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error);
  if (error) return Error{error.value(), "cannot resolve " + path.string() + ": " + error.message()};
  return path;
}

HRESULT CLSIDFromProgID(std::string_view progId, CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = CLSID{};
  if (progId.empty()) return CO_E_CLASSSTRING;
  ClassRegistry registry(ClassRegistryPath());
  std::string current(progId);
  // A few hops cover a version-independent ProgID and any sensible chain; a loop ends here.
  constexpr int kMaxHops = 4;
  for (int hop = 0; hop < kMaxHops; ++hop) {
    std::optional<std::string> next = registry.GetValue(current + "\\CurVer", "");
    if (!next || next->empty() || !registry.KeyExists(*next)) break;
    current = std::move(*next);
  }
  std::optional<std::string> text = registry.GetValue(current + "\\CLSID", "");
  std::optional<Guid> parsed = text ? ParseGuid(*text) : std::nullopt;
  if (!parsed) return CO_E_CLASSSTRING;
  *clsid = *parsed;
  return S_OK;
}

HRESULT CLSIDFromProgID(std::u16string_view progId, CLSID* clsid) {
  if (!clsid) return E_POINTER;
  std::string utf8;
  if (!StrictUtf16ToUtf8(progId, &utf8)) {
    *clsid = CLSID{};
    return CO_E_CLASSSTRING;
  }
  return CLSIDFromProgID(std::string_view(utf8), clsid);
}

namespace {

// What identifies one version of the registry file: a write replaces the file (a new inode) or
// changes its time or size.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  int64_t modifiedNs = 0;
  bool operator==(const FileStamp&) const = default;
};

std::optional<FileStamp> StampOf(const std::filesystem::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) return std::nullopt;
  return FileStamp{info.st_dev, info.st_ino, info.st_size,
                   static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

// The module of each class as the registry file named it when last read, so that creating the
// same class again costs one stat of the file instead of reading and parsing it.
struct ServerCache {
  struct Entry {
    FileStamp stamp;
    std::string moduleKey;
  };
  std::mutex mutex;
  std::map<std::string, Entry> entries;  // registry file + class id
};

ServerCache& Servers() {
  static ServerCache* cache = new ServerCache;  // never destroyed: usable from late destructors
  return *cache;
}

// The module key of `clsid`'s server; nothing when the registry names none.
std::optional<std::string> ServerModuleKey(const CLSID& clsid) {
  const std::filesystem::path file = ClassRegistryPath();
  const std::string classKey = "CLSID\\" + FormatGuidBraced(clsid);
  const std::string cacheKey = file.string() + '\n' + classKey;
  const std::optional<FileStamp> stamp = StampOf(file);
  ServerCache& cache = Servers();
  if (stamp) {
    std::lock_guard lock(cache.mutex);
    if (auto found = cache.entries.find(cacheKey); found != cache.entries.end() && found->second.stamp == *stamp) {
      return found->second.moduleKey;
    }
  }
  ClassRegistry registry(file);
  std::optional<std::string> server = registry.GetValue(classKey + "\\InprocServer32", "");
  if (!server || server->empty()) return std::nullopt;
  std::string moduleKey = ModuleKey(ResolveModulePath(registry.file(), *server));
  // Kept only when the file did not change while it was read.
  if (stamp && StampOf(file) == stamp) {
    std::lock_guard lock(cache.mutex);
    cache.entries.insert_or_assign(cacheKey, ServerCache::Entry{*stamp, moduleKey});
  }
  return moduleKey;
}

}  // namespace

HRESULT CoGetClassObject(const CLSID& clsid, const IID& iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  const std::optional<std::string> moduleKey = ServerModuleKey(clsid);
  if (!moduleKey) return REGDB_E_CLASSNOTREG;
  std::unique_ptr<CallGuard> entered;
  VORLANE_RETURN_IF_FAILED(LoadModule(*moduleKey, &entered));
  return entered->module().getClassObject(clsid, iid, object);
}

HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, uint32_t context, const IID& iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if ((context & CLSCTX_INPROC) == 0) return REGDB_E_CLASSNOTREG;
  // An aggregated object hands its own IUnknown only to the outer object.
  if (outer && iid != IUnknown::kIid) return CLASS_E_NOAGGREGATION;
  ComPtr<IClassFactory> factory;
  VORLANE_RETURN_IF_FAILED(CoGetClassObject(clsid, IClassFactory::kIid, factory.put_void()));
  return factory->CreateInstance(outer, iid, object);
}

HRESULT CreateInstanceByProgId(std::string_view progId, const IID& iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  CLSID clsid;
  VORLANE_RETURN_IF_FAILED(CLSIDFromProgID(progId, &clsid));
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, object);
}

void CoFreeUnusedLibraries() {
  ModuleCache& cache = Cache();
  struct Candidate {
    std::string key;
    std::shared_ptr<Module> module;
    uint64_t generation;
  };
  std::vector<Candidate> candidates;
  {
    std::lock_guard lock(cache.mutex);
    for (const auto& [key, module] : cache.modules) {
      // A module in the middle of a call may be about to hand out its first object.
      if (module->canUnloadNow && module->busy == 0) candidates.push_back({key, module, module->generation});
    }
  }
  for (Candidate& candidate : candidates) {
    if (candidate.module->canUnloadNow() != S_OK) continue;
    std::shared_ptr<Module> unloaded;
    {
      std::lock_guard lock(cache.mutex);
      auto found = cache.modules.find(candidate.key);
      // Unchanged generation: no class object was asked for since before DllCanUnloadNow,
      // so its answer still holds.
      if (found == cache.modules.end() || found->second != candidate.module || candidate.module->busy != 0 ||
          candidate.module->generation != candidate.generation) {
        continue;
      }
      unloaded = std::move(found->second);
      cache.modules.erase(found);
    }
    // dlclose (the last reference, with `candidate`) runs the module's destructors; not under the lock.
    unloaded.reset();
    candidate.module.reset();
  }
}

}  // namespace vorlane::com

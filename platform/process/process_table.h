// The running processes of a host as instances of a "Process" object: one instance per process,
// named as the system names the process, plus one "_Total" instance that stands for all of them.
// Backed by /proc on this host.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace vorlane::platform {

// Enumeration statuses, with the values of the performance data helper's codes.
inline constexpr uint32_t kProcessStatusOk = 0;
inline constexpr uint32_t kPdhMoreData = 0x800007D2;      // more data is waiting (a success)
inline constexpr uint32_t kPdhNoMachine = 0x800007D0;     // the machine cannot be reached
inline constexpr uint32_t kPdhNoObject = 0xC0000BB8;      // the "Process" object is not there
inline constexpr uint32_t kRpcCallFailed = 1726;          // a remote procedure call failed

// The instance that stands for all processes; it is enumerated once, after the processes.
inline constexpr std::string_view kTotalInstance = "_Total";

// Calls `visit` with each instance name of the "Process" object of `host` (empty: this host),
// the processes in ascending process id, then "_Total". Returns kProcessStatusOk, or the status
// that ended the enumeration (no instance is visited then). Processes that end while they are
// read are skipped. Only this host can be enumerated: any named host (even this host's own name)
// gives kPdhNoMachine.
uint32_t ForEachProcessInstance(std::string_view host, const std::function<void(std::string_view name)>& visit);

// The same over a /proc tree at `procRoot` (tests give a tree of their own).
uint32_t ForEachProcessInstanceIn(const std::filesystem::path& procRoot,
                                  const std::function<void(std::string_view name)>& visit);

// The instance name of one process, from its /proc/<pid> folder: the command name the kernel
// keeps, or, where the kernel cut that name to its 15-character limit, the base name of the
// program it runs when that name starts with the cut one. Empty when the process is gone.
std::string ProcessInstanceName(const std::filesystem::path& procPidDir);

struct ProcessCount {
  int32_t count = -1;    // -1 on failure
  uint32_t status = 0;   // kProcessStatusOk on success
};

// The number of instances of `host` whose name equals `name` without regard to letter case
// (ASCII); "_Total" is an instance like the others.
ProcessCount CountProcessInstances(std::string_view host, std::string_view name);

// The instance name of a process from what the kernel tells of it: `comm` (its command name,
// without the line end) unless the kernel cut that to 15 bytes; then the base name of `argv0`
// (the program as started) or else of `exeTarget` (the target of the exe link, " (deleted)"
// dropped) when that name starts with the cut one. Hosts read over other channels name their
// processes with it too.
std::string InstanceNameOf(std::string_view comm, std::string_view argv0, std::string_view exeTarget);

// Whether the kernel may have cut a command name of this length (the names that need the
// program's own name to be read as well).
bool IsCutCommandName(std::string_view comm);

// Case-insensitive (ASCII) whole-name comparison of instance names.
bool SameInstanceName(std::string_view a, std::string_view b);

// The message text for an enumeration status, as the system or the performance library words
// it, ending in "\r\n"; empty for a status without a text (and for kProcessStatusOk).
std::string ProcessStatusText(uint32_t status);

}  // namespace vorlane::platform

// vorlane-fake-systemd BUS_ADDRESS UNITS_FILE
//
// A stand-in for systemd's manager object on a private bus, for tests: it owns the name
// org.freedesktop.systemd1 and answers org.freedesktop.systemd1.Manager.ListUnits at
// /org/freedesktop/systemd1 with the units listed in UNITS_FILE, read anew for every call.
//
// UNITS_FILE holds one unit per line:
//   <unit name> <load state> <active state> <sub state> [description...]
// Empty lines and lines starting with '#' are skipped. Two lines change how the call is answered:
//   !hang <ms>    wait that long (at most kMaxHang) before answering
//   !malformed    answer with a(ss) instead of a(ssssssouso)
// A file that cannot be read is answered with org.freedesktop.DBus.Error.Failed.
//
// Prints "ready" on stdout once it owns the name, and serves until SIGTERM or SIGINT, or until
// the bus goes away.
#include <signal.h>
#include <sys/prctl.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kMaxHang{10000};
constexpr uint64_t kWaitSliceUsec = 100 * 1000;

volatile sig_atomic_t stopRequested = 0;

void OnStopSignal(int) { stopRequested = 1; }

struct Unit {
  std::string name;
  std::string loadState;
  std::string activeState;
  std::string subState;
  std::string description;
  std::string path;
};

struct UnitsFile {
  std::vector<Unit> units;
  std::chrono::milliseconds hang{0};
  bool malformed = false;
};

const char* unitsPath = nullptr;

// The object path systemd gives a unit: every byte that is not a letter or digit (and a leading
// digit) becomes _XX in hex.
std::string UnitObjectPath(const std::string& name) {
  static const char kHex[] = "0123456789abcdef";
  std::string label;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    if (letter || (digit && i > 0)) {
      label += static_cast<char>(c);
    } else {
      label += '_';
      label += kHex[c >> 4];
      label += kHex[c & 15];
    }
  }
  if (label.empty()) label = "_";
  return "/org/freedesktop/systemd1/unit/" + label;
}

bool ReadUnits(UnitsFile& out, std::string& problem) {
  std::ifstream in(unitsPath);
  if (!in) {
    problem = std::string("cannot read ") + unitsPath + ": " + std::strerror(errno);
    return false;
  }
  std::string line;
  int lineNumber = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    std::istringstream fields(line);
    std::string first;
    if (!(fields >> first) || first[0] == '#') continue;
    if (first == "!hang") {
      long long ms = 0;
      if (!(fields >> ms) || ms < 0) {
        problem = std::string(unitsPath) + ":" + std::to_string(lineNumber) + ": !hang needs a number of ms";
        return false;
      }
      out.hang = std::min(std::chrono::milliseconds(ms), kMaxHang);
      continue;
    }
    if (first == "!malformed") {
      out.malformed = true;
      continue;
    }
    Unit unit;
    unit.name = first;
    if (!(fields >> unit.loadState >> unit.activeState >> unit.subState)) {
      problem = std::string(unitsPath) + ":" + std::to_string(lineNumber) + ": want <name> <load> <active> <sub>";
      return false;
    }
    std::getline(fields >> std::ws, unit.description);
    if (unit.description.empty()) unit.description = unit.name;
    unit.path = UnitObjectPath(unit.name);
    out.units.push_back(std::move(unit));
  }
  return true;
}

// Waits `hang`, in slices so that a stop signal still ends the program promptly.
void Hang(std::chrono::milliseconds hang) {
  const auto until = std::chrono::steady_clock::now() + hang;
  while (!stopRequested && std::chrono::steady_clock::now() < until) {
    const auto left = std::min<std::chrono::nanoseconds>(until - std::chrono::steady_clock::now(), 20ms);
    if (left.count() <= 0) break;
    const timespec slice{0, static_cast<long>(left.count())};
    ::nanosleep(&slice, nullptr);
  }
}

int ListUnits(sd_bus_message* call, void*, sd_bus_error* error) {
  UnitsFile file;
  std::string problem;
  if (!ReadUnits(file, problem)) return sd_bus_error_set(error, SD_BUS_ERROR_FAILED, problem.c_str());
  if (file.hang.count() > 0) Hang(file.hang);

  sd_bus_message* reply = nullptr;
  int rc = sd_bus_message_new_method_return(call, &reply);
  if (rc < 0) return rc;
  const char* element = file.malformed ? "(ss)" : "(ssssssouso)";
  rc = sd_bus_message_open_container(reply, SD_BUS_TYPE_ARRAY, element);
  for (const Unit& unit : file.units) {
    if (rc < 0) break;
    if (file.malformed) {
      rc = sd_bus_message_append(reply, "(ss)", unit.name.c_str(), unit.activeState.c_str());
    } else {
      rc = sd_bus_message_append(reply, "(ssssssouso)", unit.name.c_str(), unit.description.c_str(),
                                 unit.loadState.c_str(), unit.activeState.c_str(), unit.subState.c_str(), "",
                                 unit.path.c_str(), static_cast<uint32_t>(0), "", "/");
    }
  }
  if (rc >= 0) rc = sd_bus_message_close_container(reply);
  if (rc >= 0) rc = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return rc < 0 ? rc : 1;
}

// A plain object callback rather than a vtable: sd-bus would refuse to send the malformed answer
// for a method declared with the a(ssssssouso) result.
int OnManagerObject(sd_bus_message* message, void* userdata, sd_bus_error* error) {
  if (sd_bus_message_is_method_call(message, "org.freedesktop.systemd1.Manager", "ListUnits") <= 0) return 0;
  return ListUnits(message, userdata, error);
}

int Fail(const char* what, int rc) {
  std::fprintf(stderr, "vorlane-fake-systemd: %s: %s\n", what, std::strerror(-rc));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s BUS_ADDRESS UNITS_FILE\n", argv[0]);
    return 2;
  }
  unitsPath = argv[2];
  // A test that dies without cleaning up takes its fake along.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);

  struct sigaction action{};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);

  sd_bus* bus = nullptr;
  int rc = sd_bus_new(&bus);
  if (rc < 0) return Fail("sd_bus_new", rc);
  rc = sd_bus_set_address(bus, argv[1]);
  if (rc >= 0) rc = sd_bus_set_bus_client(bus, 1);
  if (rc >= 0) rc = sd_bus_start(bus);
  if (rc < 0) {
    sd_bus_unref(bus);
    return Fail("cannot connect to the bus", rc);
  }
  sd_bus_slot* slot = nullptr;
  rc = sd_bus_add_object(bus, &slot, "/org/freedesktop/systemd1", OnManagerObject, nullptr);
  if (rc < 0) {
    sd_bus_flush_close_unref(bus);
    return Fail("cannot export the manager object", rc);
  }
  rc = sd_bus_request_name(bus, "org.freedesktop.systemd1", 0);
  if (rc < 0) {
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
    return Fail("cannot own org.freedesktop.systemd1", rc);
  }
  std::fputs("ready\n", stdout);
  std::fflush(stdout);

  int status = 0;
  while (!stopRequested) {
    rc = sd_bus_process(bus, nullptr);
    if (rc < 0) {
      status = rc == -ECONNRESET || rc == -ENOTCONN ? 0 : Fail("sd_bus_process", rc);
      break;
    }
    if (rc > 0) continue;
    rc = sd_bus_wait(bus, kWaitSliceUsec);
    if (rc < 0 && rc != -EINTR) {
      status = rc == -ECONNRESET || rc == -ENOTCONN ? 0 : Fail("sd_bus_wait", rc);
      break;
    }
  }
  sd_bus_slot_unref(slot);
  sd_bus_flush_close_unref(bus);
  return status;
}

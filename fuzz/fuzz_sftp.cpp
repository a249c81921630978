// The SFTP server's outside bytes: the packet stream a client sends, the fields read from each
// packet, and the paths it names.
//
// Packets: the framer, fed in arbitrary chunks, hands out the packets a plain reading of the
// length fields gives, in order, and fails only on a length of zero or above the limit. Fields
// read from a packet in any order never run past its end, a failed read stays failed, and the
// fields read, written again, read back equal.
//
// Paths: against a home made once per process (folders, a file, links pointing outside and
// inside), a normalised path holds no empty, "." or ".." part, normalising is idempotent, and a
// resolved target always lies inside the home: its parent descriptor names the home or a folder
// below it, and a link on the way is refused with ELOOP, never followed. Nothing under the home is
// created or removed here.
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/termserver/sftp_codec.h"
#include "platform/termserver/sftp_fs.h"

namespace {

namespace sftp = vorlane::termserver::sftp;

// ---- packets ----------------------------------------------------------------------------

uint32_t BigEndian32(std::string_view bytes) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = (value << 8) | static_cast<uint8_t>(bytes[i]);
  return value;
}

// One field read from a packet, kept to be written again and compared.
struct Field {
  int kind = 0;  // 0 U8, 1 U32, 2 U64, 3 String, 4 Attrs
  uint64_t number = 0;
  std::string text;
  sftp::Attrs attrs;
};

bool SameAttrs(const sftp::Attrs& a, const sftp::Attrs& b) {
  return (a.flags & ~sftp::kAttrExtended) == (b.flags & ~sftp::kAttrExtended) && a.size == b.size &&
         a.uid == b.uid && a.gid == b.gid && a.permissions == b.permissions && a.atime == b.atime &&
         a.mtime == b.mtime;
}

Field ReadField(sftp::PacketReader& reader, int kind) {
  Field field;
  field.kind = kind;
  switch (kind) {
    case 0: field.number = reader.U8(); break;
    case 1: field.number = reader.U32(); break;
    case 2: field.number = reader.U64(); break;
    case 3: field.text = reader.String(); break;
    default: field.attrs = reader.ReadAttrs(); break;
  }
  return field;
}

void WriteField(sftp::PacketWriter& writer, const Field& field) {
  switch (field.kind) {
    case 0: writer.U8(static_cast<uint8_t>(field.number)); break;
    case 1: writer.U32(static_cast<uint32_t>(field.number)); break;
    case 2: writer.U64(field.number); break;
    case 3: writer.String(field.text); break;
    default: writer.WriteAttrs(field.attrs); break;
  }
}

bool SameField(const Field& a, const Field& b) {
  return a.kind == b.kind && a.number == b.number && a.text == b.text && SameAttrs(a.attrs, b.attrs);
}

void CheckFields(std::string_view packet, std::string_view order) {
  sftp::PacketReader reader(packet);
  std::vector<Field> fields;
  bool failed = false;
  for (char c : order) {
    fields.push_back(ReadField(reader, static_cast<uint8_t>(c) % 5));
    if (failed) FUZZ_CHECK(!reader.ok());
    failed = !reader.ok();
  }
  if (failed) return;
  // The writer's packet: length, a type byte, then the fields again.
  sftp::PacketWriter writer(0);
  for (const Field& field : fields) WriteField(writer, field);
  const std::string written = writer.Finish();
  FUZZ_CHECK(written.size() >= 5);
  FUZZ_CHECK(BigEndian32(written) == written.size() - 4);
  sftp::PacketReader again(std::string_view(written).substr(5));
  for (const Field& field : fields) FUZZ_CHECK(SameField(ReadField(again, field.kind), field));
  FUZZ_CHECK(again.ok());
}

void CheckPacketStream(FuzzedDataProvider& input) {
  const std::string order = input.ConsumeRandomLengthString(12);
  sftp::PacketFramer framer;
  std::string stream;  // all bytes appended so far
  size_t expectedAt = 0;  // where the next packet's length field starts in `stream`
  for (int push = 0; push < 64 && input.remaining_bytes() > 0; ++push) {
    const size_t chunk = input.ConsumeIntegralInRange<size_t>(0, 64);
    const std::string bytes = input.ConsumeBytesAsString(chunk);
    framer.Append(bytes);
    stream += bytes;
    for (int round = 0; round < 4096; ++round) {
      std::string packet;
      const sftp::PacketFramer::Result result = framer.Next(packet);
      const size_t available = stream.size() - expectedAt;
      if (available < 4) {
        FUZZ_CHECK(result == sftp::PacketFramer::Result::kNeedMore);
        break;
      }
      const uint32_t length = BigEndian32(std::string_view(stream).substr(expectedAt, 4));
      if (length == 0 || length > sftp::kMaxPacketBytes) {
        FUZZ_CHECK(result == sftp::PacketFramer::Result::kError);
        // The error stays: the stream cannot be cut any further.
        FUZZ_CHECK(framer.Next(packet) == sftp::PacketFramer::Result::kError);
        return;
      }
      if (available - 4 < length) {
        FUZZ_CHECK(result == sftp::PacketFramer::Result::kNeedMore);
        break;
      }
      FUZZ_CHECK(result == sftp::PacketFramer::Result::kPacket);
      FUZZ_CHECK(packet == std::string_view(stream).substr(expectedAt + 4, length));
      expectedAt += 4 + length;
      CheckFields(packet, order);
    }
  }
}

// ---- paths ------------------------------------------------------------------------------

// The home: folders a, a/b, a file f and a/b/g, links out -> / (outside), a/up -> ../..
// (outside through ".."), in -> a (inside) and a/b/self -> . (inside).
class Home {
 public:
  Home() {
    char pattern[] = "/tmp/vorlane-fuzz-sftp-XXXXXX";
    if (!::mkdtemp(pattern)) std::abort();
    path_ = pattern;
    const bool made = ::mkdir((path_ + "/a").c_str(), 0755) == 0 &&
                      ::mkdir((path_ + "/a/b").c_str(), 0755) == 0 && MakeFile(path_ + "/f") &&
                      MakeFile(path_ + "/a/b/g") && ::symlink("/", (path_ + "/out").c_str()) == 0 &&
                      ::symlink("../..", (path_ + "/a/up").c_str()) == 0 &&
                      ::symlink("a", (path_ + "/in").c_str()) == 0 &&
                      ::symlink(".", (path_ + "/a/b/self").c_str()) == 0;
    if (!made) std::abort();
    fs_ = std::make_unique<sftp::ConfinedFs>(path_);
    if (!fs_->valid()) std::abort();
    std::snprintf(pathForExit, sizeof pathForExit, "%s", path_.c_str());
    std::atexit(&Home::RemoveAtExit);
  }

  const sftp::ConfinedFs& fs() const { return *fs_; }

 private:
  static bool MakeFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    return fd >= 0 && ::close(fd) == 0;
  }
  // A plain array: nothing destroys it before the exit handler runs.
  static inline char pathForExit[PATH_MAX] = "";
  static void RemoveAtExit() {
    // Depth first, links removed as links.
    ::nftw(pathForExit,
           [](const char* name, const struct stat*, int, struct FTW*) {
             ::remove(name);
             return 0;
           },
           16, FTW_DEPTH | FTW_PHYS);
  }

  std::string path_;
  std::unique_ptr<sftp::ConfinedFs> fs_;
};

const Home& TheHome() {
  static const Home home;
  return home;
}

bool InsideHome(const std::string& path, const std::string& home) {
  return path == home || (path.size() > home.size() && path.compare(0, home.size(), home) == 0 &&
                          path[home.size()] == '/');
}

// What walking the folders of `parts` below the home should give, asked of the host by name:
// the first link met is refused, a missing entry or a non-folder stops the walk.
int ExpectedWalk(const std::string& home, const std::vector<std::string>& parts) {
  std::string path = home;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    path += "/" + parts[i];
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errno;
    if (S_ISLNK(st.st_mode)) return ELOOP;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  }
  return 0;
}

void CheckPath(const std::string& clientPath) {
  const sftp::ConfinedFs& fs = TheHome().fs();
  const std::string& home = fs.home();

  const std::vector<std::string> parts = sftp::NormalizePath(clientPath);
  for (const std::string& part : parts) {
    FUZZ_CHECK(!part.empty() && part != "." && part != "..");
    FUZZ_CHECK(part.find('/') == std::string::npos);
  }
  const std::string joined = sftp::JoinClientPath(parts);
  FUZZ_CHECK(!joined.empty() && joined[0] == '/');
  FUZZ_CHECK(sftp::NormalizePath(joined) == parts);
  FUZZ_CHECK(sftp::JoinClientPath(sftp::NormalizePath(joined)) == joined);

  sftp::Target target;
  const int error = fs.Resolve(clientPath, target);
  if (clientPath.find('\0') != std::string::npos) {
    FUZZ_CHECK(error == EINVAL);
    return;
  }
  // Names the host could not take at all (longer than a name may be) are outside this check.
  for (const std::string& part : parts) {
    if (part.size() > NAME_MAX) return;
  }
  FUZZ_CHECK(error == ExpectedWalk(home, parts));
  if (error != 0) return;

  FUZZ_CHECK(target.clientPath == joined);
  FUZZ_CHECK(InsideHome(target.realPath, home));
  FUZZ_CHECK(target.parent.valid());
  char linkText[PATH_MAX + 1];
  const std::string fdPath = "/proc/self/fd/" + std::to_string(target.parent.get());
  const ssize_t length = ::readlink(fdPath.c_str(), linkText, PATH_MAX);
  FUZZ_CHECK(length > 0);
  const std::string parentPath(linkText, static_cast<size_t>(length));
  FUZZ_CHECK(InsideHome(parentPath, home));
  if (parts.empty()) {
    FUZZ_CHECK(target.IsHome() && parentPath == home && target.realPath == home);
  } else {
    FUZZ_CHECK(target.name == parts.back());
    FUZZ_CHECK(target.realPath == home + joined);
  }

  // The entry itself: Lstat sees what is there, a link included; Stat refuses a link.
  struct stat seen;
  struct stat expected;
  const int lstatError = fs.Lstat(target, seen);
  const int expectedError = ::lstat(target.realPath.c_str(), &expected) == 0 ? 0 : errno;
  FUZZ_CHECK(lstatError == expectedError);
  if (lstatError == 0) FUZZ_CHECK(seen.st_ino == expected.st_ino && seen.st_dev == expected.st_dev);
  const int statError = fs.Stat(target, seen);
  if (expectedError != 0) {
    FUZZ_CHECK(statError == expectedError);
  } else {
    FUZZ_CHECK(statError == (S_ISLNK(expected.st_mode) ? ELOOP : 0));
  }
}

void CheckPaths(FuzzedDataProvider& input) {
  for (int i = 0; i < 16 && input.remaining_bytes() > 0; ++i) CheckPath(input.ConsumeRandomLengthString(600));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  if (input.ConsumeBool()) {
    CheckPaths(input);
  } else {
    CheckPacketStream(input);
  }
  return 0;
}

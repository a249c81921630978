// A minimal SFTP client for tests: encodes requests independently of the server's codec, feeds
// them to an SftpServer and decodes what it answers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/termserver/sftp_server.h"
#include "platform/termserver/tests/fake_connection.h"

namespace vorlane::termserver::testing {

// Request body builder; Packet() prefixes the length.
struct Req {
  std::string body;
  explicit Req(uint8_t type) { body.push_back(static_cast<char>(type)); }
  Req& U32(uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) body.push_back(static_cast<char>((v >> s) & 0xff));
    return *this;
  }
  Req& U64(uint64_t v) { return U32(static_cast<uint32_t>(v >> 32)).U32(static_cast<uint32_t>(v)); }
  Req& Str(std::string_view s) {
    U32(static_cast<uint32_t>(s.size()));
    body.append(s);
    return *this;
  }
  std::string Packet() const { return Req(0).U32(static_cast<uint32_t>(body.size())).body.substr(1) + body; }
};

// Field reader over a reply; a read past the end sets ok = false.
struct Dec {
  std::string data;
  size_t pos = 0;
  bool ok = true;
  uint32_t U32() {
    if (data.size() - pos < 4) return ok = false, 0;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(data[pos++]);
    return v;
  }
  uint64_t U64() {
    const uint64_t high = U32();
    return (high << 32) | U32();
  }
  std::string Str() {
    const uint32_t n = U32();
    if (!ok || data.size() - pos < n) return ok = false, std::string();
    pos += n;
    return data.substr(pos - n, n);
  }
  // Attributes as {size, permissions}, the parts the tests look at.
  std::pair<uint64_t, uint32_t> Attrs() {
    const uint32_t flags = U32();
    uint64_t size = (flags & 1) ? U64() : 0;
    if (flags & 2) U64();
    uint32_t perms = (flags & 4) ? U32() : 0;
    if (flags & 8) U64();
    return {size, perms};
  }
};

struct Reply {
  uint8_t type = 0;
  uint32_t id = 0;
  Dec rest;  // after the id
  uint32_t Status() {
    EXPECT_EQ(type, 101);
    return type == 101 ? Dec{rest.data, rest.pos}.U32() : 0xffffffff;
  }
  std::string Handle() {
    EXPECT_EQ(type, 102) << "status " << (type == 101 ? Dec{rest.data}.U32() : 0u);
    return rest.Str();
  }
};

class SftpClient {
 public:
  explicit SftpClient(FakeConnection& connection)
      : server_(connection, 5, [this](std::string_view bytes) { stream_.append(bytes); }) {}

  bool Feed(std::string_view bytes, bool byteByByte = false) {
    if (!byteByByte) return server_.Feed(bytes);
    for (char c : bytes) {
      if (!server_.Feed(std::string_view(&c, 1))) return false;
    }
    return true;
  }
  // Every complete reply received so far.
  std::vector<Reply> Replies() {
    std::vector<Reply> replies;
    Dec in{stream_};
    while (in.data.size() - in.pos >= 4) {
      const uint32_t length = in.U32();
      if (length < 5 || in.data.size() - in.pos < length) break;
      Reply reply;
      reply.type = static_cast<uint8_t>(in.data[in.pos]);
      reply.rest.data = in.data.substr(in.pos + 1, length - 1);
      reply.id = reply.type == 2 ? 0 : reply.rest.U32();  // VERSION carries no id
      replies.push_back(std::move(reply));
      in.pos += length;
    }
    stream_.erase(0, in.pos);
    return replies;
  }
  void Init() {
    EXPECT_TRUE(Feed(Req(1).U32(3).Packet()));
    EXPECT_EQ(Replies().size(), 1u);
  }
  // Sends a request (the id is added here) and returns its one reply.
  Reply Call(uint8_t type, const std::function<void(Req&)>& fields = {}) {
    Req req(type);
    req.U32(++id_);
    if (fields) fields(req);
    EXPECT_TRUE(Feed(req.Packet()));
    auto replies = Replies();
    EXPECT_EQ(replies.size(), 1u);
    if (replies.size() != 1) return {};
    EXPECT_EQ(replies[0].id, id_);
    return replies[0];
  }
  Reply Path(uint8_t type, std::string_view path) { return Call(type, [&](Req& r) { r.Str(path); }); }
  Reply Open(std::string_view path, uint32_t flags) {
    return Call(3, [&](Req& r) { r.Str(path).U32(flags).U32(0); });
  }
  uint32_t Close(const std::string& handle) { return Path(4, handle).Status(); }
  uint32_t lastId() const { return id_; }

 private:
  SftpServer server_;
  std::string stream_;
  uint32_t id_ = 0;
};

}  // namespace vorlane::termserver::testing

// One client connection as the protocol code (Telnet or SSH) sees the component: the events it
// raises, each answered by the application, and the way the application's output comes back.
//
// Threads: every connection is served by a thread of its own. An event call blocks that thread
// (and only that connection) until the application's handler, which runs on the thread that
// created the component, has returned; text the handler sends meanwhile is written through the
// connection's ConnectionOutput on the connection thread, before the event call returns.
// Received is the exception: it hands the request over and returns, and the handlers take the
// requests in order; output comes back through the wake fd as for any output outside an event.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/termserver/term_server_contract.h"

namespace vorlane::termserver {

// How a login that goes on to its shell ended.
enum class ShellLogin { kRefused, kNoShell, kStarted };

// The SFTP operations that the application may allow or refuse (values are the event ids).
enum class SftpOperation : int32_t {
  kListDir = kEventSftpListDir,
  kDownloadFile = kEventSftpDownloadFile,
  kUploadFile = kEventSftpUploadFile,
  kRemoveDir = kEventSftpRemoveDir,
  kDeleteFile = kEventSftpDeleteFile,
  kMakeDir = kEventSftpMakeDir,
  kRename = kEventSftpRename,
};

// Writes output of the application to the peer. Called on the connection thread only.
class ConnectionOutput {
 public:
  virtual void Write(int32_t channel, std::string_view text) = 0;

 protected:
  ~ConnectionOutput() = default;
};

// Output that the application's threads write themselves when the connection is not writing
// already, instead of handing it to the connection thread and waking it. Called with the
// connection's state locked, so it must never wait.
class DirectOutput {
 public:
  // Takes `text` of `channel` (written, or kept to be written in order by the connection
  // thread); false when it cannot take it now, and it goes the usual way.
  virtual bool TryWrite(int32_t channel, std::string_view text) = 0;

 protected:
  ~DirectOutput() = default;
};

class Connection {
 public:
  // The peer's address as text (an IPv4-mapped IPv6 peer reads as its IPv4 text).
  virtual const std::string& RemoteAddress() const = 0;

  // Where output goes; set by the protocol code before the first event.
  virtual void SetOutput(ConnectionOutput* output) = 0;
  // Readable when the application queued output outside an event; then call DrainOutput.
  virtual int WakeFd() const = 0;
  virtual void DrainOutput() = 0;
  // Output of the application written from its own thread while set (nullptr: none).
  virtual void SetDirectOutput(DirectOutput* output) = 0;
  // While true, the wake fd also turns readable when the application's last answer is out: the
  // connection waits for it. Otherwise nothing is woken for that.
  virtual void AwaitAnswers(bool waiting) = 0;
  // True once the server stops or the application closed this connection: end at once.
  virtual bool ShouldClose() const = 0;
  // A connection that sends nothing for this long is closed.
  virtual std::chrono::seconds IdleTimeout() const = 0;
  // Read nothing further from the client while true: the application has as many of its
  // requests unanswered as it takes (the wake fd turns readable when that changes).
  virtual bool InputHeld() const = 0;
  // True while the application has requests of this connection that it has not answered, or
  // answers that have not been written yet.
  virtual bool AnswersPending() const = 0;
  // The connection serves no more requests (its client is gone, or it ends): requests handed
  // over whose handler has not run yet are dropped, as their answers could reach no one.
  virtual void Ending() = 0;

  // --- Events. Defaults when the application does not decide: allow, refuse, the home folder.
  virtual bool Connecting() = 0;
  // Throttling, the try count and the credential size limits are applied here.
  virtual bool LoginPassword(std::string_view login, std::string_view password) = 0;
  // LoginPassword and, once allowed, ServiceRequest and ServiceStart of a shell on `channel`, as
  // one call: for a protocol whose login always goes on to its one shell.
  virtual ShellLogin LoginAndStartShell(int32_t channel, std::string_view login, std::string_view password) = 0;
  // The service type that the application decided for a channel (kServiceApplication,
  // kServiceSftp, or anything else = refused).
  virtual int32_t ServiceRequest(int32_t channel, int32_t requestedType) = 0;
  virtual void ServiceStart(int32_t channel, int32_t type, std::string_view name) = 0;
  virtual void Received(int32_t channel, std::string request) = 0;
  // The folder SFTP is confined to.
  virtual std::string SftpHome() = 0;
  // Whether an SFTP operation may proceed; `resolved` is the path the operation will use (the
  // application may read it). `path2` is the new name for kRename, else empty.
  virtual bool SftpAllowed(SftpOperation operation, const std::string& path, const std::string& path2,
                           const std::string& resolved) = 0;
  virtual void Disconnected() = 0;

 protected:
  ~Connection() = default;
};

}  // namespace vorlane::termserver

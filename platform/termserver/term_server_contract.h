// The terminal server component's contract for its clients: class and interface identifiers,
// the member ids for late binding, the values its properties and events take, and the arguments
// of every event by position. Clients include this header and create the server by class id;
// they link against nothing of the component.
#pragma once

#include <cstdint>

#include "platform/com/contract.h"
#include "platform/com/interfaces.h"

namespace vorlane::termserver {

inline constexpr com::CLSID kTermServerClsid = com::GuidLiteral("B1ACEA20-274F-4DE0-AEC6-BBD3DD88D0E0");
inline constexpr const char* kTermServerProgId = "Vorlane.TermServer.1";
inline constexpr const char* kTermServerIndependentProgId = "Vorlane.TermServer";
inline constexpr const char* kTermServerDescription = "Vorlane terminal server";

// The SSH host key holder. Prepare loads the host keys from the configuration folder, or creates
// them; its two arguments are accepted and not used. One row per member
// (platform/com/contract.h), as for the interfaces below.
#define VORLANE_TERM_KEYS_MEMBERS(X) \
  X(METHOD, Prepare, kKeysPrepare, 4,  \
    void(com::Optional<com::VARIANT, com::kLeftOut> kind, com::Optional<com::VARIANT, com::kLeftOut> name))

VORLANE_DISPATCH_INTERFACE(ITermKeys, "7C1E5B0A-3F24-4D8E-9B57-6A0C2E9D4F32", VORLANE_TERM_KEYS_MEMBERS);

// The server object. Start's argument is accepted and not used; Stop closes the listener and
// every connection and returns within the stop deadline whatever the clients do.
#define VORLANE_TERM_SERVER_MEMBERS(X)                                                \
  X(METHOD, Start, kServerStart, 1, void(com::Optional<com::VARIANT, com::kLeftOut> reserved)) \
  X(METHOD, Stop, kServerStop, 2, void())                                             \
  X(GETPUT, BindAddress, kServerBindAddress, 5, com::BSTR)                            \
  X(GET, Keys, kServerKeys, 7, ITermKeys*)                                            \
  X(GETPUT, IdleTimeout, kServerIdleTimeout, 10, int32_t)                             \
  X(GETPUT, Port, kServerPort, 15, int32_t)                                           \
  X(GETPUT, AuthMode, kServerAuthMode, 17, int32_t)                                   \
  X(GETPUT, Protocol, kServerProtocol, 18, int32_t)

VORLANE_DISPATCH_INTERFACE(ITermServer, "4ADFBDD2-27D8-413F-907D-C33DFC24A09B", VORLANE_TERM_SERVER_MEMBERS);

// The events, raised on the thread that created the server.
VORLANE_DISPATCH_INTERFACE(ITermServerEvents, "221A3E44-2F0F-4302-83B2-DC3AAA3C0372", VORLANE_NO_MEMBERS);

// One connection, handed to every event as its first argument. It may be called from any
// thread: its members only queue output or read and write the connection's state under its lock.
//   Send(text, channel)  queued for the connection's thread, in order
//   Receive(count)       the text of the request of the current Received event, at most count
//                        characters (all of it when count is left out or negative)
//   UnansweredRequests   for an application that answers requests after their Received event
//                        has returned, how many of the connection's requests it has not answered
//                        yet. While the number is kMaxQueuedRequests or more, the connection reads
//                        nothing further from its client and raises no Received event, so that the
//                        client's own flow control (TCP's window, SSH's channel window) holds it
//                        back; output still goes out. A client that has sent its last request is
//                        not hung up on before the number is back at 0 (or a drain limit passed).
#define VORLANE_TERM_USER_MEMBERS(X)                                                                 \
  X(GET, RemoteAddress, kUserRemoteAddress, 1, com::BSTR)                                            \
  X(METHOD, Send, kUserSend, 9, void(com::BSTR text, com::Optional<int32_t, 0> channel))             \
  X(METHOD, Receive, kUserReceive, 11, com::BSTR(com::Optional<int32_t, -1> count))                 \
  X(GETPUT, SftpHome, kUserSftpHome, 14, com::BSTR)                                                  \
  X(GETPUT, UnansweredRequests, kUserUnansweredRequests, 40, int32_t)

VORLANE_DISPATCH_INTERFACE(ITermUser, "7C1E5B0A-3F24-4D8E-9B57-6A0C2E9D4F31", VORLANE_TERM_USER_MEMBERS);

enum ServerMember : com::DISPID { VORLANE_CONTRACT_IDS(VORLANE_TERM_SERVER_MEMBERS) };
enum UserMember : com::DISPID { VORLANE_CONTRACT_IDS(VORLANE_TERM_USER_MEMBERS) };
enum KeysMember : com::DISPID { VORLANE_CONTRACT_IDS(VORLANE_TERM_KEYS_MEMBERS) };

enum ServerProtocol : int32_t { kProtocolTelnet = 1, kProtocolSsh = 3 };

// Who serves a channel: the value of ServiceRequest's type argument.
inline constexpr int32_t kServiceApplication = 0;  // the application serves the channel
inline constexpr int32_t kServiceShell = 1;        // what a client asks for: a shell
inline constexpr int32_t kServiceSftp = 3;

enum ServerEvent : com::DISPID {
  kEventConnecting = 1,
  kEventLoginPassword = 2,
  kEventDisconnected = 3,
  kEventStateChanged = 4,
  kEventReceived = 5,
  kEventServiceRequest = 6,
  kEventServiceStart = 7,
  kEventSftpListDir = 8,
  kEventSftpDownloadFile = 9,
  kEventSftpUploadFile = 10,
  kEventSftpRemoveDir = 11,
  kEventSftpDeleteFile = 12,
  kEventSftpMakeDir = 13,
  kEventSftpRename = 14,
  kEventPortBindRequest = 15,
  kEventPortForwardRequest = 16,
  kEventPortForwardConnect = 17,
  kEventLoginPubkey = 18,
  kEventCryptoInformation = 19,
};

// The arguments of the events, by position in the order written at the call site (the user
// object, ITermUser, always first). Arguments marked "out" are passed by reference (VT_I4 or
// VT_BSTR with VT_BYREF); the application answers through them. kCount is how many there are.
namespace event_args {
inline constexpr uint32_t kUser = 0;

// Connecting(user, out accept): 0 refuses the connection; 1 when nothing is said.
struct Connecting {
  static constexpr uint32_t kAccept = 1, kCount = 2;
};
// LoginPassword(user, name, password, out allow): anything but 0 lets the user in; 0 when
// nothing is said.
struct LoginPassword {
  static constexpr uint32_t kName = 1, kPassword = 2, kAllow = 3, kCount = 4;
};
// ServiceRequest(user, channel, out type, out name, out accept): the type asked for (kServiceShell
// or kServiceSftp) and the name "shell" or "sftp"; the application sets the type that will serve
// the channel (kServiceApplication, kServiceSftp; anything else refuses it), accept 0 refuses.
struct ServiceRequest {
  static constexpr uint32_t kChannel = 1, kType = 2, kName = 3, kAccept = 4, kCount = 5;
};
// ServiceStart(user, channel, type, name): the channel is open and served as `type`.
struct ServiceStart {
  static constexpr uint32_t kChannel = 1, kType = 2, kName = 3, kCount = 4;
};
// Received(user, channel, length): a request arrived; the user's Receive hands out its text.
struct Received {
  static constexpr uint32_t kChannel = 1, kLength = 2, kCount = 3;
};
// Disconnected(user).
struct Disconnected {
  static constexpr uint32_t kCount = 1;
};
// The SFTP events (kEventSftpListDir ... kEventSftpMakeDir): (user, path, out resolved, out
// allow); kEventSftpRename: (user, path, out resolved, out newPath, out allow). The resolved path
// is the one inside the home folder that the operation will touch; allow 0 refuses it.
struct Sftp {
  static constexpr uint32_t kPath = 1, kResolved = 2, kAllow = 3, kCount = 4;
};
struct SftpRename {
  static constexpr uint32_t kPath = 1, kResolved = 2, kNewPath = 3, kAllow = 4, kCount = 5;
};
}  // namespace event_args

}  // namespace vorlane::termserver

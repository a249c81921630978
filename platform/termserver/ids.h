// The terminal server component's identifiers and member ids.
#pragma once

#include "platform/com/interfaces.h"

namespace vorlane::termserver {

inline constexpr com::CLSID kTermServerClsid = com::GuidLiteral("B1ACEA20-274F-4DE0-AEC6-BBD3DD88D0E0");
inline constexpr const char* kTermServerProgId = "Vorlane.TermServer.1";
inline constexpr const char* kTermServerIndependentProgId = "Vorlane.TermServer";
inline constexpr const char* kTermServerDescription = "Vorlane terminal server";

// The server object's dispatch interface.
struct ITermServer : com::IDispatch {
  using Base = com::IDispatch;
  static constexpr com::IID kIid = com::GuidLiteral("4ADFBDD2-27D8-413F-907D-C33DFC24A09B");

 protected:
  ~ITermServer() = default;
};

// The events, raised on the thread that created the server.
struct ITermServerEvents : com::IDispatch {
  using Base = com::IDispatch;
  static constexpr com::IID kIid = com::GuidLiteral("221A3E44-2F0F-4302-83B2-DC3AAA3C0372");

 protected:
  ~ITermServerEvents() = default;
};

// One connection, handed to every event as its first argument.
struct ITermUser : com::IDispatch {
  using Base = com::IDispatch;
  static constexpr com::IID kIid = com::GuidLiteral("7C1E5B0A-3F24-4D8E-9B57-6A0C2E9D4F31");

 protected:
  ~ITermUser() = default;
};

// The SSH host key holder.
struct ITermKeys : com::IDispatch {
  using Base = com::IDispatch;
  static constexpr com::IID kIid = com::GuidLiteral("7C1E5B0A-3F24-4D8E-9B57-6A0C2E9D4F32");

 protected:
  ~ITermKeys() = default;
};

enum ServerMember : com::DISPID {
  kServerStart = 1,
  kServerStop = 2,
  kServerBindAddress = 5,
  kServerKeys = 7,
  kServerIdleTimeout = 10,
  kServerPort = 15,
  kServerAuthMode = 17,
  kServerProtocol = 18,
};

enum UserMember : com::DISPID {
  kUserRemoteAddress = 1,
  kUserSend = 9,
  kUserReceive = 11,
  kUserSftpHome = 14,
};

enum KeysMember : com::DISPID { kKeysPrepare = 4 };

enum ServerProtocol : int32_t { kProtocolTelnet = 1, kProtocolSsh = 3 };

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

}  // namespace vorlane::termserver

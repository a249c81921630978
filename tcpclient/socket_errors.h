// The control's error texts: its own failures, and the socket errors (platform/net) as the
// control reports them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/net/socket_errors.h"

namespace vorlane::tcpclient {

// One failure as the control reports it: a code and its text.
struct ControlError {
  int32_t code = 0;
  std::string text;
};

inline ControlError SocketError(int32_t code) { return ControlError{code, net::SocketErrorText(code)}; }
inline ControlError ErrnoError(int error) { return SocketError(net::SocketCodeFromErrno(error)); }

// The control's own texts.
inline constexpr std::string_view kTextRemotePortBusy =
    "You cannot change the RemotePort at this time. A connection is in progress.";
inline constexpr std::string_view kTextRemoteHostBusy =
    "You cannot change the RemoteHost at this time. A connection is in progress.";
inline constexpr std::string_view kTextRemoteHostInvalid = "The RemoteHost address is invalid (0.0.0.0).";
inline constexpr std::string_view kTextFirewallHostInvalid = "The FirewallHost address is invalid (0.0.0.0).";
inline constexpr std::string_view kTextAlreadyConnected =
    "Already connected. If you want to reconnect, close the current connection first.";
inline constexpr std::string_view kTextLocalPortBusy =
    "You cannot change the LocalPort at this time. A connection is in progress.";
inline constexpr std::string_view kTextMaxLineLengthBusy =
    "You cannot change MaxLineSize at this time. A connection is in progress.";
inline constexpr std::string_view kTextRemotePortZero =
    "RemotePort can't be zero. Please specify a valid service port number.";
inline constexpr std::string_view kTextFirewallPortZero = "The FirewallPort is invalid (0).";
inline constexpr std::string_view kTextOutOfMemory = "Out of memory.";
inline constexpr std::string_view kTextTimeout = "Timeout.";
inline constexpr std::string_view kTextInterrupted = "Interrupted.";
inline constexpr std::string_view kTextDisconnected = "Disconnected.";
inline constexpr std::string_view kTextGetLineNeedsTimeout = "GetLine requires a positive Timeout value.";
inline constexpr std::string_view kTextLingerWouldBlock =
    "Operation would block. (To force disconnection, set Linger false).";
inline constexpr std::string_view kTextUnknownSetting = "Unknown config setting.";
inline constexpr std::string_view kTextValueOutOfRange = "Value is out of range.";

// Connection status texts.
inline constexpr std::string_view kStatusAttempting = "Attempting to connect to server.";
inline constexpr std::string_view kStatusConnectComplete = "Remote host connection complete.";
inline constexpr std::string_view kStatusConnectFailed = "Remote host connection failed.";
// Told through SSLStatus when a connect with TLS on fails before any handshake.
inline constexpr std::string_view kStatusHostConnectFailed = "Connection to host failed.";
inline constexpr std::string_view kStatusRemoteDisconnected = "Remote host disconnected.";
inline constexpr std::string_view kStatusFirewallComplete = "Firewall connection complete.";
inline constexpr std::string_view kStatusFirewallFailed = "Firewall connection failed.";
inline constexpr std::string_view kStatusFirewallDisconnected = "Firewall host disconnected.";
inline constexpr std::string_view kStatusRecvError = "socket error in recv: ";  // followed by the code
inline constexpr std::string_view kStatusOk = "OK";

}  // namespace vorlane::tcpclient

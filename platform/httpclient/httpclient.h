// The HTTP client component's contract for its clients: class and interface ids, the member ids
// for late binding, the event interface with its event ids, the proxy types, the completion
// codes and the limits. The component is reached late-bound only (IDispatch); clients include
// this header, create it by ProgID and link against nothing of the component.
//
// A request: put the properties, call Get(url). Once the transfer has ended with a response, the
// component fires HeadersDone (the client may then name a file for the body on the response
// object), writes the body to that file and fires Done(code, text): code 0 when a response came
// back whatever its status, otherwise a failure code below with a text that says what failed
// (then without HeadersDone).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/com/contract.h"
#include "platform/com/interfaces.h"
#include "platform/com/types.h"

namespace vorlane::httpclient {

inline constexpr com::Guid kHttpClientTypeLibId = com::GuidLiteral("84A3864D-2482-4E45-9B52-5C61CD841F3D");
inline constexpr const char* kHttpClientTypeLibVersion = "1.0";
inline constexpr const char* kHttpClientTypeLibHelp = "Vorlane HTTP Client 1.0";

inline constexpr com::CLSID kHttpClientClsid = com::GuidLiteral("B89732ED-C567-4D90-9492-5CABF3743B7B");
inline constexpr const char* kHttpClientDescription = "Vorlane HTTP Client";
inline constexpr const char* kHttpClientProgId = "Vorlane.HttpClient.1";
inline constexpr const char* kHttpClientIndependentProgId = "Vorlane.HttpClient";

// The response of the client's current or last request, one row per member
// (platform/com/contract.h):
//   FileName    the file the body is written to (none when empty)
//   StatusCode  the status of the final response
//   Text        the body (UTF-8; other bytes carried through); a large body is better read from
//               the file than taken whole here
#define VORLANE_HTTP_RESPONSE_MEMBERS(X)                      \
  X(GETPUT, FileName, kResponseFileName, 4, com::BSTR)        \
  X(GET, StatusCode, kResponseStatusCode, 5, int16_t)         \
  X(GET, Text, kResponseText, 8, com::BSTR)

VORLANE_DISPATCH_INTERFACE(IHttpResponse, "80BFA943-D962-4CFE-B0A3-D3B398C04CD8", VORLANE_HTTP_RESPONSE_MEMBERS);

// The client: one request at a time.
//   Blocking       false by default: true makes Get return only once the transfer has ended and
//                  Done has been delivered, on the calling thread. With false Get returns at once;
//                  the transfer runs on a thread of the component and the events reach the
//                  caller's message loop (or, for a caller without one, the component's thread).
//   UserName       user for the page (Basic, or Digest where the server asks for it)
//   Password, ProxyPassword  can be set, never read back
//   Get(url)       http and https only; no URL, or an empty one or one that is no text, raises
//                  an exception (after Done with kDoneBadRequest and the same text)
//   ProxyType      a ProxyType
//   ProxyPort      0 takes the proxy type's usual port (1080)
//   Timeout        seconds a transfer may take in all, 1 ... kLongestTimeoutSeconds
//   MaxBodySize    the largest body taken, 1 ... kDefaultMaxBodyBytes
//   CaFile         a PEM file of the authorities trusted for https, instead of the system's store
//   CaPath         a folder of authorities (PEM files named by their subject hash, as openssl
//                  rehash makes them), instead of the system's store; with a CaFile both are trusted
//   UserAgent      the User-Agent header of the request; none sent when empty
// Values out of range are refused with E_INVALIDARG.
#define VORLANE_HTTP_CLIENT_MEMBERS(X)                                                  \
  X(GETPUT, Blocking, kClientBlocking, 5, bool)                                         \
  X(GETPUT, UserName, kClientUserName, 6, com::BSTR)                                    \
  X(PUT, Password, kClientPassword, 7, com::BSTR)                                       \
  X(GET, Response, kClientResponse, 10, IHttpResponse*)                                 \
  X(METHOD, Get, kClientGet, 18, void(com::Optional<com::VARIANT, com::kLeftOut> url))  \
  X(GETPUT, ProxyType, kClientProxyType, 26, int32_t)                                   \
  X(GETPUT, ProxyUserName, kClientProxyUserName, 27, com::BSTR)                         \
  X(PUT, ProxyPassword, kClientProxyPassword, 28, com::BSTR)                            \
  X(GETPUT, ProxyHost, kClientProxyHost, 29, com::BSTR)                                 \
  X(GETPUT, ProxyPort, kClientProxyPort, 30, int32_t)                                   \
  X(GETPUT, Timeout, kClientTimeout, 40, int32_t)                                       \
  X(GETPUT, MaxBodySize, kClientMaxBodySize, 41, int32_t)                               \
  X(GETPUT, CaFile, kClientCaFile, 42, com::BSTR)                                       \
  X(GETPUT, CaPath, kClientCaPath, 43, com::BSTR)                                       \
  X(GETPUT, UserAgent, kClientUserAgent, 44, com::BSTR)

VORLANE_DISPATCH_INTERFACE(IHttpClient, "A0E74860-99E6-4190-BB91-E16669A1B5CA", VORLANE_HTTP_CLIENT_MEMBERS);

// Events of the client, by their ids below.
VORLANE_DISPATCH_INTERFACE(IHttpClientEvents, "23C89F41-17AC-4049-BF22-EC158CB17BFF", VORLANE_NO_MEMBERS);

enum HttpClientMember : com::DISPID { VORLANE_CONTRACT_IDS(VORLANE_HTTP_CLIENT_MEMBERS) };
enum HttpResponseMember : com::DISPID { VORLANE_CONTRACT_IDS(VORLANE_HTTP_RESPONSE_MEMBERS) };

enum HttpClientEvent : com::DISPID {
  kEventDone = 1,
  kEventStateChange = 2,       // never fired
  kEventConnected = 3,         // never fired
  kEventDisconnected = 4,      // never fired
  kEventHeadersDone = 5,
  kEventProgress = 6,          // never fired
  kEventClientCertRequired = 7,// never fired
  kEventHostCertificate = 8,   // never fired: certificates are verified against the trust store
};

// The two events fired, as structs with their arguments (platform/com/contract_events.h).
struct DoneEvent {
  static constexpr com::DISPID kId = kEventDone;
  static constexpr std::string_view kName = "Done";
  int32_t code = 0;
  std::string text;
  using Args = com::EventArgs<com::ByValue<&DoneEvent::code>, com::ByValue<&DoneEvent::text>>;
};
struct HeadersDoneEvent {
  static constexpr com::DISPID kId = kEventHeadersDone;
  static constexpr std::string_view kName = "HeadersDone";
  using Args = com::EventArgs<>;
};

enum ProxyType : int32_t {
  kProxyNone = 0,
  kProxySocks4 = 1,
  kProxySocks5 = 2,     // names are resolved by the proxy
  kProxyWebStandard = 3,// an HTTP proxy
  kProxyRelay = 4,      // an HTTP proxy
  kProxySocks4a = 5,
  kProxyEnvironment = 6,// http_proxy, https_proxy, all_proxy and no_proxy of the environment
};

// Done's codes: 0, or a libcurl result code for a failed transfer (its text is libcurl's
// message). The component itself reports these:
enum DoneCode : int32_t {
  kDoneOk = 0,
  kDoneUnsupportedScheme = 1,  // a URL whose scheme is not http or https
  kDoneBadRequest = 3,         // no URL, or a proxy type that needs a proxy host without one
  kDoneWriteFailed = 23,       // the body could not be kept while it came, or written to the response's file
  kDoneTimedOut = 28,          // the transfer took longer than the timeout (the text names it)
  kDoneBodyTooLarge = 63,      // the body was larger than the cap (the text names it)
};

inline constexpr int32_t kDefaultTimeoutSeconds = 60;
inline constexpr int32_t kLongestTimeoutSeconds = 3600;
inline constexpr int32_t kDefaultMaxBodyBytes = 16 * 1024 * 1024;

}  // namespace vorlane::httpclient

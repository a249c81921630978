// The TLS layer's vocabulary as the control reports it: the server certificate status codes with
// their texts, how OpenSSL's verification errors map onto them, which of them "SSLSecurityFlags"
// lets the control ignore, and the control's TLS error codes. Pure.
#pragma once

#include <cstdint>
#include <string>

namespace vorlane::tcpclient {

// Server certificate statuses (the chain policy's results).
inline constexpr uint32_t kCertOk = 0;
inline constexpr uint32_t kCertRevoked = 0x80092010;
inline constexpr uint32_t kCertRevocationOffline = 0x80092013;
inline constexpr uint32_t kCertBadSignature = 0x80096004;
inline constexpr uint32_t kCertBasicConstraints = 0x80096019;
inline constexpr uint32_t kCertExpired = 0x800B0101;
inline constexpr uint32_t kCertValidityNesting = 0x800B0102;
inline constexpr uint32_t kCertRole = 0x800B0103;
inline constexpr uint32_t kCertPurpose = 0x800B0106;
inline constexpr uint32_t kCertUntrustedRoot = 0x800B0109;
inline constexpr uint32_t kCertChaining = 0x800B010A;
// A generic trust failure: every verification error that none of the others describes.
inline constexpr uint32_t kCertTrustFailure = 0x800B010B;
inline constexpr uint32_t kCertRevokedByIssuer = 0x800B010C;
inline constexpr uint32_t kCertTestRoot = 0x800B010D;
inline constexpr uint32_t kCertRevocationFailure = 0x800B010E;
inline constexpr uint32_t kCertNameMismatch = 0x800B010F;
inline constexpr uint32_t kCertWrongUsage = 0x800B0110;

// "SSLSecurityFlags": the checks the control leaves out. 0x80000000 passes no server name, so the
// name is not checked; the others each forgive a group of statuses.
inline constexpr uint32_t kIgnoreRevocation = 0x00000080;   // revoked, revocation not checkable
inline constexpr uint32_t kIgnoreUnknownCa = 0x00000100;    // untrusted root
inline constexpr uint32_t kIgnoreWrongUsage = 0x00000200;   // purpose, usage
inline constexpr uint32_t kIgnoreNameMismatch = 0x00001000; // the certificate's name
inline constexpr uint32_t kIgnoreDateInvalid = 0x00002000;  // validity period, nesting
inline constexpr uint32_t kNoServerName = 0x80000000;

// The control's TLS failures.
inline constexpr int32_t kTlsErrOutOfMemory = 200;
inline constexpr int32_t kTlsErrUnavailable = 270;
inline constexpr int32_t kTlsErrStoreNotOpened = 271;       // or the PEM text could not be read
inline constexpr int32_t kTlsErrCertificateNotFound = 272;  // no client certificate matched the subject
inline constexpr int32_t kTlsErrCredentials = 273;
inline constexpr int32_t kTlsErrChainNotBuilt = 274;
inline constexpr int32_t kTlsErrChainPolicy = 275;
inline constexpr int32_t kTlsErrHandshake = 276;
inline constexpr int32_t kTlsErrVerification = 280;
inline constexpr int32_t kTlsErrNoServerCert = 281;
inline constexpr int32_t kTlsErrServerName = 285;

// Provider status codes that the failure texts carry.
inline constexpr uint32_t kSecIncompleteMessage = 0x80090318;  // the handshake needed more bytes
inline constexpr uint32_t kSecIllegalMessage = 0x80090326;     // the peer broke the protocol
inline constexpr uint32_t kSecAlgorithmMismatch = 0x80090331;  // no protocol or cipher in common
inline constexpr uint32_t kSecInternalError = 0x80090304;
inline constexpr uint32_t kSecNoCredentials = 0x8009030E;

// The text of a status: "OK" for 0, the table's text, or "(unknown status code)".
const char* CertStatusMessage(uint32_t status);
// "[0x%x] " followed by the message, hexadecimal in lower case: "[0x800b0109] A certification ...".
std::string CertStatusText(uint32_t status);
// The status for one of OpenSSL's X509_V_ERR_* codes; kCertTrustFailure for any it does not know.
uint32_t CertStatusForVerifyError(int verifyError);
// Whether `securityFlags` forgives `status`.
bool CertStatusIgnored(uint32_t status, uint32_t securityFlags);

}  // namespace vorlane::tcpclient

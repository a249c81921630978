#include "tcpclient/tls_status.h"

#include <openssl/x509_vfy.h>

#include <cstdio>

namespace vorlane::tcpclient {

namespace {

struct StatusMessage {
  uint32_t status;
  const char* text;
};

constexpr StatusMessage kStatusMessages[] = {
    {kCertRevoked, "The certificate or signature has been revoked."},
    {kCertRevocationOffline,
     "Since the revocation server was offline, the called function was not able to complete the revocation check."},
    {kCertBadSignature, "The signature of the certificate cannot be verified."},
    {kCertBasicConstraints, "The certificate's basic constraints are invalid or missing."},
    {kCertExpired, "A required certificate is not within its validity period."},
    {kCertValidityNesting, "The validity periods of the certification chain do not nest correctly."},
    {kCertRole, "A certificate that can only be used as an end-entity is being used as a CA or visa versa."},
    {kCertPurpose, "A certificate is being used for a non permitted purpose."},
    {kCertUntrustedRoot,
     "A certification chain processed correctly but terminated in a root certificate not trusted by the trust "
     "provider."},
    {kCertChaining, "A chain of certificates was not correctly created."},
    {kCertRevokedByIssuer, "A certificate in the chain has been explicitly revoked by its issuer."},
    {kCertTestRoot, "The root certificate is a testing certificate and policy settings disallow test certificates."},
    {kCertRevocationFailure, "The revocation process could not continue. The certificates could not be checked."},
    {kCertNameMismatch, "The certificate's CN name does not match the passed value."},
    {kCertWrongUsage, "The certificate is not valid for the requested usage."},
};

}  // namespace

const char* CertStatusMessage(uint32_t status) {
  if (status == kCertOk) return "OK";
  for (const StatusMessage& entry : kStatusMessages) {
    if (entry.status == status) return entry.text;
  }
  return "(unknown status code)";
}

std::string CertStatusText(uint32_t status) {
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "[0x%x] ", status);
  return std::string(prefix) + CertStatusMessage(status);
}

uint32_t CertStatusForVerifyError(int verifyError) {
  switch (verifyError) {
    case X509_V_OK:
      return kCertOk;
    // A chain that ends in a certificate nobody here trusts, or that stops at an issuer we do not
    // have: either way the anchor is missing.
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
      return kCertUntrustedRoot;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return kCertExpired;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return kCertNameMismatch;
    case X509_V_ERR_CERT_REVOKED:
      return kCertRevoked;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
      return kCertBadSignature;
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
      return kCertBasicConstraints;
    case X509_V_ERR_INVALID_PURPOSE:
      return kCertWrongUsage;
    case X509_V_ERR_CERT_CHAIN_TOO_LONG:
    case X509_V_ERR_STORE_LOOKUP:
      return kCertChaining;
    default:
      return kCertTrustFailure;
  }
}

bool CertStatusIgnored(uint32_t status, uint32_t securityFlags) {
  switch (status) {
    case kCertRevoked:
    case kCertRevocationOffline:
    case kCertRevokedByIssuer:
    case kCertRevocationFailure:
      return (securityFlags & kIgnoreRevocation) != 0;
    case kCertUntrustedRoot:
      return (securityFlags & kIgnoreUnknownCa) != 0;
    case kCertPurpose:
    case kCertWrongUsage:
      return (securityFlags & kIgnoreWrongUsage) != 0;
    case kCertNameMismatch:
      return (securityFlags & (kIgnoreNameMismatch | kNoServerName)) != 0;
    case kCertExpired:
    case kCertValidityNesting:
      return (securityFlags & kIgnoreDateInvalid) != 0;
    default:
      return false;
  }
}

}  // namespace vorlane::tcpclient

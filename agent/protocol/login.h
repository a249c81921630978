// Login and access control: the LoginPassword and ServiceStart events.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "agent/request/agent_context.h"
#include "agent/request/user_handle.h"

namespace vorlane::agent {

// A dotted IPv4 text as the number a·2^24 + b·2^16 + c·2^8 + d (unsigned, modulo 2^32), each
// part read by its leading digits; a text with fewer than three dots is 0xFFFFFFFF.
uint32_t AddressValue(std::string_view dotted);

// Checks name (without case), password (exactly) and the client's address against the user
// entries of AgentConfig.INI, read anew; logs one line on refusal ("Wrong user!",
// "Wrong password!", "Wrong IP!" for a range, "Wrong IP address!" for a single address). Only
// the first entry with the name counts. An entry whose stored password is empty admits nobody.
// A name or password holding a NUL byte is refused as a wrong password. Ranges are IPv4: a peer
// address other than dotted IPv4 (an IPv4-mapped "::ffff:a.b.c.d" counts as "a.b.c.d") is in no
// range and is no single address.
bool ValidateLogin(const std::filesystem::path& agentConfig, const cipher::PasswordCipher& cipher,
                   std::string_view userName, std::string_view password, std::string_view remoteAddress);

// The LoginPassword event: 1 allows the login, 0 refuses it. An empty name with an empty
// password is refused without reading the configuration.
int32_t OnLoginPassword(AgentContext& context, UserHandle& user, std::string_view login, std::string_view password);

// The ServiceStart event: opens a session and sends the login answer on the service index that
// was started (nothing for SFTP, service type 3).
void OnServiceStart(AgentContext& context, UserHandle& user, int32_t serviceIndex, int32_t serviceType,
                    std::string_view serviceName);

}  // namespace vorlane::agent

// Sending an answer record to the client that asked, and logging it as outgoing.
#pragma once

#include <cstdint>
#include <string>

#include "agent/request/user_handle.h"

namespace vorlane::agent {

// Sends `answer` on the request's service, then logs it as an outgoing record.
void Reply(UserHandle& user, const std::string& answer, int32_t serviceIndex);

}  // namespace vorlane::agent

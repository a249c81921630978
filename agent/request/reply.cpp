#include "agent/request/reply.h"

#include "agent/log/agent_log.h"

namespace vorlane::agent {

void Reply(UserHandle& user, const std::string& answer, int32_t serviceIndex) {
  user.Send(answer, serviceIndex);
  Log(answer, kLogOutgoing);
}

}  // namespace vorlane::agent

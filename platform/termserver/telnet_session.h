// Serving one Telnet connection: option negotiation, the login dialogue and the requests.
#pragma once

#include "platform/base/unique_fd.h"
#include "platform/termserver/connection.h"

namespace vorlane::termserver {

// Serves the connection on `socket` until the peer leaves, the login fails, it idles out, or
// the connection should close; runs on the connection's own thread and blocks it. Raises
// LoginPassword, ServiceRequest, ServiceStart and Received on `connection` (not Connecting and
// not Disconnected, which the caller raises around it).
void ServeTelnet(UniqueFd socket, Connection& connection);

}  // namespace vorlane::termserver

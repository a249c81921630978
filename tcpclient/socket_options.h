// The socket options the control sets, each a call that may fail without harm: an option the
// system refuses leaves the socket as the system made it. Internal to the control.
#pragma once

#include <sys/socket.h>

namespace vorlane::tcpclient {

inline void SetIntOption(int fd, int level, int name, int value) {
  (void)::setsockopt(fd, level, name, &value, sizeof(value));
}

inline void SetLinger(int fd, bool graceful) {
  linger option{};
  option.l_onoff = graceful ? 0 : 1;  // graceful: the system finishes in the background
  option.l_linger = 0;
  (void)::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof(option));
}

}  // namespace vorlane::tcpclient

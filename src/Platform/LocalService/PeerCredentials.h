#pragma once
// Who is on the other end of a connected Unix-domain socket, as the kernel reports it.

#include <sys/types.h>

#include <optional>

#include "Platform/UniqueFd.h"

namespace dravik::platform {

struct PeerCredentials {
  uid_t uid = 0;
  pid_t pid = 0;
  // The peer process, held so that a recycled pid cannot stand in for it. Invalid when the
  // kernel could give none.
  UniqueFd pidfd;
};

// Nullopt when the socket has no peer credentials (it is then refused).
std::optional<PeerCredentials> readPeerCredentials(int socketFd);

}  // namespace dravik::platform

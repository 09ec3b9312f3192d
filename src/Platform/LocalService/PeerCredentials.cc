#include "Platform/LocalService/PeerCredentials.h"

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace dravik::platform {
namespace {

// Not yet in every libc's headers; the value is the same on every Linux architecture that
// uses the generic socket options.
#ifndef SO_PEERPIDFD
constexpr int SO_PEERPIDFD = 77;
#endif

}  // namespace

std::optional<PeerCredentials> readPeerCredentials(int socketFd) {
  ucred cred{};
  socklen_t length = sizeof cred;
  if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 ||
      length != sizeof cred || cred.pid <= 0) {
    return std::nullopt;
  }
  PeerCredentials peer;
  peer.uid = cred.uid;
  peer.pid = cred.pid;
  int pidfd = -1;
  socklen_t pidfdLength = sizeof pidfd;
  if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &pidfdLength) == 0 && pidfd >= 0) {
    peer.pidfd.reset(pidfd);
  } else {
    // Older kernels: open the pid and check the process is still there. A peer that had
    // already exited and whose pid was reused would be mistaken for the new process, which
    // its code check then judges; SO_PEERPIDFD closes that gap where the kernel has it.
    int opened = static_cast<int>(::syscall(SYS_pidfd_open, cred.pid, 0));
    if (opened >= 0) {
      UniqueFd candidate(opened);
      if (::syscall(SYS_pidfd_send_signal, opened, 0, nullptr, 0) == 0) {
        peer.pidfd = std::move(candidate);
      }
    }
  }
  return peer;
}

}  // namespace dravik::platform

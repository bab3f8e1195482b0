// Requests to stop on Linux: SIGINT (Ctrl-C), SIGTERM and SIGHUP (the
// terminal closing) reach the handler as Windows' console control events.
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "internal.h"

namespace vx::posix {
namespace {

std::atomic<BOOL (*)(DWORD)> g_handler{nullptr};

void OnSignal(int signal_number) {
  const int saved_errno = errno;
  BOOL (*handler)(DWORD) = g_handler.load();
  if (handler != nullptr) handler(signal_number == SIGINT ? CTRL_C_EVENT : CTRL_CLOSE_EVENT);
  errno = saved_errno;
}

}  // namespace

BOOL SetConsoleCtrlHandler(BOOL (*handler)(DWORD), BOOL add) {
  g_handler.store(add ? handler : nullptr);
  struct sigaction action = {};
  action.sa_handler = add ? OnSignal : SIG_DFL;
  sigemptyset(&action.sa_mask);
  // Interrupted system calls resume: the run notices the request between
  // chunks and entries, not through failed reads.
  action.sa_flags = SA_RESTART;
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    if (sigaction(signal_number, &action, nullptr) != 0) {
      SetLastErrorFromErrno(errno);
      return 0;
    }
  }
  return 1;
}

void ExitProcess(UINT exit_code) {
  _exit(static_cast<int>(exit_code));
}

}  // namespace vx::posix

#include "app/Signals.h"

#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

namespace vr::cli {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

std::atomic<int> gSignal{0};
// The partial output, as a plain buffer the handler can read. Written only while the stop
// signals are held off.
char gPartial[PATH_MAX + 1] = {};

extern "C" void onStopSignal(int sig) {
  int first = 0;
  if (gSignal.compare_exchange_strong(first, sig)) return;  // the repair stops and cleans up
  // A second signal: the repair may take a while to notice; finish here and now.
  if (gPartial[0] != '\0') ::unlink(gPartial);
  ::_exit(128 + first);
}

// Holds the stop signals off for the lifetime of the object.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kStopSignals) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_;
};

}  // namespace

void installStopSignals() {
  struct sigaction sa {};
  sa.sa_handler = onStopSignal;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  // Each handler holds off the other stop signals, so two arriving together count in order.
  for (int s : kStopSignals) sigaddset(&sa.sa_mask, s);
  for (int s : kStopSignals) sigaction(s, &sa, nullptr);
}

int stopSignal() { return gSignal.load(); }

int exitStatusForSignal(int signal) { return 128 + signal; }

std::string createPartialOutput(const std::string& destination) {
  namespace fs = std::filesystem;
  const fs::path dest(destination);
  const fs::path dir = dest.parent_path().empty() ? fs::path(".") : dest.parent_path();
  const std::string templ = (dir / ("." + dest.filename().string() + ".XXXXXX.partial")).string();
  if (templ.size() > PATH_MAX) {
    errno = ENAMETOOLONG;
    return {};
  }
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  SignalsHeld held;
  const int fd = mkstemps(buf.data(), 8);
  if (fd < 0) return {};
  std::memcpy(gPartial, buf.data(), buf.size());
  // mkstemps makes the file private; the result gets the permissions of any new file.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  ::close(fd);
  return std::string(buf.data());
}

void removePartialOutput() {
  SignalsHeld held;
  if (gPartial[0] != '\0') ::unlink(gPartial);
  gPartial[0] = '\0';
}

void keepPartialOutput() {
  SignalsHeld held;
  gPartial[0] = '\0';
}

}  // namespace vr::cli

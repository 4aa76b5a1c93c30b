#include "platform/guarded_memory.h"

#include <setjmp.h>
#include <signal.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace corvalind {
namespace {

// The recovery point of the guarded work running on this thread, if any.
thread_local sigjmp_buf* t_recovery = nullptr;

std::atomic<unsigned> g_faults{0};

// The handler ours replaced; faults outside guarded work go there.
struct sigaction g_previous;
std::mutex g_installLock;

void OnBusError(int signal, siginfo_t* info, void* context) {
  if (sigjmp_buf* recovery = t_recovery) {
    t_recovery = nullptr;
    g_faults.fetch_add(1, std::memory_order_relaxed);
    siglongjmp(*recovery, 1);
  }
  // Not ours: the handler before ours, or the default action. Returning
  // lets the faulting instruction run again under the restored default,
  // which then ends the process as it would have without us.
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction != nullptr) {
      g_previous.sa_sigaction(signal, info, context);
      return;
    }
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN && g_previous.sa_handler != nullptr) {
    g_previous.sa_handler(signal);
    return;
  }
  struct sigaction fallback;
  std::memset(&fallback, 0, sizeof fallback);
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(SIGBUS, &fallback, nullptr);
}

void EnsureHandler() {
  struct sigaction current;
  if (sigaction(SIGBUS, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) &&
      current.sa_sigaction == &OnBusError) {
    return;
  }
  std::lock_guard<std::mutex> hold(g_installLock);
  struct sigaction ours;
  std::memset(&ours, 0, sizeof ours);
  ours.sa_sigaction = &OnBusError;
  ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&ours.sa_mask);
  struct sigaction before;
  if (sigaction(SIGBUS, &ours, &before) != 0) return;
  if (!((before.sa_flags & SA_SIGINFO) && before.sa_sigaction == &OnBusError)) g_previous = before;
}

struct CopyJob {
  void* destination;
  const void* source;
  std::size_t bytes;
};

struct StoreJob {
  uint8_t* at;
  uint8_t value;
};

}  // namespace

bool RunGuarded(void (*work)(void*), void* context) {
  EnsureHandler();
  sigjmp_buf recovery;
  // The signal mask is saved so that a return through the handler leaves
  // SIGBUS unblocked for the next fault.
  if (sigsetjmp(recovery, 1) != 0) return false;
  t_recovery = &recovery;
  work(context);
  t_recovery = nullptr;
  return true;
}

bool GuardedCopy(void* destination, const void* source, std::size_t bytes) {
  if (bytes == 0) return true;
  CopyJob job{destination, source, bytes};
  return RunGuarded(
      [](void* context) {
        auto* j = static_cast<CopyJob*>(context);
        std::memcpy(j->destination, j->source, j->bytes);
      },
      &job);
}

bool GuardedStoreRelease(uint8_t* at, uint8_t value) {
  StoreJob job{at, value};
  return RunGuarded(
      [](void* context) {
        auto* j = static_cast<StoreJob*>(context);
        __atomic_store_n(j->at, j->value, __ATOMIC_RELEASE);
      },
      &job);
}

unsigned GuardedFaults() { return g_faults.load(std::memory_order_relaxed); }

}  // namespace corvalind

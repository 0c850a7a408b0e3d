// The change count is an atomic; the hook runs under a lock that only its
// setting also takes, so that a hook replaced is not running any more.
#include "ipc/image_changes.h"

#include <atomic>
#include <mutex>

namespace {

std::atomic<uint64_t> changes{0};
std::atomic<bool> hooked{false};
std::mutex hookLock;
ImageChangeHook hookNow = nullptr;  // with its context, under hookLock
void* hookContext = nullptr;

}  // namespace

void NoteImageChange() {
  changes.fetch_add(1);
  if (!hooked.load()) return;
  std::lock_guard<std::mutex> hold(hookLock);
  if (hookNow != nullptr) hookNow(hookContext);
}

uint64_t ImageChangeCount() { return changes.load(); }

void SetImageChangeHook(ImageChangeHook hook, void* context) {
  std::lock_guard<std::mutex> hold(hookLock);
  hookNow = hook;
  hookContext = context;
  hooked.store(hook != nullptr);
}

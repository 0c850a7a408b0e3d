// The lookup thread and what it shares with the askers: the latest question
// and the answer, under one mutex that is never held across a lookup.
#include "link/name_lookup.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "link/net.h"

namespace {

constexpr size_t kNameSize = 256;     // the longest host name a setting can hold, and more
constexpr size_t kTextSize = kNetHostNameSize;

}  // namespace

struct NameLookup::Shared {
  std::mutex mutex;
  std::condition_variable asked;
  // The latest question: its number (0: none yet), its kind and its subject.
  uint32_t question = 0;
  bool forName = false;  // AskName: the name of address; else the address of name
  char name[kNameSize] = "";
  uint32_t address = 0;
  // The answer to question number `answered`.
  uint32_t answered = 0;
  bool found = false;
  uint32_t answerAddress = 0;
  char text[kTextSize] = "";
};

NameLookup::Shared* NameLookup::Start() {
  if (Shared* running = shared_.load()) return running;
  Shared* shared = new Shared;
  shared_.store(shared);
  try {
    std::thread([shared] {
      NetStartup();  // never cleaned up: this thread may be in a lookup when the link cleans up its own
      std::unique_lock<std::mutex> lock(shared->mutex);
      for (;;) {
        shared->asked.wait(lock, [shared] { return shared->question != shared->answered; });
        const uint32_t question = shared->question;
        const bool forName = shared->forName;
        char name[kNameSize];
        std::memcpy(name, shared->name, sizeof name);
        uint32_t address = shared->address;
        lock.unlock();
        char text[kTextSize] = "";
        bool found = false;
        if (forName) {
          found = NetLookupHostName(address, text, sizeof text) != 0;
        } else {
          const Status looked = NetLookupAddress(name, &address);
          found = looked.ok();
          std::snprintf(text, sizeof text, "%s", looked.text());
        }
        lock.lock();
        if (shared->question != question) continue;  // asked again meanwhile: that one is answered next
        shared->answered = question;
        shared->found = found;
        shared->answerAddress = address;
        std::memcpy(shared->text, text, sizeof text);
      }
    }).detach();
  } catch (...) {
    // No thread: every question stays pending, as with a name service that never answers.
  }
  return shared;
}

void NameLookup::AskAddress(const char* name) {
  Shared* shared = Start();
  {
    std::lock_guard<std::mutex> hold(shared->mutex);
    ++shared->question;
    shared->forName = false;
    std::snprintf(shared->name, sizeof shared->name, "%s", name);
  }
  shared->asked.notify_one();
}

void NameLookup::AskName(uint32_t address) {
  Shared* shared = Start();
  {
    std::lock_guard<std::mutex> hold(shared->mutex);
    ++shared->question;
    shared->forName = true;
    shared->address = address;
  }
  shared->asked.notify_one();
}

LookupState NameLookup::Answer(uint32_t* address, char* text, size_t size) {
  Shared* shared = shared_.load();
  if (shared == nullptr) return LookupState::kNone;
  std::lock_guard<std::mutex> hold(shared->mutex);
  if (shared->answered != shared->question) return LookupState::kPending;
  if (address != nullptr) *address = shared->answerAddress;
  if (text != nullptr && size > 0) std::snprintf(text, size, "%s", shared->text);
  return shared->found ? LookupState::kFound : LookupState::kFailed;
}

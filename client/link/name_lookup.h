// Name-service lookups on a thread of their own, so that a name service
// that answers late, or never, holds up nothing: the asker never waits, it
// asks and takes the answer when one is there. A NameLookup does one lookup
// at a time; a question asked while another is under way replaces any that
// is not yet taken up, and only the answer to the latest question is kept.
// Its thread starts with the first question and is never joined: it ends
// with the process, also in the middle of a lookup that never returns.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

enum class LookupState {
  kNone,     // nothing asked
  kPending,  // the answer to the latest question is not in yet
  kFound,
  kFailed,
};

// The questions come from one thread at a time; Answer may come from any.
class NameLookup {
 public:
  // The address of a host name (NetLookupAddress); the name is copied.
  void AskAddress(const char* name);
  // The host name of an address (NetLookupHostName).
  void AskName(uint32_t address);

  // The answer to the latest question. kFound: *address holds the address
  // asked for or asked about, text the host name (for AskName). kFailed: text
  // holds the platform's reason (for AskAddress). text: size bytes,
  // NUL-terminated; either pointer may be null.
  LookupState Answer(uint32_t* address, char* text, size_t size);

  struct Shared;  // the question and the answer, shared with the lookup thread

 private:
  Shared* Start();
  // Made by the first question and never freed: its thread may outlive us.
  std::atomic<Shared*> shared_{nullptr};
};

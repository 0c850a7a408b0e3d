// The link's choice of server and of this PC's address.
#include "link/link_choice.h"

#include <cstring>

#include "link/net.h"


namespace {

bool IsAuto(const char* text) {
  static const char kAuto[] = "auto";
  for (size_t i = 0; i < sizeof kAuto; ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? char(text[i] - 'A' + 'a') : text[i];
    if (c != kAuto[i]) return false;
  }
  return true;
}

bool DigitsAndDots(const char* text) {
  for (; *text != '\0'; ++text)
    if ((*text < '0' || *text > '9') && *text != '.') return false;
  return true;
}

bool Contains(const uint32_t* list, int count, uint32_t address) {
  for (int i = 0; i < count; ++i)
    if (list[i] == address) return true;
  return false;
}

// The adapters an opening listens on: each address once, the first
// kMaxAdapters of them. Returns the count put into out.
int Distinct(const uint32_t* adapters, int count, uint32_t* out) {
  int n = 0;
  for (int i = 0; i < count && n < kMaxAdapters; ++i)
    if (!Contains(out, n, adapters[i])) out[n++] = adapters[i];
  return n;
}

}  // namespace

bool CanBeServer(uint32_t address) {
  uint8_t bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);  // network order: bytes[0] is the first number
  return bytes[0] != 0 && bytes[0] != 127 && bytes[0] < 224;
}

AddressSetting ParseLocalSetting(const char* text) {
  if (IsAuto(text)) return {SettingKind::kAuto, 0};
  return {SettingKind::kAddress, NetParseAddress(text)};
}

AddressSetting ParseServerSetting(const char* text) {
  if (IsAuto(text)) return {SettingKind::kAuto, 0};
  if (!DigitsAndDots(text)) return {SettingKind::kName, 0};
  // Only the standard form names a sender: "10.0.0.040" or "10.1" never match.
  const uint32_t address = NetParseAddress(text);
  char standard[kNetAddressTextSize];
  if (address == kNetNoAddress || std::strcmp(NetFormatAddress(address, standard), text) != 0)
    return {SettingKind::kAddress, kNetNoAddress};
  return {SettingKind::kAddress, address};
}

void LinkChoice::Configure(const AddressSetting& local, const AddressSetting& server) {
  local_ = local;
  server_ = server;
  for (Host& h : hosts_) {
    h.address = 0, h.heardMs = 0, h.retryAtMs = 0, h.failures = 0, h.backOffMs = 0;
    h.heldOnce = false, h.endedEarly = false;
  }
  hostCount_ = 0;
  nameFailures_ = 0;
}

LinkChoice::Host* LinkChoice::Record(uint32_t address) {
  const int n = hostCount_.load();
  for (int i = 0; i < n; ++i)
    if (hosts_[i].address.load() == address) return &hosts_[i];
  return nullptr;
}

// Multicast receiver only: the one that adds hosts.
LinkChoice::Host* LinkChoice::AddRecord(uint32_t address) {
  if (Host* h = Record(address)) return h;
  const int n = hostCount_.load();
  if (n == kHostsKept) return nullptr;  // beyond the records kept: chosen like a host never given up
  hosts_[n].address.store(address);
  hostCount_.store(n + 1);
  return &hosts_[n];
}

bool LinkChoice::Eligible(const Host& h, uint64_t nowMs) const {
  if (nowMs < h.retryAtMs.load()) return false;
  if (!h.endedEarly.load()) return true;
  // A host given up before ranks below one whose link held, while that is there.
  const int n = hostCount_.load();
  for (int i = 0; i < n; ++i) {
    const Host& other = hosts_[i];
    if (&other == &h || !other.heldOnce.load() || other.endedEarly.load()) continue;
    const uint64_t heard = other.heardMs.load();
    if (heard != 0 && nowMs - heard < kHeardLatelyMs && nowMs >= other.retryAtMs.load()) return false;
  }
  return true;
}

TryVerdict LinkChoice::TryFailed(uint64_t nowMs, uint32_t* backOffMs) {
  *backOffMs = 0;
  if (server_.kind == SettingKind::kAddress) return TryVerdict::kAgain;
  if (server_.kind == SettingKind::kName) {
    if (++nameFailures_ < kTriesBeforeGivingUp) return TryVerdict::kAgain;
    nameFailures_ = 0;
    server_address_.store(0);  // looked up again after kLookupRetryMs
    lookupTried_ = true;
    lookupFailedMs_ = nowMs;
    *backOffMs = uint32_t(kLookupRetryMs);
    return TryVerdict::kGivenUp;
  }
  Host* h = Record(Server());
  if (h == nullptr) {  // a host beyond the records kept: forgotten, chosen again by its next beacon
    server_address_.store(0);
    return TryVerdict::kGivenUp;
  }
  if (h->failures.fetch_add(1) + 1 < kTriesBeforeGivingUp) return TryVerdict::kAgain;
  h->failures = 0;
  const uint32_t wait = h->backOffMs.load() == 0 ? kFirstBackOffMs : h->backOffMs.load();
  h->backOffMs = wait * 2 < kLongestBackOffMs ? wait * 2 : kLongestBackOffMs;
  h->retryAtMs = nowMs + wait;
  h->endedEarly = true;
  server_address_.store(0);
  *backOffMs = wait;
  return TryVerdict::kGivenUp;
}

void LinkChoice::LinkHeld() {
  nameFailures_ = 0;
  Host* h = Record(Server());
  if (h == nullptr) return;
  h->failures = 0, h->backOffMs = 0, h->retryAtMs = 0;
  h->heldOnce = true, h->endedEarly = false;
}

int LinkChoice::Open(const uint32_t* adapters, int count, uint32_t* listenOn) {
  openedCount_ = Distinct(adapters, count, opened_);
  server_address_.store(server_.kind == SettingKind::kAddress ? server_.address : 0);
  this_pc_.store(local_.kind == SettingKind::kAddress ? local_.address : 0);
  lookupRunning_ = lookupTried_ = false;
  otherCount_ = 0;
  if (local_.kind == SettingKind::kAddress) {
    listenOn[0] = local_.address;
    return 1;
  }
  std::memcpy(listenOn, opened_, sizeof(uint32_t) * size_t(openedCount_));
  return openedCount_;
}

bool LinkChoice::LookupDue(uint64_t nowMs) {
  if (server_.kind != SettingKind::kName || Server() != 0 || lookupRunning_) return false;
  if (lookupTried_ && nowMs - lookupFailedMs_ < kLookupRetryMs) return false;
  lookupRunning_ = lookupTried_ = true;
  return true;
}

void LinkChoice::LookupFound(uint32_t address) {
  lookupRunning_ = false;
  server_address_.store(address);
}

void LinkChoice::LookupFailed(uint64_t nowMs) {
  lookupRunning_ = false;
  lookupFailedMs_ = nowMs;
}

BeaconVerdict LinkChoice::Beacon(uint32_t from, uint64_t nowMs) {
  Host* h = server_.kind == SettingKind::kAuto ? AddRecord(from) : nullptr;
  if (h != nullptr) h->heardMs.store(nowMs);
  if (IsServer(from)) return BeaconVerdict::kServer;
  if (server_.kind == SettingKind::kAuto && Server() == 0) {
    if (h != nullptr && !Eligible(*h, nowMs)) return BeaconVerdict::kOther;  // not named: it may be chosen later
    server_address_.store(from);
    return BeaconVerdict::kChosen;
  }
  if (Contains(others_, otherCount_, from) || otherCount_ == kOthersNamed) return BeaconVerdict::kOther;
  others_[otherCount_++] = from;
  return BeaconVerdict::kOtherNew;
}

uint32_t LinkChoice::ReceiveAddress(uint32_t routeSource) const {
  return local_.kind == SettingKind::kAddress ? local_.address : routeSource;
}

void LinkChoice::Connected(uint32_t localEnd) {
  if (local_.kind == SettingKind::kAuto) this_pc_.store(localEnd);
}

bool LinkChoice::Seen(uint32_t address) const { return Contains(opened_, openedCount_, address); }

bool LinkChoice::ThisPcGone(const uint32_t* adapters, int count) const {
  const uint32_t address = ThisPc();
  return address != 0 && Seen(address) && !Contains(adapters, count, address);
}

bool LinkChoice::ListenAddressesChanged(const uint32_t* adapters, int count) const {
  if (local_.kind == SettingKind::kAddress)
    return Seen(local_.address) && !Contains(adapters, count, local_.address);
  uint32_t now[kMaxAdapters];
  const int n = Distinct(adapters, count, now);
  if (n != openedCount_) return true;
  for (int i = 0; i < n; ++i)
    if (!Seen(now[i])) return true;
  return false;
}

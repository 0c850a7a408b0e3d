// The link's choice of server and of this PC's address.
#include "link/link_choice.h"

#include <cstring>

#include "link/net.h"

LinkChoice linkChoice;

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

BeaconVerdict LinkChoice::Beacon(uint32_t from) {
  if (IsServer(from)) return BeaconVerdict::kServer;
  if (server_.kind == SettingKind::kAuto && Server() == 0) {
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

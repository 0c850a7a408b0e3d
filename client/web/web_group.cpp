// Groups and the changes their subscriptions push (see the header).
#include "web/web_group.h"

#include <cstring>
#include <nlohmann/json.hpp>

#include "ipc/offset_image.h"
#include "web/web_limits.h"

WebStatus ParseGroupFields(const Json& offsets, std::vector<GroupField>* fields, uint32_t* bytes) {
  if (!offsets.is_array() || offsets.empty())
    return WebStatus::Failure(WebError::kBadRequest, "\"offsets\" must be an array of at least one field");
  if (offsets.size() > kMaxGroupOffsets) {
    return WebStatus::Failure(WebError::kLimit, "a group holds at most %u offsets",
                              unsigned(kMaxGroupOffsets));
  }
  std::vector<GroupField> parsed(offsets.size());
  uint32_t at = 0;
  for (size_t i = 0; i < offsets.size(); ++i) {
    GroupField& f = parsed[i];
    WebStatus status = ParseField(offsets[i], &f.field);
    const std::string* name = nullptr;
    if (status.ok()) status = RequiredName(offsets[i], "name", &name);
    if (!status.ok()) return status;
    for (size_t j = 0; j < i; ++j) {
      if (parsed[j].name == *name) {
        return WebStatus::Failure(WebError::kBadRequest, "the name \"%s\" is given twice", name->c_str());
      }
    }
    f.name = *name;
    f.at = at;
    at += f.field.size;  // at most 256 fields of 4096 bytes: no wrap
    if (at > kMaxGroupBytes) {
      return WebStatus::Failure(WebError::kLimit, "a group's fields hold at most %u bytes in all",
                                unsigned(kMaxGroupBytes));
    }
  }
  fields->swap(parsed);
  *bytes = at;
  return WebStatus();
}

void SetGroupFields(WebGroup& group, std::vector<GroupField>&& fields, uint32_t bytes) {
  group.fields = std::move(fields);
  group.bytes = bytes;
  group.spans.clear();
  for (const GroupField& f : group.fields) group.spans.push_back({f.field.offset, f.field.size, f.at});
}

const GroupField* FindField(const WebGroup& group, std::string_view name) {
  for (const GroupField& f : group.fields) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

void RestartPushes(WebGroup& group, uint64_t dueMs) {
  group.pushed = false;
  group.dueMs = dueMs;
  group.shown.assign(group.bytes, 0);
  group.seen.assign(group.bytes, 0);
}

bool CollectChanges(WebGroup& group, bool linkUp, Json* values) {
  group.seen.resize(group.bytes);
  group.shown.resize(group.bytes);
  ReadImageSpans(group.spans.data(), group.spans.size(), group.seen.data());
  for (const GroupField& f : group.fields) {
    const uint8_t* now = group.seen.data() + f.at;
    if (!group.pushed || std::memcmp(now, group.shown.data() + f.at, f.field.size) != 0)
      (*values)[f.name] = DecodeValue(f.field, now);
  }
  const bool due = !group.pushed || !values->empty() || linkUp != group.linkShown;
  group.shown.swap(group.seen);
  group.pushed = true;
  group.linkShown = linkUp;
  return due;
}

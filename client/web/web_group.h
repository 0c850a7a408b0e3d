// A group: named fields of the image that a web client declared once, then
// reads, writes by name and subscribes to. A subscription keeps the bytes it
// last pushed, so that a push carries only the values that changed. A group
// belongs to its session (one thread at a time).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/offset_image.h"
#include "web/web_status.h"
#include "web/web_values.h"

struct GroupField {
  std::string name;
  Field field;
  uint32_t at = 0;  // where its bytes lie in the group's buffers
};

struct WebGroup {
  std::string name;
  std::vector<GroupField> fields;  // in the order declared
  std::vector<ImageSpan> spans;    // the fields' bytes in the image, read at once for a push
  uint32_t bytes = 0;              // the fields' sizes added up

  // The subscription: at most one push per step of intervalMs on the
  // monotonic clock (0: at each poll that finds a change), the next one not
  // before dueMs.
  bool subscribed = false;
  uint32_t intervalMs = 0;
  uint64_t dueMs = 0;
  bool pushed = false;     // the first push, with every value, went out
  bool linkShown = false;  // the link flag of the last push
  std::vector<uint8_t> shown;  // the bytes of the last push
  std::vector<uint8_t> seen;   // the bytes just read (any read's scratch)
};

// The fields of a declare request's "offsets": an array of 1 to
// kMaxGroupOffsets objects, each a field (ParseField) with a "name" unique in
// the group, of kMaxGroupBytes at most in all. Nothing changes on a failure.
WebStatus ParseGroupFields(const Json& offsets, std::vector<GroupField>* fields, uint32_t* bytes);

// Gives the group the fields that ParseGroupFields made (of bytes in all).
void SetGroupFields(WebGroup& group, std::vector<GroupField>&& fields, uint32_t bytes);

// The group's field of that name, or null.
const GroupField* FindField(const WebGroup& group, std::string_view name);

// Makes the next push of a subscribed group its first, due at dueMs: after a
// subscribe, or a declare that changed the fields.
void RestartPushes(WebGroup& group, uint64_t dueMs);

// Reads every field of the group as the gateway's watch (not counted as a
// front end's read) and fills values with those whose bytes changed since
// the last push (all of them for the first). Returns whether a push is due:
// the first, a value changed, or the link flag changed since the last.
bool CollectChanges(WebGroup& group, bool linkUp, Json* values);

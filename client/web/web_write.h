// A web client's write, checked whole before anything is applied, and the
// end of a web client's request, which goes the way of an add-on's: the
// writes into one WriteBatch (the image at once, with the shadow marks), the
// batch through the link's WriteBatchSender as one frame, the request and
// its bytes counted. A bad write changes nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "base/result.h"
#include "ipc/image_access.h"
#include "web/web_group.h"
#include "web/web_status.h"
#include "web/web_values.h"

// The writes of one request as checked: where each goes and its bytes.
// Reusable: the Plan calls empty it first, and keep its storage.
struct WritePlan {
  struct Item {
    uint32_t offset;
    uint32_t size;
    uint32_t at;  // its bytes in data
  };
  std::vector<Item> items;
  std::vector<uint8_t> data;
  uint32_t batchBytes = 0;  // the write records' bytes in a batch, as WriteBatch::Fits adds them
};

// "values" of a write without a group: an array of objects, each a field
// (ParseField) with its "value".
WebStatus PlanRawWrite(const Json& values, WritePlan* plan);

// "values" of a write to a group: an object of the group's names and values.
WebStatus PlanGroupWrite(const WebGroup& group, const Json& values, WritePlan* plan);

// Ends a request as the request walker ends an add-on's: the plan's writes
// (none for a read) go into one batch, which goes out when the link is up;
// the request is counted while the link is up. kDone (sent, or nothing to
// send with the link up), else the sender's failure or kNoLink. The batch is
// the calling thread's own: a request never waits for another's.
Outcome EndRequest(const WritePlan& plan, WriteBatchSender& sender);

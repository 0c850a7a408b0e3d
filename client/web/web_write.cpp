// Web writes (see the header). Each value is encoded into the plan as it is
// checked; only a plan whose every value passed reaches a batch.
#include "web/web_write.h"

#include <nlohmann/json.hpp>

#include "base/protocol.h"

namespace {

// A batch is about 32 KB: too large for a small stack, and a request fills
// it and ends it in one call, so each thread that serves requests keeps one.
thread_local WriteBatch threadBatch;

void ClearPlan(WritePlan* plan) {
  plan->items.clear();
  plan->data.clear();
  plan->batchBytes = 0;
}

// Checks one value against its field and adds it to the plan.
WebStatus AddValue(const Field& field, const Json& value, WritePlan* plan) {
  // The test of WriteBatch::Fits, summed over the plan before any Add.
  if (kWriteHeadSize + field.size > kBatchRecordLimit - plan->batchBytes) {
    return WebStatus::Failure(WebError::kLimit, "the writes hold more than one batch (%u bytes of records)",
                              unsigned(kBatchRecordLimit));
  }
  const uint32_t at = uint32_t(plan->data.size());
  plan->data.resize(at + field.size);
  const WebStatus status = EncodeValue(field, value, plan->data.data() + at);
  if (!status.ok()) return status;
  plan->items.push_back({field.offset, field.size, at});
  plan->batchBytes += kWriteHeadSize + field.size;
  return WebStatus();
}

}  // namespace

WebStatus PlanRawWrite(const Json& values, WritePlan* plan) {
  ClearPlan(plan);
  if (!values.is_array())
    return WebStatus::Failure(WebError::kBadRequest, "\"values\" must be an array of fields with values");
  for (const Json& entry : values) {
    Field field;
    WebStatus status = ParseField(entry, &field);
    if (!status.ok()) return status;
    const auto value = entry.find("value");
    if (value == entry.end()) return WebStatus::Failure(WebError::kBadRequest, "\"value\" is missing");
    status = AddValue(field, *value, plan);
    if (!status.ok()) return status;
  }
  return WebStatus();
}

WebStatus PlanGroupWrite(const WebGroup& group, const Json& values, WritePlan* plan) {
  ClearPlan(plan);
  if (!values.is_object())
    return WebStatus::Failure(WebError::kBadRequest, "\"values\" must be an object of names and values");
  for (const auto& [name, value] : values.items()) {
    const GroupField* f = FindField(group, name);
    if (f == nullptr) {
      return WebStatus::Failure(WebError::kBadRequest, "group \"%s\" has no offset named \"%s\"", group.name.c_str(),
                                name.c_str());
    }
    const WebStatus status = AddValue(f->field, value, plan);
    if (!status.ok()) return status;
  }
  return WebStatus();
}

Outcome EndRequest(const WritePlan& plan, WriteBatchSender& sender) {
  // Every request ends its batch, so it starts empty: a plan within the
  // limit fits it whole, and no plan is ever applied in part.
  if (plan.batchBytes > kBatchRecordLimit) return Outcome::kBadInput;
  for (const WritePlan::Item& item : plan.items) threadBatch.Add(item.offset, item.size, plan.data.data() + item.at);
  return threadBatch.Finish(sender);
}

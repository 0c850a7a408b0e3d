// Lookups off the asker's thread: answers for the latest question only, and
// a failure with the platform's reason.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "link/name_lookup.h"
#include "link/net.h"
#include "private_network.h"

namespace {

LookupState AnswerWithin(NameLookup& lookup, uint32_t* address, char* text, size_t size) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  LookupState state = lookup.Answer(address, text, size);
  while (state == LookupState::kPending && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    state = lookup.Answer(address, text, size);
  }
  return state;
}

TEST(NameLookup, AnswersTheLatestQuestion) {
  NameLookup lookup;
  EXPECT_EQ(LookupState::kNone, lookup.Answer(nullptr, nullptr, 0));
  uint32_t address = 0;
  char text[kNetHostNameSize];

  lookup.AskAddress("127.0.0.1");
  ASSERT_EQ(LookupState::kFound, AnswerWithin(lookup, &address, text, sizeof text));
  EXPECT_EQ(NetParseAddress("127.0.0.1"), address);

  // Asked twice in a row: the answer is the second one's.
  lookup.AskAddress("127.0.0.1");
  lookup.AskName(NetParseAddress("127.0.0.1"));
  ASSERT_EQ(LookupState::kFound, AnswerWithin(lookup, &address, text, sizeof text));
  char expected[kNetHostNameSize];
  NetLookupHostName(NetParseAddress("127.0.0.1"), expected, sizeof expected);
  EXPECT_STREQ(expected, text);
  EXPECT_EQ(NetParseAddress("127.0.0.1"), address);

  // The answer stays readable until the next question.
  EXPECT_EQ(LookupState::kFound, lookup.Answer(nullptr, nullptr, 0));
}

TEST(NameLookup, NameThatCannotBeFoundGivesTheReason) {
  if (!privateNetwork) GTEST_SKIP() << "the query would leave this machine";
  NameLookup lookup;
  lookup.AskAddress("no-such-host.invalid");
  char reason[256] = "";
  ASSERT_EQ(LookupState::kFailed, AnswerWithin(lookup, nullptr, reason, sizeof reason));
  EXPECT_GT(std::strlen(reason), 3u) << reason;
}

}  // namespace

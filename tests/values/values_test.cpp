// SPDX-License-Identifier: Apache-2.0
// Value store: storing, reading, expiry on a clock the tests move, the full
// table, argument checks, the origin check of each read and who may replace
// a stored value.
#include "values/values.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/trace_capture.h"

namespace {

std::atomic<int64_t> FakeNow{1700000000};

int64_t fakeClock() { return FakeNow.load(); }

class ValueStore : public testing::Test {
 protected:
  void SetUp() override {
    FakeNow = 1700000000;
    KestrovanValue_setClock(fakeClock);
    KestrovanValue_init();
  }
  void TearDown() override {
    KestrovanValue_final();
    KestrovanValue_setClock(nullptr);
  }

  static void advanceMinutes(int64_t minutes) { FakeNow += minutes * 60; }

  // The read's answer, "<null>" when unsealing failed; out gets the trace.
  static std::string read(const char* channel, const char* origin, std::string* out = nullptr) {
    testing::internal::CaptureStdout();
    char* value = KestrovanValue_get_value(channel, origin);
    std::string trace = captured();
    if (out != nullptr) {
      *out = trace;
    }
    std::string result = value != nullptr ? value : "<null>";
    free(value);
    return result;
  }

  static std::string channelAt(int index) {
    char* channel = KestrovanValue_channelAt(index);
    std::string result = channel != nullptr ? channel : "<free>";
    free(channel);
    return result;
  }
};

const char* const Origin = "https://example.com";

TEST_F(ValueStore, NoTimeoutNeverExpires) {
  ASSERT_EQ(KestrovanValue_set_value("a", "example.com", 0, "value a", Origin), 0);
  EXPECT_EQ(KestrovanValue_expiryAt(0), 0);
  advanceMinutes(24 * 60);
  std::string out;
  EXPECT_EQ(read("a", Origin, &out), "value a");
  EXPECT_NE(out.find("No expired time"), std::string::npos);
}

TEST_F(ValueStore, IdleTimeoutSlidesAndExpires) {
  ASSERT_EQ(KestrovanValue_set_value("a", "example.com", 5, "value a", Origin), 0);
  EXPECT_EQ(KestrovanValue_expiryAt(0), FakeNow + 5 * 60);
  advanceMinutes(4);
  std::string out;
  EXPECT_EQ(read("a", Origin, &out), "value a");
  EXPECT_EQ(KestrovanValue_expiryAt(0), FakeNow + 5 * 60);
  EXPECT_NE(out.find("KestrovanValue current_time: " + std::to_string(FakeNow)), std::string::npos);
  EXPECT_NE(out.find("KestrovanValue update expired_time: " + std::to_string(FakeNow + 300)), std::string::npos);
  // Exactly at the expiry the value is still there.
  advanceMinutes(5);
  EXPECT_EQ(read("a", Origin), "value a");
  // Six minutes after the last read it has expired, and the record stays.
  int64_t expiry = KestrovanValue_expiryAt(0);
  advanceMinutes(6);
  EXPECT_EQ(read("a", Origin, &out), "");
  EXPECT_NE(out.find("Timeout"), std::string::npos);
  EXPECT_NE(out.find("KestrovanValue expired_time: " + std::to_string(expiry)), std::string::npos);
  EXPECT_EQ(channelAt(0), "a");
  EXPECT_EQ(KestrovanValue_expiryAt(0), expiry);
  // Storing again revives it.
  ASSERT_EQ(KestrovanValue_set_value("A", "example.com", 5, "again", Origin), 0);
  EXPECT_EQ(read("a", Origin), "again");
}

TEST_F(ValueStore, ChannelsIgnoreCaseAndKeepTheFirstName) {
  ASSERT_EQ(KestrovanValue_set_value("Abc", "example.com", 0, "one", Origin), 0);
  ASSERT_EQ(KestrovanValue_set_value("other", "example.com", 0, "x", Origin), 0);
  ASSERT_EQ(KestrovanValue_set_value("ABC", "example.com", 0, "two", Origin), 0);
  EXPECT_EQ(channelAt(0), "Abc");
  EXPECT_EQ(channelAt(1), "other");
  EXPECT_EQ(channelAt(2), "<free>");
  EXPECT_EQ(read("abc", Origin), "two");
}

TEST_F(ValueStore, StoreReplacesDomainListAndTimeout) {
  ASSERT_EQ(KestrovanValue_set_value("c", "example.com", 5, "v1", Origin), 0);
  ASSERT_EQ(KestrovanValue_set_value("c", "example.org", 0, "v2", Origin), 0);
  EXPECT_EQ(KestrovanValue_expiryAt(0), 0);
  EXPECT_EQ(read("c", Origin), "");
  EXPECT_EQ(read("c", "https://example.org"), "v2");
}

// Who may store into a channel that holds a value: a live value (no expiry,
// or not expired yet) only from an origin its domain list admits, an expired
// one from anyone. A refused store leaves the record as it was.
struct OwnerCase {
  const char* name;
  const char* channel;  // what the second page names ("AUTH" was stored)
  const char* list;     // the stored value's domain list
  int timeout;          // and its timeout
  int64_t minutesLater;
  const char* setter;   // the second page's origin
  int32_t code;
  const char* ownerReads;  // what https://ok.example reads afterwards
};

void PrintTo(const OwnerCase& c, std::ostream* os) { *os << c.name; }

class ValueOwners : public ValueStore, public testing::WithParamInterface<OwnerCase> {};

TEST_P(ValueOwners, OnlyAdmittedOriginsReplaceALiveValue) {
  const OwnerCase& c = GetParam();
  ASSERT_EQ(KestrovanValue_set_value("AUTH", c.list, c.timeout, "owner's", "https://ok.example"), 0);
  advanceMinutes(c.minutesLater);
  int64_t expiry = KestrovanValue_expiryAt(0);
  // The second page offers its own list, so that a store that went through
  // would show in what it can read.
  testing::internal::CaptureStdout();
  EXPECT_EQ(KestrovanValue_set_value(c.channel, "*", 0, "second's", c.setter), c.code);
  std::string out = captured();
  EXPECT_EQ(channelAt(0), "AUTH");
  EXPECT_EQ(channelAt(1), "<free>");
  if (c.code == 0) {
    EXPECT_EQ(out.find("owner check fail"), std::string::npos) << out;
    EXPECT_EQ(KestrovanValue_expiryAt(0), 0);
    EXPECT_EQ(read("auth", c.setter), "second's");
  } else {
    EXPECT_NE(out.find("KestrovanValue owner check fail" + std::string(c.setter)), std::string::npos) << out;
    EXPECT_EQ(KestrovanValue_expiryAt(0), expiry);
    EXPECT_EQ(read("auth", c.setter), "");
  }
  EXPECT_EQ(read("auth", "https://ok.example"), c.ownerReads);
}

const OwnerCase OwnerCases[] = {
    {"OwnerReplaces", "AUTH", "ok.example", 0, 0, "https://ok.example", 0, "second's"},
    {"OtherSiteRefused", "AUTH", "ok.example", 0, 0, "https://ok2.example", 61021, "owner's"},
    {"OtherSiteRefusedWhateverTheCase", "auth", "ok.example", 0, 0, "https://ok2.example", 61021, "owner's"},
    {"OtherSiteRefusedADayLater", "AUTH", "ok.example", 0, 24 * 60, "https://ok2.example", 61021, "owner's"},
    {"PartnerOnTheListReplaces", "AUTH", "ok.example;*.partner.example", 0, 0, "https://www.partner.example", 0,
     "second's"},
    {"LookAlikeRefused", "AUTH", "ok.example", 0, 0, "https://ok.example.evil.test", 61021, "owner's"},
    {"OriginNotUrlRefused", "AUTH", "*", 0, 0, "null", 61021, "owner's"},
    {"EmptyListNobodyReplaces", "AUTH", "", 0, 0, "https://ok.example", 61021, ""},
    {"InvalidListNobodyReplaces", "AUTH", "a(b", 0, 0, "https://ok.example", 61021, ""},
    {"LiveTimedValueRefused", "AUTH", "ok.example", 5, 4, "https://ok2.example", 61021, "owner's"},
    {"AtItsExpiryStillLive", "AUTH", "ok.example", 5, 5, "https://ok2.example", 61021, "owner's"},
    {"ExpiredValueTakenOver", "AUTH", "ok.example", 5, 6, "https://ok2.example", 0, "second's"},
    {"ExpiredEmptyListTakenOver", "auth", "", 1, 2, "https://ok2.example", 0, "second's"},
};

INSTANTIATE_TEST_SUITE_P(Values, ValueOwners, testing::ValuesIn(OwnerCases),
                         [](const testing::TestParamInfo<OwnerCase>& info) { return info.param.name; });

// A full table frees expired records only, never a live value of another
// site (or of the same one): the new value is refused with 61019 instead.
struct FullCase {
  const char* name;
  int timeouts[KESTROVAN_VALUE_RECORDS];  // of "ch0".."ch15"
  int64_t minutesLater;
  int32_t code;
  int taken;                 // the record the new channel takes; -1 when refused
  std::vector<int> cleared;  // records left free
};

void PrintTo(const FullCase& c, std::ostream* os) { *os << c.name; }

class ValueStoreFull : public ValueStore, public testing::WithParamInterface<FullCase> {};

TEST_P(ValueStoreFull, FreesOnlyExpiredRecords) {
  const FullCase& c = GetParam();
  // Each channel from a site of its own.
  auto site = [](int i) { return "https://site" + std::to_string(i) + ".example"; };
  for (int i = 0; i < KESTROVAN_VALUE_RECORDS; i++) {
    std::string list = "site" + std::to_string(i) + ".example";
    ASSERT_EQ(KestrovanValue_set_value(("ch" + std::to_string(i)).c_str(), list.c_str(), c.timeouts[i],
                                       ("v" + std::to_string(i)).c_str(), site(i).c_str()),
              0);
  }
  advanceMinutes(c.minutesLater);
  testing::internal::CaptureStdout();
  EXPECT_EQ(KestrovanValue_set_value("new", "*", 0, "fresh", "https://newcomer.example"), c.code);
  std::string out = captured();
  EXPECT_EQ(out.find("Full") != std::string::npos, c.code == 61019) << out;
  for (int i = 0; i < KESTROVAN_VALUE_RECORDS; i++) {
    bool cleared = std::find(c.cleared.begin(), c.cleared.end(), i) != c.cleared.end();
    if (i == c.taken) {
      EXPECT_EQ(channelAt(i), "new");
    } else if (cleared) {
      EXPECT_EQ(channelAt(i), "<free>") << i;
    } else {
      EXPECT_EQ(channelAt(i), "ch" + std::to_string(i));
      EXPECT_EQ(read(("ch" + std::to_string(i)).c_str(), site(i).c_str()), "v" + std::to_string(i)) << i;
    }
  }
  EXPECT_EQ(read("new", "https://newcomer.example"), c.taken >= 0 ? "fresh" : "");
  // A channel already in the table is stored whatever the table holds.
  EXPECT_EQ(KestrovanValue_set_value("CH14", "site14.example", 0, "again", site(14).c_str()), 0);
  EXPECT_EQ(read("ch14", site(14).c_str()), "again");
}

const FullCase FullCases[] = {
    {"EndlessValuesStay", {}, 24 * 60, 61019, -1, {}},
    {"LiveTimedValuesStay", {10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10}, 9, 61019, -1, {}},
    {"MixedLiveValuesStay", {0, 10, 0, 10, 0, 10, 0, 10, 0, 10, 0, 10, 0, 10, 0, 10}, 10, 61019, -1, {}},
    {"ExpiredAreFreedAndTheHighestTaken",
     {0, 60, 0, 1, 0, 60, 0, 60, 0, 1, 0, 60, 0, 60, 0, 60}, 2, 0, 9, {3}},
    {"AllExpired", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 2, 0, 15,
     {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
};

INSTANTIATE_TEST_SUITE_P(Values, ValueStoreFull, testing::ValuesIn(FullCases),
                         [](const testing::TestParamInfo<FullCase>& info) { return info.param.name; });

// One site holds at most four live records; the others still find room.
// The greedy site stores four channels, a partner's channel admits it too.
struct ShareCase {
  const char* name;
  int greedyTimeout;     // of the greedy site's four values
  int64_t minutesLater;
  const char* setter;
  const char* channel;
  int32_t code;
};

void PrintTo(const ShareCase& c, std::ostream* os) { *os << c.name; }

class ValueShares : public ValueStore, public testing::WithParamInterface<ShareCase> {};

const char* const Greedy = "https://greedy.example";

TEST_P(ValueShares, OneSiteHoldsAtMostItsShare) {
  const ShareCase& c = GetParam();
  ASSERT_EQ(KestrovanValue_set_value("shared", "partner.example;greedy.example", 0, "partner's",
                                     "https://partner.example"),
            0);
  for (int i = 0; i < KESTROVAN_VALUE_ORIGIN_SHARE; i++) {
    ASSERT_EQ(KestrovanValue_set_value(("g" + std::to_string(i)).c_str(), "greedy.example", c.greedyTimeout, "mine",
                                       Greedy),
              0);
  }
  advanceMinutes(c.minutesLater);
  testing::internal::CaptureStdout();
  EXPECT_EQ(KestrovanValue_set_value(c.channel, "*", 0, "new", c.setter), c.code);
  std::string out = captured();
  EXPECT_EQ(out.find("KestrovanValue share full: ") != std::string::npos, c.code == 61019) << out;
  if (c.code == 0) {
    EXPECT_EQ(read(c.channel, "https://anyone.example"), "new");
  } else {
    EXPECT_NE(read(c.channel, "https://anyone.example"), "new");
    EXPECT_EQ(read("shared", "https://partner.example"), "partner's") << "a refused store changes nothing";
  }
  // Another site stores whatever the greedy one holds.
  EXPECT_EQ(KestrovanValue_set_value("bystander", "bystander.example", 0, "b", "https://bystander.example"), 0);
}

const ShareCase ShareCases[] = {
    {"FifthChannelRefused", 0, 0, Greedy, "g4", 61019},
    {"FifthRefusedADayLater", 0, 24 * 60, Greedy, "another", 61019},
    {"OriginCaseDoesNotEscapeTheShare", 0, 0, "https://GREEDY.example", "g4", 61019},
    {"OwnValueReplacedAtTheShare", 0, 0, Greedy, "G0", 0},
    {"PartnersValueWouldCountAgainstTheShare", 0, 0, Greedy, "shared", 61019},
    {"OtherPortIsAnotherSite", 0, 0, "https://greedy.example:8443", "g4", 0},
    {"OtherSiteStores", 0, 0, "https://other.example", "g4", 0},
    {"LiveTimedValuesCount", 10, 9, Greedy, "g4", 61019},
    {"ExpiredValuesFreeTheShare", 1, 2, Greedy, "g4", 0},
    {"ExpiredOwnValueRetakenAtTheShare", 1, 2, Greedy, "g0", 0},
};

INSTANTIATE_TEST_SUITE_P(Values, ValueShares, testing::ValuesIn(ShareCases),
                         [](const testing::TestParamInfo<ShareCase>& info) { return info.param.name; });

// A site that stores twenty endless values with an empty list keeps four;
// twelve records stay for the others, and only a full table of live values
// refuses them.
TEST_F(ValueStore, ASiteCannotFillTheStore) {
  for (int i = 0; i < 20; i++) {
    EXPECT_EQ(KestrovanValue_set_value(("flood" + std::to_string(i)).c_str(), "", 0, "x", "https://evil.test"),
              i < KESTROVAN_VALUE_ORIGIN_SHARE ? 0 : 61019)
        << i;
  }
  for (int site = 0; site < 3; site++) {
    std::string origin = "https://site" + std::to_string(site) + ".example";
    for (int i = 0; i < KESTROVAN_VALUE_ORIGIN_SHARE; i++) {
      std::string channel = "s" + std::to_string(site) + "c" + std::to_string(i);
      EXPECT_EQ(KestrovanValue_set_value(channel.c_str(), "*", 0, "v", origin.c_str()), 0) << channel;
    }
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(KestrovanValue_set_value("late", "*", 0, "v", "https://late.example"), 61019);
  std::string out = captured();
  EXPECT_NE(out.find("KestrovanValue: Full"), std::string::npos) << out;
  EXPECT_EQ(read("s0c0", "https://late.example"), "v");
}

struct StoreArgs {
  const char* name;
  const char* channel;
  const char* domainList;
  int timeout;
  const char* value;
  const char* origin;
  int32_t code;
  const char* message;  // expected in the trace; "" for none at all
};

void PrintTo(const StoreArgs& c, std::ostream* os) { *os << c.name; }

class ValueStoreArguments : public ValueStore, public testing::WithParamInterface<StoreArgs> {};

TEST_P(ValueStoreArguments, Answer) {
  const StoreArgs& c = GetParam();
  testing::internal::CaptureStdout();
  EXPECT_EQ(KestrovanValue_set_value(c.channel, c.domainList, c.timeout, c.value, c.origin), c.code);
  std::string out = captured();
  if (c.message[0] == '\0') {
    EXPECT_EQ(out, "");
  } else {
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
  }
}

const StoreArgs StoreArgsCases[] = {
    {"NoChannel", nullptr, "example.com", 0, "v", Origin, 61005, "Parameter channel is null at KestrovanValue"},
    {"NoDomainList", "c", nullptr, 0, "v", Origin, 61005, "Parameter domain_list is null at KestrovanValue"},
    {"NegativeTimeout", "c", "example.com", -1, "v", Origin, 61005, ""},
    {"NoValue", "c", "example.com", 0, nullptr, Origin, 61005, "Parameter value is null at KestrovanValue"},
    {"NoOrigin", "c", "example.com", 0, "v", nullptr, 61005, "Parameter origin is null at KestrovanValue"},
    {"ChannelCheckedFirst", nullptr, nullptr, -1, nullptr, nullptr, 61005, "Parameter channel is null"},
    {"ValueCheckedBeforeOrigin", "c", "example.com", 0, nullptr, nullptr, 61005, "Parameter value is null"},
    {"TimeoutSecondsOverflow", "c", "example.com", 35791395, "v", Origin, 61005, "KestrovanValue: "},
    {"HugeTimeout", "c", "example.com", 2147483647, "v", Origin, 61005, "KestrovanValue: "},
    {"LargestTimeout", "c", "example.com", 35791394, "v", Origin, 0, ""},
    {"EmptyDomainList", "c", "", 0, "v", Origin, 0, ""},
    {"EmptyValue", "c", "example.com", 0, "", Origin, 0, ""},
};

INSTANTIATE_TEST_SUITE_P(Values, ValueStoreArguments, testing::ValuesIn(StoreArgsCases),
                         [](const testing::TestParamInfo<StoreArgs>& info) { return info.param.name; });

TEST_F(ValueStore, LargestTimeoutExpiresWhenItShould) {
  ASSERT_EQ(KestrovanValue_set_value("c", "example.com", 35791394, "v", Origin), 0);
  EXPECT_EQ(KestrovanValue_expiryAt(0), FakeNow + 35791394LL * 60);
}

struct ReadCase {
  const char* name;
  const char* domainList;
  const char* channel;
  const char* origin;
  const char* expected;
  const char* message;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class ValueStoreReads : public ValueStore, public testing::WithParamInterface<ReadCase> {};

TEST_P(ValueStoreReads, Answer) {
  const ReadCase& c = GetParam();
  ASSERT_EQ(KestrovanValue_set_value("chan", c.domainList, 0, "the value", Origin), 0);
  std::string out;
  EXPECT_EQ(read(c.channel, c.origin, &out), c.expected);
  EXPECT_NE(out.find(c.message), std::string::npos) << out;
}

const ReadCase ReadCases[] = {
    {"Permitted", "example.com", "chan", "https://example.com", "the value", "No expired time"},
    {"PermittedIgnoringCase", "example.com", "CHAN", "https://Example.COM", "the value", "No expired time"},
    {"WildcardList", "*.example.com;example.org", "chan", "https://www.example.com:8443", "the value", "No expired time"},
    {"Refused", "example.com", "chan", "https://example.org", "", "KestrovanValue url check fail"},
    {"EmptyListRefuses", "", "chan", "https://example.com", "", "KestrovanValue url check fail"},
    {"OriginNotUrl", "*", "chan", "null", "", "KestrovanValue url check fail"},
    {"InvalidList", "a(b", "chan", "https://ab", "", "unlock exception: "},
    {"UnknownChannel", "example.com", "other", "https://example.com", "", "KestrovanValue no current channel"},
    {"NoChannel", "example.com", nullptr, "https://example.com", "", "Parameter channel is null at KestrovanValue"},
    {"NoDomain", "example.com", "chan", nullptr, "", "Parameter domain is null at KestrovanValue"},
};

INSTANTIATE_TEST_SUITE_P(Values, ValueStoreReads, testing::ValuesIn(ReadCases),
                         [](const testing::TestParamInfo<ReadCase>& info) { return info.param.name; });

TEST_F(ValueStore, EmptyListRefusesWhateverAnEarlierReadPermitted) {
  ASSERT_EQ(KestrovanValue_set_value("open", "example.com", 0, "v1", Origin), 0);
  ASSERT_EQ(KestrovanValue_set_value("closed", "", 0, "v2", Origin), 0);
  EXPECT_EQ(read("open", Origin), "v1");
  EXPECT_EQ(read("closed", Origin), "");
  EXPECT_EQ(read("open", Origin), "v1");
}

TEST_F(ValueStore, ValuesRoundTripWhole) {
  std::string big(1 << 20, 'x');
  for (size_t i = 0; i < big.size(); i += 97) {
    big[i] = (char)('a' + i % 26);
  }
  const std::string values[] = {"", "0123456789ABCD", "0123456789ABCDEF", "quote \" and \\ and \xc3\xa9", big};
  for (const std::string& value : values) {
    ASSERT_EQ(KestrovanValue_set_value("v", "example.com", 0, value.c_str(), Origin), 0);
    EXPECT_EQ(read("v", Origin), value);
  }
}

TEST_F(ValueStore, NothingIsSealedWithoutAKey) {
  KestrovanValue_final();
  testing::internal::CaptureStdout();
  EXPECT_EQ(KestrovanValue_set_value("c", "example.com", 0, "v", Origin), 61020);
  std::string out = captured();
  EXPECT_NE(out.find("Encrypt Error"), std::string::npos);
  EXPECT_NE(out.find("Memory allocate fail at file: KestrovanValue"), std::string::npos);
  // The record keeps its channel and list without a value: reading it fails.
  EXPECT_EQ(channelAt(0), "c");
  EXPECT_EQ(read("c", Origin), "<null>");
}

TEST_F(ValueStore, ValuesDoNotSurviveARestart) {
  ASSERT_EQ(KestrovanValue_set_value("c", "example.com", 0, "v", Origin), 0);
  KestrovanValue_init();
  EXPECT_EQ(channelAt(0), "<free>");
  EXPECT_EQ(read("c", Origin), "");
}

TEST_F(ValueStore, ClearingOneRecord) {
  ASSERT_EQ(KestrovanValue_set_value("a", "example.com", 0, "1", Origin), 0);
  ASSERT_EQ(KestrovanValue_set_value("b", "example.com", 0, "2", Origin), 0);
  KestrovanValue_init(0);
  KestrovanValue_init(-1);
  KestrovanValue_init(16);
  EXPECT_EQ(channelAt(0), "<free>");
  EXPECT_EQ(read("b", Origin), "2");
  ASSERT_EQ(KestrovanValue_set_value("c", "example.com", 0, "3", Origin), 0);
  EXPECT_EQ(channelAt(0), "c");
}

}  // namespace

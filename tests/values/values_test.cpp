// Value store: storing, reading, expiry on a clock the tests move, the full
// table, argument checks and the origin check of each read.
#include "values/values.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

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
  ASSERT_EQ(KestrovanValue_set_value("a", "example.com", 0, "value a"), 0);
  EXPECT_EQ(KestrovanValue_expiryAt(0), 0);
  advanceMinutes(24 * 60);
  std::string out;
  EXPECT_EQ(read("a", Origin, &out), "value a");
  EXPECT_NE(out.find("No expired time"), std::string::npos);
}

TEST_F(ValueStore, IdleTimeoutSlidesAndExpires) {
  ASSERT_EQ(KestrovanValue_set_value("a", "example.com", 5, "value a"), 0);
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
  ASSERT_EQ(KestrovanValue_set_value("A", "example.com", 5, "again"), 0);
  EXPECT_EQ(read("a", Origin), "again");
}

TEST_F(ValueStore, ChannelsIgnoreCaseAndKeepTheFirstName) {
  ASSERT_EQ(KestrovanValue_set_value("Abc", "example.com", 0, "one"), 0);
  ASSERT_EQ(KestrovanValue_set_value("other", "example.com", 0, "x"), 0);
  ASSERT_EQ(KestrovanValue_set_value("ABC", "example.com", 0, "two"), 0);
  EXPECT_EQ(channelAt(0), "Abc");
  EXPECT_EQ(channelAt(1), "other");
  EXPECT_EQ(channelAt(2), "<free>");
  EXPECT_EQ(read("abc", Origin), "two");
}

TEST_F(ValueStore, StoreReplacesDomainListAndTimeout) {
  ASSERT_EQ(KestrovanValue_set_value("c", "example.com", 5, "v1"), 0);
  ASSERT_EQ(KestrovanValue_set_value("c", "example.org", 0, "v2"), 0);
  EXPECT_EQ(KestrovanValue_expiryAt(0), 0);
  EXPECT_EQ(read("c", Origin), "");
  EXPECT_EQ(read("c", "https://example.org"), "v2");
}

TEST_F(ValueStore, FullTableOfEndlessValuesIsClearedForANewChannel) {
  for (int i = 0; i < 16; i++) {
    ASSERT_EQ(KestrovanValue_set_value(("ch" + std::to_string(i)).c_str(), "example.com", 0, "v"), 0);
  }
  ASSERT_EQ(KestrovanValue_set_value("new", "example.com", 0, "fresh"), 0);
  for (int i = 0; i < 15; i++) {
    EXPECT_EQ(channelAt(i), "<free>") << i;
  }
  EXPECT_EQ(channelAt(15), "new");
  EXPECT_EQ(read("new", Origin), "fresh");
  EXPECT_EQ(read("ch0", Origin), "");
}

TEST_F(ValueStore, FullTableOfLiveValuesRefuses) {
  for (int i = 0; i < 16; i++) {
    ASSERT_EQ(KestrovanValue_set_value(("ch" + std::to_string(i)).c_str(), "example.com", 10, "v"), 0);
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(KestrovanValue_set_value("new", "example.com", 0, "fresh"), 61019);
  EXPECT_NE(captured().find("Full"), std::string::npos);
  // An existing channel can still be stored.
  EXPECT_EQ(KestrovanValue_set_value("CH3", "example.com", 10, "w"), 0);
  EXPECT_EQ(read("ch3", Origin), "w");
  for (int i = 0; i < 16; i++) {
    EXPECT_EQ(channelAt(i), "ch" + std::to_string(i));
  }
}

TEST_F(ValueStore, FullTableClearsOnlyExpiredAndTakesTheHighest) {
  for (int i = 0; i < 16; i++) {
    int timeout = (i == 3 || i == 9) ? 1 : 60;
    ASSERT_EQ(KestrovanValue_set_value(("ch" + std::to_string(i)).c_str(), "example.com", timeout, "v"), 0);
  }
  advanceMinutes(2);
  ASSERT_EQ(KestrovanValue_set_value("new", "example.com", 60, "fresh"), 0);
  EXPECT_EQ(channelAt(3), "<free>");
  EXPECT_EQ(channelAt(9), "new");
  EXPECT_EQ(channelAt(10), "ch10");
  // The freed record is taken by the next new channel.
  ASSERT_EQ(KestrovanValue_set_value("newer", "example.com", 60, "v"), 0);
  EXPECT_EQ(channelAt(3), "newer");
}

struct StoreArgs {
  const char* name;
  const char* channel;
  const char* domainList;
  int timeout;
  const char* value;
  int32_t code;
  const char* message;  // expected in the trace; "" for none at all
};

void PrintTo(const StoreArgs& c, std::ostream* os) { *os << c.name; }

class ValueStoreArguments : public ValueStore, public testing::WithParamInterface<StoreArgs> {};

TEST_P(ValueStoreArguments, Answer) {
  const StoreArgs& c = GetParam();
  testing::internal::CaptureStdout();
  EXPECT_EQ(KestrovanValue_set_value(c.channel, c.domainList, c.timeout, c.value), c.code);
  std::string out = captured();
  if (c.message[0] == '\0') {
    EXPECT_EQ(out, "");
  } else {
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
  }
}

const StoreArgs StoreArgsCases[] = {
    {"NoChannel", nullptr, "example.com", 0, "v", 61005, "Parameter channel is null at KestrovanValue"},
    {"NoDomainList", "c", nullptr, 0, "v", 61005, "Parameter domain_list is null at KestrovanValue"},
    {"NegativeTimeout", "c", "example.com", -1, "v", 61005, ""},
    {"NoValue", "c", "example.com", 0, nullptr, 61005, "Parameter value is null at KestrovanValue"},
    {"ChannelCheckedFirst", nullptr, nullptr, -1, nullptr, 61005, "Parameter channel is null"},
    {"TimeoutSecondsOverflow", "c", "example.com", 35791395, "v", 61005, "KestrovanValue: "},
    {"HugeTimeout", "c", "example.com", 2147483647, "v", 61005, "KestrovanValue: "},
    {"LargestTimeout", "c", "example.com", 35791394, "v", 0, ""},
    {"EmptyDomainList", "c", "", 0, "v", 0, ""},
    {"EmptyValue", "c", "example.com", 0, "", 0, ""},
};

INSTANTIATE_TEST_SUITE_P(Values, ValueStoreArguments, testing::ValuesIn(StoreArgsCases),
                         [](const testing::TestParamInfo<StoreArgs>& info) { return info.param.name; });

TEST_F(ValueStore, LargestTimeoutExpiresWhenItShould) {
  ASSERT_EQ(KestrovanValue_set_value("c", "example.com", 35791394, "v"), 0);
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
  ASSERT_EQ(KestrovanValue_set_value("chan", c.domainList, 0, "the value"), 0);
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
  ASSERT_EQ(KestrovanValue_set_value("open", "example.com", 0, "v1"), 0);
  ASSERT_EQ(KestrovanValue_set_value("closed", "", 0, "v2"), 0);
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
    ASSERT_EQ(KestrovanValue_set_value("v", "example.com", 0, value.c_str()), 0);
    EXPECT_EQ(read("v", Origin), value);
  }
}

TEST_F(ValueStore, NothingIsSealedWithoutAKey) {
  KestrovanValue_final();
  testing::internal::CaptureStdout();
  EXPECT_EQ(KestrovanValue_set_value("c", "example.com", 0, "v"), 61020);
  std::string out = captured();
  EXPECT_NE(out.find("Encrypt Error"), std::string::npos);
  EXPECT_NE(out.find("Memory allocate fail at file: KestrovanValue"), std::string::npos);
  // The record keeps its channel and list without a value: reading it fails.
  EXPECT_EQ(channelAt(0), "c");
  EXPECT_EQ(read("c", Origin), "<null>");
}

TEST_F(ValueStore, ValuesDoNotSurviveARestart) {
  ASSERT_EQ(KestrovanValue_set_value("c", "example.com", 0, "v"), 0);
  KestrovanValue_init();
  EXPECT_EQ(channelAt(0), "<free>");
  EXPECT_EQ(read("c", Origin), "");
}

TEST_F(ValueStore, ClearingOneRecord) {
  ASSERT_EQ(KestrovanValue_set_value("a", "example.com", 0, "1"), 0);
  ASSERT_EQ(KestrovanValue_set_value("b", "example.com", 0, "2"), 0);
  KestrovanValue_init(0);
  KestrovanValue_init(-1);
  KestrovanValue_init(16);
  EXPECT_EQ(channelAt(0), "<free>");
  EXPECT_EQ(read("b", Origin), "2");
  ASSERT_EQ(KestrovanValue_set_value("c", "example.com", 0, "3"), 0);
  EXPECT_EQ(channelAt(0), "c");
}

}  // namespace

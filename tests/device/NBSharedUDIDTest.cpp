#include "nb/device/NBSharedUDID.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <regex>
#include <set>
#include <thread>

#include "nb/platform/KeyedArchiver.h"
#include "tests/device/SharedUDIDFixture.h"

namespace nb {
namespace {

constexpr char kRetrieved[] = "SharedUDID succesfully retrieved";
const std::string A(40, 'a'), B(40, 'b'), C(40, 'c');

void expectStatus(const NBError& error, long code, const std::string& description) {
  EXPECT_EQ(error.domain, "org.SharedUDID");
  EXPECT_EQ(error.code, code);
  EXPECT_EQ(error.description, description);
  EXPECT_EQ(error.underlying, nullptr);
}

using NBSharedUDIDTest = SharedUDIDFixture;

TEST_F(NBSharedUDIDTest, FreshIdentifiersAreFortyLowercaseHexAndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string udid = NBSharedUDID::_generateFreshSharedUDID();
    EXPECT_TRUE(isIdentifier(udid)) << udid;
    seen.insert(udid);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST_F(NBSharedUDIDTest, IdentifierIsTheDigestThenTheReducedRandomNumber) {
  const struct {
    const char* unique;
    std::uint32_t random;
    const char* expected;
  } cases[] = {
      {"", 0x1234, "d41d8cd98f00b204e9800998ecf8427e00001234"},
      {"abc", 0xFFFFFFFE, "900150983cd24fb0d6963f7d28e17f72fffffffe"},
      {"abc", 0xFFFFFFFF, "900150983cd24fb0d6963f7d28e17f7200000000"},
      {"中", 0, "aed1dfbc31703955e64806b799b6764500000000"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(internal::sharedUDIDFrom(c.unique, c.random), c.expected) << c.unique;
  }
}

TEST_F(NBSharedUDIDTest, FirstCallOnADeviceCreatesTheIdentifierAndSlotZero) {
  NBError error;
  const std::string udid = runAs("app.first", &error);
  EXPECT_TRUE(isIdentifier(udid)) << udid;
  expectStatus(error, 0, kRetrieved);

  const auto local = localRecord("app.first");
  ASSERT_TRUE(local);
  EXPECT_EQ(text(local, "SharedUDID"), udid);
  EXPECT_EQ(text(local, "SharedUDID_slot"), slotName(0));
  const auto appUID = text(local, "SharedUDID_appUID");
  ASSERT_TRUE(appUID);
  EXPECT_TRUE(std::regex_match(*appUID, std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")))
      << *appUID;
  EXPECT_TRUE(local->at("SharedUDID_createdTS").get<PropertyValue::Date>());

  EXPECT_TRUE(slot(0) == local) << "slot 0 holds the same record";
  EXPECT_TRUE(
      Pasteboard::pasteboardWithName(PasteboardStore::open(), slotName(0), false)->persistent());
  EXPECT_FALSE(slot(1));
}

TEST_F(NBSharedUDIDTest, LaterApplicationsAdoptTheIdentifierAndClaimTheNextSlot) {
  const std::string udid = runAs("app.first");
  NBError error;
  EXPECT_EQ(runAs("app.second", &error), udid);
  expectStatus(error, 0, kRetrieved);
  EXPECT_EQ(text(localRecord("app.second"), "SharedUDID_slot"), slotName(1));
  EXPECT_EQ(text(slot(1), "SharedUDID"), udid);
  EXPECT_EQ(runAs("app.third"), udid);
  EXPECT_EQ(text(slot(2), "SharedUDID"), udid);

  // The first application, started again, keeps its slot and claims no other.
  EXPECT_EQ(runAs("app.first"), udid);
  EXPECT_EQ(text(localRecord("app.first"), "SharedUDID_slot"), slotName(0));
  EXPECT_FALSE(slot(3));
}

TEST_F(NBSharedUDIDTest, NewApplicationTakesTheIdentifierHeldByMostSlots) {
  // Each string lists the slots from 0: a letter is a record with that
  // identifier, "-" an absent slot. Ties go to the identifier seen first.
  const struct {
    const char* slots;
    const std::string& expected;
    int claimed;
  } cases[] = {
      {"AAB", A, 3}, {"BAA", A, 3},  {"ABA", A, 3}, {"AB", A, 2},
      {"BA", B, 2},  {"A-BB", B, 1}, {"ABC", A, 3},
  };
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.slots);
    TempDataHome home;  // a fresh device per case
    const std::string slots = c.slots;
    for (std::size_t n = 0; n < slots.size(); ++n) {
      if (slots[n] != '-')
        plantRecord(static_cast<int>(n),
                    record(std::string(40, static_cast<char>(std::tolower(slots[n]))), "OTHER"));
    }
    const std::string app = "app.voter" + std::to_string(round++);
    NBError error;
    EXPECT_EQ(runAs(app, &error), c.expected);
    expectStatus(error, 0, kRetrieved);
    EXPECT_EQ(text(localRecord(app), "SharedUDID_slot"), slotName(c.claimed));
    EXPECT_EQ(text(slot(c.claimed), "SharedUDID"), c.expected);
  }
}

TEST_F(NBSharedUDIDTest, OwnStoredIdentifierWinsOverTheSlotsAndReportsADiscrepancy) {
  plantRecord(0, record(A, "OTHER-1"));
  plantRecord(1, record(A, "OTHER-2"));
  ASSERT_TRUE(defaultsOf("app.c")->setObject(record(C, "ME"), "SharedUDID"));
  NBError error;
  EXPECT_EQ(runAs("app.c", &error), C);
  expectStatus(error, 2,
               "Found a discrepancy between stored SharedUDID (reliable) and redundant copies; "
               "one of the apps on the device is most likely corrupting the SharedUDID protocol");
  // Its copy goes to the first free slot; the others' copies stay.
  EXPECT_EQ(text(slot(2), "SharedUDID"), C);
  EXPECT_EQ(text(localRecord("app.c"), "SharedUDID_slot"), slotName(2));
  EXPECT_EQ(text(slot(0), "SharedUDID"), A);
}

TEST_F(NBSharedUDIDTest, SecondCallAnswersFromTheCache) {
  const std::string udid = runAs("app.cached");
  ASSERT_TRUE(defaultsOf("app.cached")->setObject(record(B, "X"), "SharedUDID"));
  NBError error;
  EXPECT_EQ(NBSharedUDID::valueWithError(&error), udid);
  expectStatus(error, 0, "SharedUDID in cache from first call");
  EXPECT_EQ(NBSharedUDID::value(), udid);
  // A new process sees the changed defaults.
  EXPECT_EQ(runAs("app.cached"), B);
}

TEST_F(NBSharedUDIDTest, ConcurrentFirstCallsInOneProcessComputeOnce) {
  UserDefaults::setApplicationId("app.threads");
  std::vector<std::string> answers(8);
  std::vector<std::thread> threads;
  threads.reserve(answers.size());
  for (auto& answer : answers) threads.emplace_back([&answer] { answer = NBSharedUDID::value(); });
  for (auto& thread : threads) thread.join();
  for (const auto& answer : answers) EXPECT_EQ(answer, answers[0]);
  EXPECT_TRUE(slot(0));
  EXPECT_FALSE(slot(1)) << "only one computation claimed a slot";
}

TEST_F(NBSharedUDIDTest, OptOutAnswersZerosUntilOptedBackIn) {
  // Without an application id in the defaults, each computation uses a new
  // one; with one, the slot copy is found again and must agree with the opt-out.
  for (const bool stableAppUID : {false, true}) {
    SCOPED_TRACE(stableAppUID ? "stable application id" : "no application id");
    TempDataHome home;
    const std::string app = stableAppUID ? "app.stable" : "app.unstable";
    if (stableAppUID) {
      ASSERT_TRUE(defaultsOf(app)->setObject("MY-APP-UID", "SharedUDID_appUID"));
    }
    const std::string udid = runAs(app);
    UserDefaults::setApplicationId(app);
    ASSERT_TRUE(NBSharedUDID::setOptOut(true));

    NBError error;
    EXPECT_EQ(NBSharedUDID::valueWithError(&error), std::string(40, '0'));
    EXPECT_EQ(error.code, 1);
    const std::string appUID = stableAppUID ? "MY-APP-UID" : "[0-9A-F-]{36}";
    EXPECT_TRUE(std::regex_match(
        error.description,
        std::regex("Application with unique id " + appUID +
                   " is opted-out from SharedUDID as of "
                   "20[0-9]{2}-[01][0-9]-[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9] \\+0000")))
        << error.description;
    EXPECT_EQ(runAs(app), std::string(40, '0')) << "the opt-out lasts across processes";
    EXPECT_EQ(runAs("app.bystander"), udid) << "other applications still share the identifier";

    UserDefaults::setApplicationId(app);
    ASSERT_TRUE(NBSharedUDID::setOptOut(false));
    EXPECT_EQ(NBSharedUDID::valueWithError(&error), udid);
    expectStatus(error, 0, kRetrieved);
  }
}

TEST_F(NBSharedUDIDTest, OwnSlotWithoutOptOutDateWithdrawsTheOptOut) {
  ASSERT_TRUE(defaultsOf("app.o")->setObject("MY-APP-UID", "SharedUDID_appUID"));
  const std::string udid = runAs("app.o");
  ASSERT_TRUE(NBSharedUDID::setOptOut(true));
  plantRecord(0, record(udid, "MY-APP-UID"));  // the slot copy lost its opt-out date
  NBError error;
  EXPECT_EQ(runAs("app.o", &error), udid);
  expectStatus(error, 0, kRetrieved);
}

TEST_F(NBSharedUDIDTest, SlotWithoutARecordCountsAsFree) {
  const auto archivedString = KeyedArchiver::archivedDataWithRootObject("not a record").value();
  const struct {
    const char* name;
    std::vector<std::uint8_t> data;
    std::string type;
  } cases[] = {
      {"garbage bytes", {0xde, 0xad, 0xbe, 0xef}, "org.SharedUDID"},
      {"empty data", {}, "org.SharedUDID"},
      {"archived non-dictionary", archivedString, "org.SharedUDID"},
      {"record of another type",
       KeyedArchiver::archivedDataWithRootObject(record(B, "OTHER")).value(), "public.text"},
      {"dictionary without identifier",
       KeyedArchiver::archivedDataWithRootObject(PropertyValue::Dictionary{{"x", 1}}).value(),
       "org.SharedUDID"},
  };
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDataHome home;
    plantData(0, c.data, c.type);
    plantRecord(1, record(A, "OTHER"));
    const std::string app = "app.free" + std::to_string(round++);
    EXPECT_EQ(runAs(app), A) << "the unusable slot adds to no count";
    EXPECT_EQ(text(localRecord(app), "SharedUDID_slot"), slotName(0));
    EXPECT_EQ(text(slot(0), "SharedUDID"), A) << "and is claimed as the first free slot";
  }
}

TEST_F(NBSharedUDIDTest, AllSlotsFullStillAnswersWithoutACopy) {
  for (int n = 0; n < 100; ++n) plantRecord(n, record(n < 60 ? B : A, "OTHER"));
  NBError error;
  EXPECT_EQ(runAs("app.late", &error), B);
  expectStatus(error, 0, kRetrieved);
  const auto local = localRecord("app.late");
  ASSERT_TRUE(local);
  EXPECT_EQ(text(local, "SharedUDID"), B);
  EXPECT_FALSE(text(local, "SharedUDID_slot"));
  EXPECT_FALSE(slot(100));
  for (int n = 0; n < 100; ++n) EXPECT_EQ(text(slot(n), "SharedUDID_appUID"), "OTHER");
}

TEST_F(NBSharedUDIDTest, LostSlotIsRewrittenWhenItIsTheFirstFreeOne) {
  const std::string udid = runAs("app.first");
  runAs("app.second");
  ASSERT_TRUE(Pasteboard::removePasteboardWithName(*PasteboardStore::open(), slotName(0)));
  EXPECT_EQ(runAs("app.first"), udid);
  EXPECT_EQ(text(slot(0), "SharedUDID"), udid);
  EXPECT_EQ(text(localRecord("app.first"), "SharedUDID_slot"), slotName(0));
}

TEST_F(NBSharedUDIDTest, StoreFailuresAreReportedWithTheAnswer) {
  const struct {
    const char* name;
    std::function<void()> breakStore;
  } cases[] = {
      {"data home is a file",
       [this] {
         const std::string file = home_.path() + "/not-a-folder";
         fclose(fopen(file.c_str(), "w"));
         setenv("NB_DATA_HOME", file.c_str(), 1);
       }},
      {"unusable application id", [] { UserDefaults::setApplicationId("../escape"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDataHome home;
    internal::resetSharedUDIDCache();
    UserDefaults::setApplicationId("app.broken");
    c.breakStore();
    NBError error;
    EXPECT_TRUE(isIdentifier(NBSharedUDID::valueWithError(&error)));
    EXPECT_EQ(error.domain, "org.SharedUDID");
    EXPECT_EQ(error.code, 3);
    EXPECT_EQ(error.description.rfind("SharedUDID storage failed: ", 0), 0u) << error.description;
    ASSERT_TRUE(error.underlying);
    expectStatus(*error.underlying, 0, kRetrieved);
  }
}

}  // namespace
}  // namespace nb

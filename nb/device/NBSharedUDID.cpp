#include "nb/device/NBSharedUDID.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "nb/Private/NSStringHelper.h"
#include "nb/device/internal/NBSharedUDIDInternal.h"
#include "nb/platform/KeyedArchiver.h"
#include "nb/platform/Pasteboard.h"
#include "nb/platform/internal/PasteboardStore.h"
#include "nb/platform/UserDefaults.h"

namespace nb {
namespace {

using Dictionary = PropertyValue::Dictionary;
using Date = PropertyValue::Date;

constexpr char kDomain[] = "org.SharedUDID";
constexpr char kPasteboardType[] = "org.SharedUDID";
constexpr char kSlotPrefix[] = "org.SharedUDID.slot.";
constexpr int kSlotCount = 100;

// Keys of the defaults and of the record.
constexpr char kKeyUDID[] = "SharedUDID";
constexpr char kKeyAppUID[] = "SharedUDID_appUID";
constexpr char kKeyCreated[] = "SharedUDID_createdTS";
constexpr char kKeySlot[] = "SharedUDID_slot";
constexpr char kKeyOptOut[] = "SharedUDID_optOutTS";

constexpr char kTextFromCache[] = "SharedUDID in cache from first call";
constexpr char kTextRetrieved[] = "SharedUDID succesfully retrieved";
constexpr char kOptedOutFormat[] =
    "Application with unique id %s is opted-out from SharedUDID as of %s";
constexpr char kTextDiscrepancy[] =
    "Found a discrepancy between stored SharedUDID (reliable) and redundant copies; one of the "
    "apps on the device is most likely corrupting the SharedUDID protocol";

// The process-wide cache; empty until the first computation. The mutex also
// serialises computations, so threads never race each other for a slot.
std::mutex gMutex;
std::string gCache;

std::optional<std::string> stringIn(const Dictionary& record, const char* key) {
  const auto it = record.find(key);
  if (it == record.end() || it->second.get<std::string>() == nullptr) return std::nullopt;
  return *it->second.get<std::string>();
}

std::optional<Date> dateIn(const Dictionary& record, const char* key) {
  const auto it = record.find(key);
  if (it == record.end() || it->second.get<Date>() == nullptr) return std::nullopt;
  return *it->second.get<Date>();
}

std::optional<Dictionary> dictionaryIn(const std::optional<PropertyValue>& value) {
  if (!value || value->get<Dictionary>() == nullptr) return std::nullopt;
  return *value->get<Dictionary>();
}

// "2012-12-07 10:00:00 +0000".
std::string describe(Date date) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(date);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &utc);
  return text;
}

NBError status(long code, std::string description) {
  return NBError{kDomain, code, std::move(description), nullptr};
}

// Remembers the first store failure of a computation.
class Problems {
 public:
  void note(const std::string& problem) {
    if (first_.empty()) first_ = problem;
  }
  // `outcome`, or a storage failure carrying `outcome` as its underlying status.
  NBError wrap(NBError outcome) const {
    if (first_.empty()) return outcome;
    return NBError{kDomain, NBSharedUDID::kStorageFailed, "SharedUDID storage failed: " + first_,
                   std::make_shared<NBError>(std::move(outcome))};
  }

 private:
  std::string first_;
};

// What the slot scan learns.
struct SlotScan {
  std::optional<std::string> mostFrequent;
  std::optional<std::string> freeSlot;
  std::optional<std::string> ownSlot;  // the last slot whose record carries this application's id
};

// Scans the slots in order. A slot whose record carries this application's id
// can only withdraw an opt-out (`optOutDate`), never add one.
SlotScan scanSlots(const std::shared_ptr<PasteboardStore>& store, const std::string& appUID,
                   std::optional<Date>& optOutDate, Problems& problems) {
  SlotScan scan;
  std::vector<std::pair<std::string, int>> counts;  // in order of first appearance
  for (int n = 0; n < kSlotCount; ++n) {
    const std::string name = kSlotPrefix + std::to_string(n);
    std::string problem;
    const auto pasteboard = Pasteboard::pasteboardWithName(store, name, false, &problem);
    if (!pasteboard) {
      // An unreadable slot is neither counted nor claimed.
      if (!problem.empty()) {
        problems.note(problem);
      } else if (!scan.freeSlot) {
        scan.freeSlot = name;
      }
      continue;
    }
    const Dictionary record = NBSharedUDID::_getDictFromPasteboard(*pasteboard);
    if (const auto udid = stringIn(record, kKeyUDID)) {
      auto it = std::find_if(counts.begin(), counts.end(),
                             [&](const auto& entry) { return entry.first == *udid; });
      if (it == counts.end()) {
        counts.emplace_back(*udid, 1);
      } else {
        ++it->second;
      }
    } else if (!scan.freeSlot) {
      scan.freeSlot = name;
    }
    if (stringIn(record, kKeyAppUID) == appUID) {
      scan.ownSlot = name;
      if (optOutDate) optOutDate = dateIn(record, kKeyOptOut);
    }
  }
  // Strictly greater keeps the earliest of tied identifiers.
  int best = 0;
  for (const auto& [udid, count] : counts) {
    if (count > best) {
      best = count;
      scan.mostFrequent = udid;
    }
  }
  return scan;
}

std::string computeLocked(NBError* error) {
  Problems problems;
  std::string problem;
  const auto defaults = UserDefaults::standardUserDefaults(&problem);
  problems.note(problem);
  // Everything from here to the commit runs under the shared store's write
  // lock: scan, choice, claim and this application's defaults update.
  auto store = PasteboardStore::open(&problem);
  problems.note(problem);
  const bool locked = store && store->begin(&problem);
  if (store && !locked) problems.note(problem);

  std::optional<PropertyValue> appUIDValue, recordValue;
  if (defaults) {
    appUIDValue = defaults->objectForKey(kKeyAppUID, &problem);
    problems.note(problem);
    recordValue = defaults->objectForKey(kKeyUDID, &problem);
    problems.note(problem);
  }
  const std::string appUID = appUIDValue && appUIDValue->get<std::string>()
                                 ? *appUIDValue->get<std::string>()
                                 : NSStringHelper::genericGUID();

  const std::optional<Dictionary> stored = dictionaryIn(recordValue);
  Dictionary local = stored.value_or(Dictionary{});
  const std::optional<std::string> storedUDID = stringIn(local, kKeyUDID);
  std::optional<std::string> ownSlot = stringIn(local, kKeySlot);
  std::optional<Date> optOutDate = dateIn(local, kKeyOptOut);
  bool save = false;

  SlotScan scan;
  if (locked) scan = scanSlots(store, appUID, optOutDate, problems);
  if (scan.ownSlot) ownSlot = scan.ownSlot;

  std::string answer;
  bool discrepancy = false;
  if (storedUDID) {
    answer = *storedUDID;
    discrepancy = scan.mostFrequent && *scan.mostFrequent != answer;
  } else {
    answer = scan.mostFrequent ? *scan.mostFrequent : NBSharedUDID::_generateFreshSharedUDID();
    if (!stored) {
      local = Dictionary{{kKeyUDID, answer},
                         {kKeyAppUID, appUID},
                         {kKeyCreated, std::chrono::system_clock::now()}};
      save = true;
    }
  }

  if (scan.freeSlot && (!ownSlot || *ownSlot == *scan.freeSlot)) {
    const auto pasteboard = Pasteboard::pasteboardWithName(store, *scan.freeSlot, true, &problem);
    if (!pasteboard || !pasteboard->setPersistent(true, &problem)) {
      problems.note(problem);
    } else {
      local[kKeySlot] = *scan.freeSlot;
      save = true;
      if (!NBSharedUDID::_setDict(local, *pasteboard)) {
        problems.note("cannot write " + *scan.freeSlot);
      }
    }
  }
  if (save && defaults && !defaults->setObject(local, kKeyUDID, &problem)) problems.note(problem);
  if (locked && !store->commit(&problem)) problems.note(problem);

  NBError outcome;
  if (optOutDate) {
    const std::string date = describe(*optOutDate);
    std::vector<char> text(sizeof kOptedOutFormat + appUID.size() + date.size());
    std::snprintf(text.data(), text.size(), kOptedOutFormat, appUID.c_str(), date.c_str());
    outcome = status(NBSharedUDID::kOptedOut, text.data());
    answer = std::string(40, '0');
  } else if (discrepancy) {
    outcome = status(NBSharedUDID::kDiscrepancy, kTextDiscrepancy);
  } else {
    outcome = status(NBSharedUDID::kRetrieved, kTextRetrieved);
  }
  if (error) *error = problems.wrap(std::move(outcome));
  gCache = answer;
  return answer;
}

// Copies this application's record onto its slot, when the slot still holds
// this application's copy, so that the slot agrees with the defaults about
// the opt-out.
bool copyToOwnSlot(const Dictionary& record) {
  const auto slot = stringIn(record, kKeySlot);
  const auto appUID = stringIn(record, kKeyAppUID);
  if (!slot || !appUID) return true;
  auto store = PasteboardStore::open();
  if (!store || !store->begin()) return false;
  bool ok = true;
  std::string problem;
  if (const auto pasteboard = Pasteboard::pasteboardWithName(store, *slot, false, &problem)) {
    if (stringIn(NBSharedUDID::_getDictFromPasteboard(*pasteboard), kKeyAppUID) == appUID) {
      ok = NBSharedUDID::_setDict(record, *pasteboard);
    }
  } else {
    ok = problem.empty();
  }
  return store->commit() && ok;
}

}  // namespace

std::string NBSharedUDID::value() { return valueWithError(nullptr); }

std::string NBSharedUDID::valueWithError(NBError* error) {
  std::lock_guard lock(gMutex);
  if (!gCache.empty()) {
    if (error) *error = status(kRetrieved, kTextFromCache);
    return gCache;
  }
  return computeLocked(error);
}

bool NBSharedUDID::setOptOut(bool optOut) {
  std::lock_guard lock(gMutex);
  if (gCache.empty()) computeLocked(nullptr);
  gCache.clear();
  const auto defaults = UserDefaults::standardUserDefaults();
  if (!defaults) return false;
  Dictionary record = dictionaryIn(defaults->objectForKey(kKeyUDID)).value_or(Dictionary{});
  if (optOut) {
    record[kKeyOptOut] = std::chrono::system_clock::now();
  } else {
    record.erase(kKeyOptOut);
  }
  return defaults->setObject(record, kKeyUDID) && copyToOwnSlot(record);
}

Dictionary NBSharedUDID::_getDictFromPasteboard(Pasteboard& pasteboard) {
  const auto data = pasteboard.dataForPasteboardType(kPasteboardType);
  if (!data) return {};
  return dictionaryIn(KeyedArchiver::unarchiveObjectWithData(*data)).value_or(Dictionary{});
}

bool NBSharedUDID::_setDict(const Dictionary& dict, Pasteboard& pasteboard) {
  const auto bytes = KeyedArchiver::archivedDataWithRootObject(dict);
  return bytes && pasteboard.setData(*bytes, kPasteboardType);
}

std::string NBSharedUDID::_generateFreshSharedUDID() {
  return internal::sharedUDIDFrom(NSStringHelper::genericGUID(),
                                  static_cast<std::uint32_t>(std::random_device{}()));
}

namespace internal {

std::string sharedUDIDFrom(std::string_view unique, std::uint32_t random) {
  unsigned char digest[EVP_MAX_MD_SIZE] = {};
  unsigned int size = 0;
  if (EVP_Digest(unique.data(), unique.size(), digest, &size, EVP_md5(), nullptr) != 1) {
    // MD5 may be disabled (FIPS mode); random bytes are as unique.
    RAND_bytes(digest, 16);
  }
  char text[41];
  for (std::size_t i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
  // Reduced modulo 2^32 - 1, so the largest value becomes 0.
  std::snprintf(text + 32, 9, "%08x", static_cast<unsigned>(random % 4294967295u));
  return text;
}

void resetSharedUDIDCache() {
  std::lock_guard lock(gMutex);
  gCache.clear();
}

}  // namespace internal
}  // namespace nb

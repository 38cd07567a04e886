// SharedUDIDFixture gives each test case its own stores (a fresh data home),
// an uncached identifier and helpers to act as one application or another and
// to read or plant slot records directly.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "nb/device/NBSharedUDID.h"
#include "nb/device/internal/NBSharedUDIDInternal.h"
#include "nb/platform/Pasteboard.h"
#include "nb/platform/internal/PasteboardStore.h"
#include "nb/platform/UserDefaults.h"
#include "tests/platform/TempDataHome.h"

namespace nb {

class SharedUDIDFixture : public ::testing::Test {
 protected:
  using Dictionary = PropertyValue::Dictionary;

  SharedUDIDFixture() { internal::resetSharedUDIDCache(); }
  ~SharedUDIDFixture() override {
    internal::resetSharedUDIDCache();
    UserDefaults::setApplicationId("");
  }

  static std::string slotName(int n) { return "org.SharedUDID.slot." + std::to_string(n); }

  // Starts `app` afresh (as a new process would) and asks for the identifier.
  std::string runAs(const std::string& app, NBError* error = nullptr) {
    internal::resetSharedUDIDCache();
    UserDefaults::setApplicationId(app);
    return NBSharedUDID::valueWithError(error);
  }

  // The record on slot `n`, or nothing when the slot does not exist.
  std::optional<Dictionary> slot(int n) {
    auto board = Pasteboard::pasteboardWithName(PasteboardStore::open(), slotName(n), false);
    if (!board) return std::nullopt;
    return NBSharedUDID::_getDictFromPasteboard(*board);
  }

  // A persistent slot `n` holding `data` of type `type`.
  void plantData(int n, const std::vector<std::uint8_t>& data,
                 const std::string& type = "org.SharedUDID") {
    auto board = Pasteboard::pasteboardWithName(PasteboardStore::open(), slotName(n), true);
    ASSERT_TRUE(board && board->setPersistent(true));
    ASSERT_TRUE(board->setData(data, type));
  }

  // A persistent slot `n` holding `record`.
  void plantRecord(int n, const Dictionary& record) {
    auto board = Pasteboard::pasteboardWithName(PasteboardStore::open(), slotName(n), true);
    ASSERT_TRUE(board && board->setPersistent(true));
    ASSERT_TRUE(NBSharedUDID::_setDict(record, *board));
  }

  static Dictionary record(const std::string& udid, const std::string& appUID) {
    return Dictionary{{"SharedUDID", udid},
                      {"SharedUDID_appUID", appUID},
                      {"SharedUDID_createdTS", std::chrono::system_clock::now()}};
  }

  static std::unique_ptr<UserDefaults> defaultsOf(const std::string& app) {
    return UserDefaults::open(app);
  }

  // The record `app` keeps in its defaults.
  std::optional<Dictionary> localRecord(const std::string& app) {
    auto value = defaultsOf(app)->objectForKey("SharedUDID");
    if (!value || !value->get<Dictionary>()) return std::nullopt;
    return *value->get<Dictionary>();
  }

  static std::optional<std::string> text(const std::optional<Dictionary>& record,
                                         const std::string& key) {
    if (!record) return std::nullopt;
    auto it = record->find(key);
    if (it == record->end() || !it->second.get<std::string>()) return std::nullopt;
    return *it->second.get<std::string>();
  }

  static bool isIdentifier(const std::string& s) {
    return s.size() == 40 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
  }

  TempDataHome home_;
};

}  // namespace nb

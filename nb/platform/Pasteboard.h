// Pasteboard is a handle on one named pasteboard of a PasteboardStore: typed
// data that any application of the user can read and replace by name. A
// pasteboard created through a handle and never made persistent is removed
// when that handle is destroyed. Same thread rule as its store.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace nb {

class PasteboardStore;

class Pasteboard {
 public:
  // The pasteboard called `name`. When it does not exist: created (not yet
  // persistent) if `create`, else nullptr with `error` empty. nullptr with
  // `error` set when the store fails.
  static std::shared_ptr<Pasteboard> pasteboardWithName(std::shared_ptr<PasteboardStore> store,
                                                        const std::string& name, bool create,
                                                        std::string* error = nullptr);
  // Removes the pasteboard and its content; removing an absent one succeeds.
  static bool removePasteboardWithName(PasteboardStore& store, const std::string& name,
                                       std::string* error = nullptr);

  ~Pasteboard();
  Pasteboard(const Pasteboard&) = delete;
  Pasteboard& operator=(const Pasteboard&) = delete;

  const std::string& name() const { return name_; }

  // Whether the pasteboard outlives the handle that created it.
  bool persistent(std::string* error = nullptr) const;
  bool setPersistent(bool persistent, std::string* error = nullptr);

  // The content when it has type `type`; nothing when empty, of another type,
  // or removed meanwhile (`error` empty), or when the store fails (`error` set).
  std::optional<std::vector<std::uint8_t>> dataForPasteboardType(
      const std::string& type, std::string* error = nullptr) const;
  // Replaces the content with `data` of type `type`.
  bool setData(std::span<const std::uint8_t> data, const std::string& type,
               std::string* error = nullptr);

 private:
  Pasteboard(std::shared_ptr<PasteboardStore> store, std::string name, bool created);
  std::shared_ptr<PasteboardStore> store_;
  std::string name_;
  bool created_;  // this handle created the pasteboard
  bool madePersistent_ = false;
};

}  // namespace nb

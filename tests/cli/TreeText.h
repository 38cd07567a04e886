// Listings for tests, written as text: one entry per item, "d sub" for a
// folder or "f sub/a ..." for a file whose further fields the caller reads.
#pragma once

#include <functional>
#include <istream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/TreeListing.h"

namespace nb::test {

// The entries of `items`, in order; `readFile` takes a file's further fields.
inline std::vector<cli::TreeEntry> treeFromText(
    const std::vector<std::string>& items,
    const std::function<void(std::istream&, cli::TreeEntry&)>& readFile) {
  std::vector<cli::TreeEntry> entries;
  for (const std::string& item : items) {
    std::istringstream fields(item);
    std::string kind;
    cli::TreeEntry entry;
    fields >> kind >> entry.relative;
    entry.folder = kind == "d";
    if (!entry.folder) readFile(fields, entry);
    entries.push_back(entry);
  }
  return entries;
}

// The same, the items separated by commas.
inline std::vector<cli::TreeEntry> treeFromText(
    const std::string& text, const std::function<void(std::istream&, cli::TreeEntry&)>& readFile) {
  std::vector<std::string> items;
  std::istringstream list(text);
  for (std::string item; std::getline(list, item, ',');) items.push_back(item);
  return treeFromText(items, readFile);
}

// A file's size and time: "f sub/a 3 100".
inline void readSizeAndTime(std::istream& fields, cli::TreeEntry& entry) {
  fields >> entry.size >> entry.modified;
}

}  // namespace nb::test

// Filter decides which entries of a folder walk take part in `put -r`,
// `get -r` and `sync`: rules in gitignore syntax from --exclude, --filter-from
// files and the `.nbignore` files of the local folders (the last rule that
// matches decides; "!" takes an entry back; a trailing "/" matches folders
// only; a pattern with a slash is anchored to its folder, one without matches
// a name at any depth; `*`, `?`, `[...]` and `**`), --include patterns (when
// given, only files matching one of them go), and --min-size, --max-size and
// --max-age for files. A folder left out takes everything below it. Built
// once per command; const afterwards, so any thread may read it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/TreeListing.h"
#include "nb/Status.h"

namespace nb::cli {

struct FilterOptions {
  std::vector<std::string> includes = {};
  std::vector<std::string> excludes = {};
  std::vector<std::string> filterFiles = {};  // files of rules, one a line
  std::optional<std::uint64_t> minSize = {};
  std::optional<std::uint64_t> maxSize = {};
  std::optional<long long> maxAgeSeconds = {};
};

class Filter {
 public:
  // The filter of `options`, ages counted back from `now` (epoch seconds).
  // An unreadable --filter-from file is the Status.
  static Result<Filter> make(const FilterOptions& options, long long now);

  // Adds the rules of an ignore file found in the folder `folder` (relative
  // to the walked root; empty for the root): they match below it only, and
  // decide over the rules of the folders above.
  void addIgnoreFile(const std::string& folder, std::string_view text);
  // Reads the `.nbignore` files among `local`'s entries (a walk of `root`).
  void readIgnoreFiles(const std::string& root, const TreeListing& local);

  // Whether the filter leaves anything out.
  bool active() const;
  // Removes the entries left out from `listing`, keeping their order; each
  // entry left out (not what is below a folder left out) goes to `filtered`
  // with the reason.
  void apply(TreeListing& listing, std::vector<Skip>* filtered) const;
  // Why `entry` is left out (its folders aside), or nothing when it goes.
  std::optional<std::string> reasonToLeaveOut(const TreeEntry& entry) const;

  // Whether `text` matches the glob `pattern`: `*` and `?` never match a
  // slash, `**` matches across folders, `[...]` a class ("!" or "^" negates).
  static bool globMatch(std::string_view pattern, std::string_view text);

 private:
  struct Rule {
    std::string folder;  // the rule applies below this folder ("" = everywhere)
    std::string pattern;
    std::string text;    // as written, for reasons
    std::string origin;  // where it was written: "--exclude", "a/.nbignore", ...
    bool negated = false;
    bool folderOnly = false;
    bool anchored = false;  // matched against the path below `folder`, not the name
  };
  static std::optional<Rule> parseRule(const std::string& folder, std::string line,
                                       std::string origin);
  static bool matches(const Rule& rule, const TreeEntry& entry);

  std::vector<Rule> ignoreRules_;   // from .nbignore files, shallow folders first
  std::vector<Rule> commandRules_;  // --filter-from, then --exclude: they decide last
  std::vector<Rule> includes_;
  FilterOptions options_;
  long long now_ = 0;
};

// The filters as a command line gives them, sizes and the age as written.
struct FilterFlags {
  FilterOptions options;
  std::string minSize;
  std::string maxSize;
  std::string maxAge;
  // The filter, ages counted back from `now`; an unreadable size, age or
  // rules file is the Status.
  Result<Filter> make(long long now) const;
};

}  // namespace nb::cli

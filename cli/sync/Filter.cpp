#include "cli/sync/Filter.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <tuple>

#include "cli/Quantity.h"

namespace nb::cli {
namespace {

constexpr const char* kIgnoreFile = ".nbignore";

bool below(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

// Matches a bracket class at the start of `pattern` against `c`; `length` gets
// the class's length. A class without its closing bracket is a literal '['.
bool classMatch(std::string_view pattern, char c, std::size_t& length) {
  std::size_t i = 1;
  const bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
  if (negated) ++i;
  bool found = false;
  const std::size_t first = i;
  for (; i < pattern.size() && (pattern[i] != ']' || i == first); ++i) {
    if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
      found = found || (pattern[i] <= c && c <= pattern[i + 2]);
      i += 2;
    } else {
      found = found || pattern[i] == c;
    }
  }
  if (i >= pattern.size()) {
    length = 1;
    return c == '[';
  }
  length = i + 1;
  return found != negated;
}

}  // namespace

bool Filter::globMatch(std::string_view pattern, std::string_view text) {
  while (!pattern.empty()) {
    if (pattern.substr(0, 2) == "**") {
      std::string_view rest = pattern.substr(2);
      if (rest.empty()) return true;  // everything below
      if (rest.front() == '/') {
        // "**/": no folder, or any number of them.
        rest.remove_prefix(1);
        for (std::size_t at = 0;; ++at) {
          if (globMatch(rest, text.substr(at))) return true;
          at = text.find('/', at);
          if (at == std::string_view::npos) return false;
        }
      }
      pattern.remove_prefix(1);  // "**x" is as "*x"
      continue;
    }
    const char p = pattern.front();
    if (p == '*') {
      const std::string_view rest = pattern.substr(1);
      for (std::size_t at = 0; at <= text.size(); ++at) {
        if (globMatch(rest, text.substr(at))) return true;
        if (at < text.size() && text[at] == '/') return false;
      }
      return false;
    }
    if (text.empty()) return false;
    std::size_t length = 1;
    if (p == '?') {
      if (text.front() == '/') return false;
    } else if (p == '[') {
      if (text.front() == '/' || !classMatch(pattern, text.front(), length)) return false;
    } else if (p == '\\' && pattern.size() > 1) {
      if (pattern[1] != text.front()) return false;
      length = 2;
    } else if (p != text.front()) {
      return false;
    }
    pattern.remove_prefix(length);
    text.remove_prefix(1);
  }
  return text.empty();
}

std::optional<Filter::Rule> Filter::parseRule(const std::string& folder, std::string line,
                                              std::string origin) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  // Trailing blanks go unless escaped.
  while (!line.empty() && line.back() == ' ' &&
         (line.size() < 2 || line[line.size() - 2] != '\\')) {
    line.pop_back();
  }
  if (line.empty() || line.front() == '#') return std::nullopt;
  Rule rule;
  rule.folder = folder;
  rule.text = line;
  rule.origin = std::move(origin);
  if (line.front() == '!') {
    rule.negated = true;
    line.erase(0, 1);
  } else if (line.front() == '\\' && line.size() > 1 && (line[1] == '!' || line[1] == '#')) {
    line.erase(0, 1);
  }
  if (!line.empty() && line.back() == '/') {
    rule.folderOnly = true;
    line.pop_back();
  }
  rule.anchored = line.find('/') != std::string::npos;
  if (!line.empty() && line.front() == '/') line.erase(0, 1);
  if (line.empty()) return std::nullopt;
  rule.pattern = line;
  return rule;
}

bool Filter::matches(const Rule& rule, const TreeEntry& entry) {
  if (rule.folderOnly && !entry.folder) return false;
  std::string_view path = entry.relative;
  if (!rule.folder.empty()) {
    if (!below(entry.relative, rule.folder)) return false;
    path.remove_prefix(rule.folder.size() + 1);
  }
  if (!rule.anchored) {
    const auto slash = path.find_last_of('/');
    if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  }
  return globMatch(rule.pattern, path);
}

Result<Filter> Filter::make(const FilterOptions& options, long long now) {
  Filter filter;
  filter.options_ = options;
  filter.now_ = now;
  for (const std::string& file : options.filterFiles) {
    std::ifstream in(file);
    if (!in) return Status::ioError("--filter-from: cannot read " + file);
    for (std::string line; std::getline(in, line);) {
      if (auto rule = parseRule("", line, file)) filter.commandRules_.push_back(std::move(*rule));
    }
  }
  for (const std::string& pattern : options.excludes) {
    if (auto rule = parseRule("", pattern, "--exclude")) {
      filter.commandRules_.push_back(std::move(*rule));
    }
  }
  for (const std::string& pattern : options.includes) {
    if (auto rule = parseRule("", pattern, "--include"))
      filter.includes_.push_back(std::move(*rule));
  }
  return filter;
}

void Filter::addIgnoreFile(const std::string& folder, std::string_view text) {
  std::istringstream lines{std::string(text)};
  const std::string origin = folder.empty() ? kIgnoreFile : folder + "/" + kIgnoreFile;
  // Deeper folders decide over shallower ones: kept sorted by depth.
  const auto depth = [](const std::string& path) {
    return path.empty() ? 0 : 1 + std::count(path.begin(), path.end(), '/');
  };
  auto at = std::find_if(ignoreRules_.begin(), ignoreRules_.end(),
                         [&](const Rule& rule) { return depth(rule.folder) > depth(folder); });
  for (std::string line; std::getline(lines, line);) {
    if (auto rule = parseRule(folder, line, origin)) {
      at = ignoreRules_.insert(at, std::move(*rule)) + 1;
    }
  }
}

void Filter::readIgnoreFiles(const std::string& root, const TreeListing& local) {
  for (const TreeEntry& entry : local.entries) {
    const std::filesystem::path relative(entry.relative);
    if (entry.folder || relative.filename() != kIgnoreFile) continue;
    std::ifstream in(std::filesystem::path(root) / relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    addIgnoreFile(relative.parent_path().string(), text.str());
  }
}

bool Filter::active() const {
  return !ignoreRules_.empty() || !commandRules_.empty() || !includes_.empty() ||
         options_.minSize || options_.maxSize || options_.maxAgeSeconds;
}

std::optional<std::string> Filter::reasonToLeaveOut(const TreeEntry& entry) const {
  const Rule* decided = nullptr;
  for (const auto* rules : {&ignoreRules_, &commandRules_}) {
    for (const Rule& rule : *rules) {
      if (matches(rule, entry)) decided = &rule;
    }
  }
  if (decided && !decided->negated) {
    return "excluded by " + decided->text + " (" + decided->origin + ")";
  }
  if (entry.folder) return std::nullopt;
  if (!includes_.empty() && std::none_of(includes_.begin(), includes_.end(),
                                         [&](const Rule& rule) { return matches(rule, entry); })) {
    return std::string("not matched by any --include");
  }
  if (options_.minSize && entry.size < *options_.minSize) return std::string("below --min-size");
  if (options_.maxSize && entry.size > *options_.maxSize) return std::string("above --max-size");
  if (options_.maxAgeSeconds && entry.modified >= 0 &&
      now_ - entry.modified > *options_.maxAgeSeconds) {
    return std::string("older than --max-age");
  }
  return std::nullopt;
}

void Filter::apply(TreeListing& listing, std::vector<Skip>* filtered) const {
  if (!active()) return;
  std::vector<TreeEntry> kept;
  std::string gone;  // the last folder left out
  for (TreeEntry& entry : listing.entries) {
    if (!gone.empty() && below(entry.relative, gone)) continue;
    if (auto reason = reasonToLeaveOut(entry)) {
      if (filtered) filtered->push_back({entry.relative, std::move(*reason)});
      if (entry.folder) gone = entry.relative;
      continue;
    }
    kept.push_back(std::move(entry));
  }
  listing.entries = std::move(kept);
}

Result<Filter> FilterFlags::make(long long now) const {
  FilterOptions parsed = options;
  for (const auto& [text, size, option] : {std::tuple{&minSize, &parsed.minSize, "--min-size"},
                                           std::tuple{&maxSize, &parsed.maxSize, "--max-size"}}) {
    if (text->empty()) continue;
    auto bytes = parseByteSize(*text, option);
    if (!bytes.ok()) return bytes.status();
    *size = *bytes;
  }
  if (!maxAge.empty()) {
    auto age = parseDuration(maxAge, "--max-age");
    if (!age.ok()) return age.status();
    parsed.maxAgeSeconds = std::chrono::duration_cast<std::chrono::seconds>(*age).count();
  }
  return Filter::make(parsed, now);
}

}  // namespace nb::cli

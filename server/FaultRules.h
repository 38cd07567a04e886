// FaultRules: the faults a test asked the server to inject, each a set of
// matchers (host role, method, path glob, user), a count or probability, and an
// action. Rules are added and removed while requests run; each counts the
// requests it matched and the ones it disrupted. Thread-safe; a request checks
// one atomic count first, so that with no rule it pays nothing more.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "nb/Status.h"
#include "server/HttpTransport.h"

namespace nb::server {

// What a rule looks at in a request; the user is looked up only when a rule
// names one.
struct FaultTarget {
  std::string hostRole;  // "api", "content", "conversion", "web" or "unknown"
  std::string method;
  std::string path;
  std::function<std::string()> user;  // the request's user name, empty if none
};

class FaultRules {
 public:
  struct Rule {
    std::int64_t id = 0;
    // Matchers; empty ones match anything. `path` is a glob whose `*` spans slashes.
    std::string hostRole, method, path, user;
    std::string pathPrefix;  // the path's part before its first wildcard: a cheap first test
    // Of the matching requests, which are disrupted: the `nth` one only, the
    // `first` N, `every` Nth, or each with `probability` (drawn from `seed`).
    // None set: every one.
    std::int64_t nth = 0, first = 0, every = 0;
    std::optional<double> probability;
    std::uint64_t seed = 0;
    HttpTransport::Disruption action;
    std::string text;     // the rule as given, for listing
    std::mutex counting;  // guards the three below
    std::int64_t matched = 0, hits = 0;
    std::mt19937_64 random;
  };

  // A rule from its JSON object (see server/README.md), or an error naming the
  // field at fault.
  static Result<std::shared_ptr<Rule>> parse(std::string_view json);
  // Adds the rules of a JSON array or single object; their ids, or an error
  // (then none is added).
  Result<std::vector<std::int64_t>> add(std::string_view json);
  bool remove(std::int64_t id);
  void clear();
  // Every rule with its counts, as a JSON array.
  std::string list() const;

  bool armed() const { return count_.load(std::memory_order_relaxed) > 0; }
  // The first rule that fires for `target`, counting matches on the way.
  std::optional<HttpTransport::Disruption> match(const FaultTarget& target);

 private:
  using RuleList = std::vector<std::shared_ptr<Rule>>;
  // The rules in force, replaced whole on each change so that a request
  // reads them without holding the lock while it matches.
  std::shared_ptr<const RuleList> snapshot() const;
  void publish(RuleList rules);

  mutable std::mutex mutex_;  // guards rules_ and nextId_
  std::shared_ptr<const RuleList> rules_ = std::make_shared<RuleList>();
  std::atomic<std::size_t> count_{0};
  std::int64_t nextId_ = 1;
};

}  // namespace nb::server

#include "server/FaultRules.h"

#include <fnmatch.h>

#include "nb/Private/JsonFramework/NBJsonUtility.h"

namespace nb::server {
namespace {

// Reads one rule's fields, refusing unknown ones so that a misspelt matcher
// does not silently widen the rule to every request.
class RuleReader {
 public:
  explicit RuleReader(FaultRules::Rule& rule) : rule_(rule) {}

  Status read(const JsonValue& object) {
    if (!object.isObject()) return Status::invalidArgument("a fault rule must be a JSON object");
    for (const auto& member : object.members()) {
      if (auto status = field(member.key, member.value); !status.ok()) return status;
    }
    const auto& action = rule_.action;
    if (!action.answer && !action.cutAfter && !action.reset && !action.silent &&
        action.bytesPerSecond == 0 && action.delay.count() == 0) {
      return Status::invalidArgument("a fault rule needs an action");
    }
    const int counts = (rule_.nth > 0) + (rule_.first > 0) + (rule_.every > 0) +
                       (rule_.probability.has_value() ? 1 : 0);
    if (counts > 1) {
      return Status::invalidArgument("a fault rule takes one of nth, first, every, probability");
    }
    rule_.random.seed(rule_.seed);
    rule_.pathPrefix = rule_.path.substr(0, rule_.path.find_first_of("*?[\\"));
    return Status::OK();
  }

 private:
  Status field(std::string_view key, const JsonValue& value) {
    if (key == "host") return text(key, value, rule_.hostRole);
    if (key == "method") return text(key, value, rule_.method);
    if (key == "path") return text(key, value, rule_.path);
    if (key == "user") return text(key, value, rule_.user);
    if (key == "nth") return count(key, value, rule_.nth);
    if (key == "first") return count(key, value, rule_.first);
    if (key == "every") return count(key, value, rule_.every);
    if (key == "seed") {
      if (!value.isNumber() || !value.decimalValue().toUInt64()) return wrong(key);
      rule_.seed = *value.decimalValue().toUInt64();
      return Status::OK();
    }
    if (key == "probability") {
      if (!value.isNumber()) return wrong(key);
      const double p = value.decimalValue().toDouble();
      if (p < 0 || p > 1) return wrong(key);
      rule_.probability = p;
      return Status::OK();
    }
    if (key == "status") {
      std::int64_t status = 0;
      if (auto s = count(key, value, status); !s.ok() || status < 100 || status > 599) {
        return wrong(key);
      }
      answer().status = static_cast<int>(status);
      return Status::OK();
    }
    if (key == "body") {
      std::string body;
      if (auto s = text(key, value, body); !s.ok()) return s;
      answer().body = std::move(body);
      return Status::OK();
    }
    if (key == "headers") {
      if (!value.isObject()) return wrong(key);
      for (const auto& header : value.members()) {
        if (!header.value.isString()) return wrong(key);
        answer().set_header(std::string(header.key), std::string(header.value.stringValue()));
      }
      return Status::OK();
    }
    if (key == "delay_ms") {
      std::int64_t millis = 0;
      if (auto s = count(key, value, millis); !s.ok()) return s;
      rule_.action.delay = std::chrono::milliseconds(millis);
      return Status::OK();
    }
    if (key == "cut_after") {
      std::int64_t bytes = 0;
      if (auto s = count(key, value, bytes); !s.ok()) return s;
      rule_.action.cutAfter = static_cast<std::size_t>(bytes);
      return Status::OK();
    }
    if (key == "bytes_per_second") {
      std::int64_t rate = 0;
      if (auto s = count(key, value, rate); !s.ok() || rate == 0) return wrong(key);
      rule_.action.bytesPerSecond = static_cast<std::size_t>(rate);
      return Status::OK();
    }
    if (key == "reset") return flag(key, value, rule_.action.reset);
    if (key == "no_answer") return flag(key, value, rule_.action.silent);
    return Status::invalidArgument("unknown fault rule field \"" + std::string(key) + "\"");
  }

  httplib::Response& answer() {
    if (!rule_.action.answer) {
      rule_.action.answer.emplace();
      rule_.action.answer->status = 503;
    }
    return *rule_.action.answer;
  }

  static Status wrong(std::string_view key) {
    return Status::invalidArgument("fault rule field \"" + std::string(key) + "\" is invalid");
  }
  static Status text(std::string_view key, const JsonValue& value, std::string& out) {
    if (!value.isString()) return wrong(key);
    out = std::string(value.stringValue());
    return Status::OK();
  }
  static Status count(std::string_view key, const JsonValue& value, std::int64_t& out) {
    const auto number = value.isNumber() ? value.decimalValue().toInt64() : std::nullopt;
    if (!number || *number < 0) return wrong(key);
    out = *number;
    return Status::OK();
  }
  static Status flag(std::string_view key, const JsonValue& value, bool& out) {
    if (!value.isBool()) return wrong(key);
    out = value.boolValue();
    return Status::OK();
  }

  FaultRules::Rule& rule_;
};

// The name a rule's disruption has in the request log.
std::string actionName(const HttpTransport::Disruption& action) {
  if (action.reset) return "reset";
  if (action.silent) return "no_answer";
  if (action.cutAfter) return "cut_after";
  if (action.bytesPerSecond > 0) return "bytes_per_second";
  if (action.answer) return "status " + std::to_string(action.answer->status);
  return "delay";
}

bool matches(const std::string& wanted, const std::string& actual) {
  return wanted.empty() || wanted == actual;
}

}  // namespace

Result<std::shared_ptr<FaultRules::Rule>> FaultRules::parse(std::string_view json) {
  const auto value = NBJsonUtility::jsonValueFromString(json);
  if (!value) return Status::invalidArgument("a fault rule must be a JSON object");
  auto rule = std::make_shared<Rule>();
  if (auto read = RuleReader(*rule).read(*value); !read.ok()) return read;
  rule->text = NBJsonUtility::jsonValueFromObject(*value).value_or("{}");
  return rule;
}

Result<std::vector<std::int64_t>> FaultRules::add(std::string_view json) {
  const auto value = NBJsonUtility::jsonValueFromString(json);
  if (!value) return Status::invalidArgument("fault rules must be a JSON object or array");
  RuleList parsed;
  for (const JsonValue& object :
       value->isArray() ? value->elements() : std::span<const JsonValue>(&*value, 1)) {
    auto rule = parse(NBJsonUtility::jsonValueFromObject(object).value_or(""));
    if (!rule.ok()) return rule.status();
    parsed.push_back(std::move(*rule));
  }
  std::vector<std::int64_t> ids;
  std::lock_guard<std::mutex> guard(mutex_);
  RuleList rules = *rules_;
  for (auto& rule : parsed) {
    rule->id = nextId_++;
    rule->action.name = "rule " + std::to_string(rule->id) + ": " + actionName(rule->action);
    ids.push_back(rule->id);
    rules.push_back(std::move(rule));
  }
  publish(std::move(rules));
  return ids;
}

bool FaultRules::remove(std::int64_t id) {
  std::lock_guard<std::mutex> guard(mutex_);
  RuleList rules = *rules_;
  std::erase_if(rules, [&](const auto& rule) { return rule->id == id; });
  const bool removed = rules.size() != rules_->size();
  publish(std::move(rules));
  return removed;
}

void FaultRules::clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  publish({});
}

void FaultRules::publish(RuleList rules) {
  count_ = rules.size();
  rules_ = std::make_shared<const RuleList>(std::move(rules));
}

std::shared_ptr<const FaultRules::RuleList> FaultRules::snapshot() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return rules_;
}

std::string FaultRules::list() const {
  std::string out = "[";
  for (const auto& rule : *snapshot()) {
    std::lock_guard<std::mutex> counting(rule->counting);
    if (out.size() > 1) out += ",";
    out += "{\"id\":" + std::to_string(rule->id) + ",\"matched\":" + std::to_string(rule->matched) +
           ",\"hits\":" + std::to_string(rule->hits) + ",\"rule\":" + rule->text + "}";
  }
  return out + "]";
}

std::optional<HttpTransport::Disruption> FaultRules::match(const FaultTarget& target) {
  const auto rules = snapshot();
  std::optional<std::string> user;
  for (const auto& rule : *rules) {
    if (!matches(rule->hostRole, target.hostRole) || !matches(rule->method, target.method)) {
      continue;
    }
    if (!rule->path.empty()) {
      if (target.path.compare(0, rule->pathPrefix.size(), rule->pathPrefix) != 0) continue;
      const bool literal = rule->pathPrefix.size() == rule->path.size();
      if (literal ? target.path != rule->path
                  : ::fnmatch(rule->path.c_str(), target.path.c_str(), 0) != 0) {
        continue;
      }
    }
    if (!rule->user.empty()) {
      if (!user) user = target.user ? target.user() : std::string();
      if (*user != rule->user) continue;
    }
    std::lock_guard<std::mutex> counting(rule->counting);
    const std::int64_t n = ++rule->matched;
    bool fires = true;
    if (rule->nth > 0) fires = n == rule->nth;
    if (rule->first > 0) fires = n <= rule->first;
    if (rule->every > 0) fires = n % rule->every == 0;
    if (rule->probability) {
      fires = std::uniform_real_distribution<double>(0, 1)(rule->random) < *rule->probability;
    }
    if (!fires) continue;
    ++rule->hits;
    return rule->action;
  }
  return std::nullopt;
}

}  // namespace nb::server

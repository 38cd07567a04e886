// RequestParameters: the name/value pairs of a query string or form body, in
// the order sent, percent-decoded ("+" is a space, as forms write it).
// A plain value; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nb::server {

class RequestParameters {
 public:
  using Pair = std::pair<std::string, std::string>;

  // Parses "a=1&b=2"; nullopt when an escape is malformed. A piece without
  // "=" is a name with an empty value; empty pieces are skipped.
  static std::optional<RequestParameters> parse(std::string_view text);
  // Percent-decodes one component; nullopt for a malformed escape.
  static std::optional<std::string> decode(std::string_view text, bool plusIsSpace);
  // Adds the parameters of an `Authorization: OAuth k="v", ...` header (names
  // and values percent-decoded, "realm" left out) to `out`. False when the
  // header is not an OAuth one or is malformed; `out` may then hold some pairs.
  static bool addAuthorization(std::string_view header, RequestParameters* out);

  // The last value sent under `name`.
  std::optional<std::string> get(std::string_view name) const;
  const std::vector<Pair>& pairs() const { return pairs_; }
  void add(std::string name, std::string value) {
    pairs_.emplace_back(std::move(name), std::move(value));
  }

 private:
  std::vector<Pair> pairs_;
};

}  // namespace nb::server

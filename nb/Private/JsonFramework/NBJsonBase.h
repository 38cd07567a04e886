// NBJsonBase is what the JSON parser, writer and facade share: the error trace of
// the last call (oldest error first, each error's `underlying` being the one before
// it), the nesting depth of the call in progress and the nesting limit. Observers
// of the error trace hear of every change just before and just after it happens.
// An instance is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nb/platform/NBError.h"

namespace nb {

// The error domain of every error the JSON codec reports.
inline constexpr const char* JSONErrorDomain = "org.tandrel.JSON.ErrorDomain";

// The codes of the codec's errors.
enum NBJsonErrorCode : unsigned {
  kNBJsonErrorUnsupported = 1,        // a value or key the writer cannot serialise
  kNBJsonErrorNumber = 2,             // malformed number
  kNBJsonErrorSyntax = 3,             // general syntax error
  kNBJsonErrorTopLevel = 4,           // wrong kind of top-level value
  kNBJsonErrorControlCharacter = 5,   // unescaped control character in a string
  kNBJsonErrorUnicode = 6,            // broken \u escape
  kNBJsonErrorDepth = 7,              // nesting deeper than maxDepth
  kNBJsonErrorEscape = 8,             // illegal escape sequence
  kNBJsonErrorTrailingComma = 9,      // trailing comma
  kNBJsonErrorGarbage = 10,           // text after the value
  kNBJsonErrorEndOfInput = 11,        // end of input inside a value
  kNBJsonErrorNilInput = 12,          // absent input
};

class NBJsonBase {
 public:
  using ErrorRef = std::shared_ptr<const NBError>;
  using ErrorTrace = std::vector<ErrorRef>;
  enum class ChangePhase { Prior, After };
  // Called with the observed key ("errorTrace") and the phase of the change.
  using Observer = std::function<void(std::string_view key, ChangePhase phase)>;

  NBJsonBase() = default;
  virtual ~NBJsonBase() = default;
  NBJsonBase(const NBJsonBase&) = delete;
  NBJsonBase& operator=(const NBJsonBase&) = delete;

  // Appends an error whose underlying error is the trace's last one.
  void addErrorWithCode(unsigned code, std::string description);
  // Drops the trace.
  void clearErrorTrace();
  // The errors of the last call, oldest first; empty when it had none.
  const ErrorTrace& errorTrace() const { return errorTrace_; }
  // The last error of the trace (which leads back to the first), or null.
  ErrorRef lastError() const { return errorTrace_.empty() ? nullptr : errorTrace_.back(); }

  // Nesting limit; 0 means none. 512 by default.
  std::uint32_t maxDepth() const { return maxDepth_; }
  virtual void setMaxDepth(std::uint32_t maxDepth) { maxDepth_ = maxDepth; }
  std::uint32_t depth() const { return depth_; }
  // Whether nesting `depth` levels deep is within the limit.
  bool withinMaxDepth(std::size_t depth) const { return maxDepth_ == 0 || depth <= maxDepth_; }

  // Registers an observer of the error trace; returns its id for removal.
  int addErrorTraceObserver(Observer observer);
  void removeErrorTraceObserver(int id);

 protected:
  // Replaces the whole trace (the facade takes over a component's trace this way).
  void replaceErrorTrace(ErrorTrace trace);

  std::uint32_t depth_ = 0;

 private:
  void notify(ChangePhase phase) const;

  ErrorTrace errorTrace_;
  std::uint32_t maxDepth_ = 512;
  std::vector<std::pair<int, Observer>> observers_;
  int nextObserverId_ = 1;
};

}  // namespace nb

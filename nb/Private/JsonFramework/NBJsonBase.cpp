#include "nb/Private/JsonFramework/NBJsonBase.h"

#include <algorithm>
#include <utility>

namespace nb {

void NBJsonBase::notify(ChangePhase phase) const {
  for (const auto& [id, observer] : observers_) observer("errorTrace", phase);
}

void NBJsonBase::addErrorWithCode(unsigned code, std::string description) {
  auto error = std::make_shared<NBError>();
  error->domain = JSONErrorDomain;
  error->code = code;
  error->description = std::move(description);
  error->underlying = lastError();
  notify(ChangePhase::Prior);
  errorTrace_.push_back(std::move(error));
  notify(ChangePhase::After);
}

void NBJsonBase::clearErrorTrace() {
  if (observers_.empty()) {
    errorTrace_.clear();
    return;
  }
  notify(ChangePhase::Prior);
  errorTrace_.clear();
  notify(ChangePhase::After);
}

void NBJsonBase::replaceErrorTrace(ErrorTrace trace) {
  notify(ChangePhase::Prior);
  errorTrace_ = std::move(trace);
  notify(ChangePhase::After);
}

int NBJsonBase::addErrorTraceObserver(Observer observer) {
  observers_.emplace_back(nextObserverId_, std::move(observer));
  return nextObserverId_++;
}

void NBJsonBase::removeErrorTraceObserver(int id) {
  std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

}  // namespace nb

// NBRecord is the common base of every result record an operation hands to
// its delegate (NBToken, NBVerification, NBUserInfo, ...). It exists so that
// NBResult can carry any record; records themselves are plain structs.
#pragma once

namespace nb {

struct NBRecord {
  virtual ~NBRecord() = default;
};

}  // namespace nb

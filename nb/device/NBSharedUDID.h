// NBSharedUDID answers a 40-character lowercase hex identifier of this device
// that every application of the user shares. Each application keeps its own
// copy in its defaults and a redundant copy in one of 100 shared pasteboard
// slots; an application without a copy adopts the value held by most slots.
// Class-level only. One process-wide cache, guarded: any thread may call.
//
// Concurrency across processes: the slot scan and the claim of a free slot
// (and the application's own defaults update) run inside one write
// transaction of the shared pasteboard store, so applications starting at the
// same moment take turns: the second sees the first one's slot and adopts its
// identifier instead of claiming the same slot or generating another value.
//
// Ties: when several identifiers are held by the same largest number of slots,
// the one found first in the scan (the lowest slot number) wins, so every
// application reading the same slots makes the same choice.
#pragma once

#include <string>

#include "nb/platform/NBError.h"
#include "nb/platform/PropertyValue.h"

namespace nb {

class Pasteboard;

class NBSharedUDID {
 public:
  // Status codes set in the error out-parameter (domain "org.SharedUDID").
  // Every code comes with an answer.
  enum Code : long {
    kRetrieved = 0,      // from the cache or a full computation
    kOptedOut = 1,       // the application opted out: the answer is 40 zeros
    kDiscrepancy = 2,    // this application's copy differs from the slots' majority
    kStorageFailed = 3,  // a store could not be read or written; `underlying` holds the
                         // status the answer would have had otherwise
  };

  // valueWithError without an error out-parameter.
  static std::string value();
  // The identifier, or forty "0" characters when the application opted out.
  // `error`, when given, receives the status (see Code).
  static std::string valueWithError(NBError* error);
  // Marks the application opted out (true) or not (false) as of now and
  // forgets the cached value. The application's slot copy, while its slot
  // still holds it, gets the same change, so that the slot does not withdraw
  // the opt-out at the next scan. False when a store could not be written.
  static bool setOptOut(bool optOut);

  // The record kept on a slot pasteboard; empty when it has no record data,
  // the data is not an archive, or the archived value is not a dictionary.
  static PropertyValue::Dictionary _getDictFromPasteboard(Pasteboard& pasteboard);
  // Archives `dict` onto `pasteboard` as its record; false when that fails.
  static bool _setDict(const PropertyValue::Dictionary& dict, Pasteboard& pasteboard);
  // A new identifier: MD5 of a fresh unique string in hex, then 32 random bits
  // as eight hex digits.
  static std::string _generateFreshSharedUDID();
};

}  // namespace nb

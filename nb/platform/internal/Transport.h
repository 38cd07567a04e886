// Transport is what moves a URLConnection's request over the wire: the curl
// engine in a running program, an in-memory script in tests. A connection
// starts one Transfer per request and hears its events through the small
// TransferReceiver interface; nothing else of the connection is visible to a
// transport. Internal to the library.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nb/platform/NBError.h"
#include "nb/platform/URLRequest.h"
#include "nb/platform/internal/EnvironmentSettings.h"

namespace nb {

class URLResponse;

// The receiver of one transfer's events: the connection. Every event arrives
// from the run loop of the thread that started the transfer, never from inside
// Transport::start. An event that returns false means the receiver has ended:
// the transport stops the transfer and sends nothing more.
class TransferReceiver {
 public:
  virtual ~TransferReceiver() = default;
  // The final response's head (interim and followed redirects are not shown).
  virtual bool transferDidReceiveResponse(const URLResponse& response) = 0;
  virtual bool transferDidReceiveData(std::string_view chunk) = 0;
  // Request body bytes sent so far, of `totalExpected`.
  virtual bool transferDidSendBodyData(std::int64_t totalSent, std::int64_t totalExpected) = 0;
  // The last event: `error` null for success (after the response), else why the
  // transfer failed (domain kURLConnectionErrorDomain).
  virtual void transferDidComplete(const NBError* error) = 0;
  // The transport shuts down (its thread ends) with the transfer unfinished: no
  // event follows; the receiver drops what it holds.
  virtual void transferWasDropped() = 0;
};

// One request in flight; owned by its connection.
class Transfer {
 public:
  virtual ~Transfer() = default;
  // Stops the transfer: no event follows, and the transport lets go of the
  // receiver. Safe inside the transfer's own events; idempotent.
  virtual void cancel() = 0;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Starts `request` and keeps `receiver` alive until the last event has been
  // sent or cancel() was called. `request` outlives the returned transfer (the
  // connection owns both), so a transport may read it instead of copying it.
  // A request that cannot be sent (bad URL, unreadable body file) completes
  // with an error, from the run loop as well.
  virtual std::unique_ptr<Transfer> start(const URLRequest& request,
                                          std::shared_ptr<TransferReceiver> receiver) = 0;

  // The transport of connections made without one: the curl engine under
  // EnvironmentSettings::process(), unless setStandard() replaced it.
  static std::shared_ptr<Transport> standard();
  // Replaces the standard transport for the whole process (null restores the
  // curl engine). For test programs, set before any request starts.
  static void setStandard(std::shared_ptr<Transport> transport);
  // A curl transport with its own settings.
  static std::shared_ptr<Transport> curl(EnvironmentSettings settings);
};

}  // namespace nb

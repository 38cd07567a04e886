#include "cli/TransferQueue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "cli/DownloadStream.h"
#include "cli/FailureText.h"
#include "cli/FileSystemFlush.h"
#include "cli/LocalFiles.h"
#include "cli/PartialFileMaker.h"
#include "cli/ProgressBar.h"
#include "cli/UrlFetch.h"
#include "cli/sync/ContentHash.h"
#include "nb/Private/JsonFramework/NBJsonUtility.h"
#include "nb/Private/NBOperationDelegate.h"
#include "nb/operations/NBUploadFileOperation.h"
#include "nb/platform/RunLoop.h"

namespace nb::cli {
namespace {

// Downloads whose partial files are made ahead of their requests: enough to
// keep the run loop from waiting, few enough to leave little behind on an
// interrupt (the interrupt clean-up removes them too).
constexpr std::size_t kFilesAhead = 32;

std::string baseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The upload node for this job, asked for once: every file then takes one
// request instead of two. Nothing when it cannot be had (each upload then
// locates its node itself).
std::optional<std::string> locateUploadNode(const TransferSettings& settings,
                                            const TransferItem& first) {
  // The request is the library's own; its item names a file (of no bytes
  // here, the file is not read) so that the operation accepts it.
  auto item = std::make_shared<NBUploadFileOperationItem>();
  item->root = settings.root;
  item->path = first.remote;
  item->fileName = baseName(first.remote);
  const auto definition = std::make_shared<NBUploadFileOperation>(nullptr, item);
  const Result<NBServiceRequest> locate = definition->serviceRequest();
  if (!locate.ok()) return std::nullopt;
  const Result<URLRequest> request = definition->signedRequest(*locate);
  if (!request.ok()) return std::nullopt;
  // The reply is a short JSON object naming a URL.
  constexpr std::size_t kMaxNodeReply = 64 * 1024;
  auto reply = UrlFetch::get(request->URL(), settings.idleLimit, kMaxNodeReply);
  const auto* body = std::get_if<std::string>(&reply);
  if (!body) return std::nullopt;
  const auto json = NBJsonUtility::jsonValueFromString(*body);
  if (!json || !json->isObject()) return std::nullopt;
  const JsonValue* url = json->find("url");
  if (!url || !url->isString()) return std::nullopt;
  return std::string(url->stringValue());
}

// One upload's delegate: hands the outcome and the progress to the queue.
class UploadDelegate : public NBOperationDelegate, public NBOperationProgressDelegate {
 public:
  using Done = std::function<void(const Status&, const NBResult&)>;
  UploadDelegate(std::function<void(std::int64_t, std::int64_t)> progress, Done done)
      : progress_(std::move(progress)), done_(std::move(done)) {}
  void operationSuccess(NBOperation*, const NBResult& result) override {
    finish(Status::OK(), result);
  }
  void operationFail(NBOperation*, const std::string& message) override {
    finish(FailureText::fromOperationMessage(message), NBResult());
  }
  void operationTotalBytesWritten(NBOperation*, std::int64_t written,
                                  std::int64_t expected) override {
    if (done_) progress_(written, expected);
  }

 private:
  void finish(const Status& status, const NBResult& result) {
    if (!done_) return;
    auto done = std::move(done_);
    done_ = nullptr;
    done(status, result);
  }
  std::function<void(std::int64_t, std::int64_t)> progress_;
  Done done_;
};

// The stored file as an upload's reply describes it.
void readUploadReply(const NBResult& result, TransferFacts& facts) {
  const std::string* text = result.textValue();
  if (!text) return;
  const auto json = NBJsonUtility::jsonValueFromString(*text);
  if (!json || !json->isObject()) return;
  const JsonValue* time = json->find("modify_time");
  const JsonValue* size = json->find("size");
  if (!time || !time->isString() || !size || !size->isNumber()) return;
  const auto bytes = size->decimalValue().toUInt64();
  if (!bytes) return;
  facts.remoteKnown = true;
  facts.remoteSize = *bytes;
  facts.remoteTime = std::string(time->stringValue());
  if (const JsonValue* rev = json->find("rev"); rev && rev->isString()) {
    facts.remoteRev = std::string(rev->stringValue());
  }
}

// The state of one run.
class Job {
 public:
  Job(TransferQueue::Direction direction, const TransferSettings& settings,
      const std::vector<TransferItem>& items, ProgressBar* progress,
      std::vector<TransferFacts>* facts)
      : direction_(direction),
        settings_(settings),
        items_(items),
        progress_(progress),
        outcomes_(items.size()),
        current_(items.size(), 0),
        attempts_(items.size(), 0),
        uploads_(items.size()),
        downloads_(items.size()),
        partials_(items.size()),
        targets_(items.size()),
        targetStatus_(items.size()),
        prepared_(items.size(), false),
        devices_(items.size(), 0),
        facts_(facts),
        hashes_(facts ? items.size() : 0) {
    if (facts_) facts_->assign(items.size(), {});
    for (const TransferItem& item : items) total_ += item.size;
    if (direction == TransferQueue::Direction::kDownload) {
      std::vector<PartialFileMaker::Entry> entries;
      entries.reserve(items.size());
      for (const TransferItem& item : items) entries.push_back({item.local, item.relative});
      maker_ = std::make_unique<PartialFileMaker>(std::move(entries), settings.localFolder,
                                                  settings.force, kFilesAhead);
    }
  }
  // Work posted to the loop and not yet run finds the job gone.
  ~Job() { *alive_ = false; }

  std::vector<Status> run() {
    if (direction_ == TransferQueue::Direction::kUpload && items_.size() > 1) {
      node_ = locateUploadNode(settings_, items_.front());
    }
    pump();
    RunLoop::main().runUntil([this] { return finished_ == items_.size(); },
                             std::chrono::hours(24 * 365));
    flush();
    if (progress_) progress_->finish();
    std::vector<Status> result;
    for (auto& outcome : outcomes_) {
      result.push_back(outcome.value_or(Status::internal("the transfer reported no outcome")));
    }
    return result;
  }

 private:
  void pump() {
    const std::size_t limit = static_cast<std::size_t>(std::max(settings_.transfers, 1));
    while (inFlight_ < limit && next_ < items_.size()) start(next_++);
    draw();
  }

  void start(std::size_t index) {
    ++inFlight_;
    ++attempts_[index];
    setCurrent(index, 0);
    if (direction_ == TransferQueue::Direction::kUpload) {
      startUpload(index);
    } else {
      startDownload(index);
    }
  }

  void startUpload(std::size_t index) {
    const TransferItem& item = items_[index];
    auto record = std::make_shared<NBUploadFileOperationItem>();
    record->root = settings_.root;
    record->path = item.remote;
    record->fileName = baseName(item.remote);
    record->isOverwrite = settings_.overwrite;
    record->filePath = item.local;
    if (facts_) {
      // A new attempt hashes from its own first byte.
      auto hash = hashes_[index] = std::make_shared<ContentHash>();
      record->fileObserver =
          std::make_shared<const std::function<void(std::int64_t, std::string_view)>>(
              [hash](std::int64_t offset, std::string_view bytes) { hash->addAt(offset, bytes); });
    }
    const auto size = static_cast<std::int64_t>(item.size);
    auto delegate = std::make_shared<UploadDelegate>(
        [this, index, size](std::int64_t written, std::int64_t expected) {
          // The body's framing counts as sent first: file bytes only.
          const std::int64_t file =
              expected >= size ? std::clamp<std::int64_t>(written - (expected - size), 0, size)
                               : written;
          setCurrent(index, static_cast<std::uint64_t>(file));
          draw();
        },
        [this, index](const Status& status, const NBResult& result) {
          if (status.ok() && facts_) {
            readUploadReply(result, (*facts_)[index]);
            (*facts_)[index].sha256 = hashes_[index]->hex();
          }
          finish(index, status);
        });
    auto operation = std::make_shared<NBUploadFileOperation>(delegate.get(), record);
    uploads_[index] = {operation, delegate};
    if (node_ && attempts_[index] == 1) {
      operation->executeUploadFileOperation(*node_);
    } else {
      operation->executeOperation();  // a retry asks for a node again
    }
  }

  // A download's file work stays off the way from one reply to the next
  // request: its target is checked and its partial file made ahead on the
  // maker's thread, and the file is taken when the first byte arrives. A
  // finished file is closed and renamed after the next request has left.
  void startDownload(std::size_t index) {
    const TransferItem& item = items_[index];
    maker_->reach(index);
    DownloadStream::Bytes bytes;
    if (facts_) {
      auto hash = hashes_[index] = std::make_shared<ContentHash>();
      bytes = [hash](std::string_view chunk) { hash->add(chunk); };
    }
    downloads_[index] = DownloadStream::start(
        settings_.root, item.remote, [this, index] { return openPartial(index); },
        "cannot write " + item.local, settings_.idleLimit, DownloadStream::Bound{item.size},
        [this, index](std::uint64_t received, std::int64_t) {
          setCurrent(index, received);
          draw();
        },
        [this, index](const Status& status, std::uint64_t) {
          if (!status.ok()) {
            partials_[index].reset();  // an uncommitted partial file goes
            return finish(index, status);
          }
          release(index);
          pump();  // the next request goes out before this file is renamed
          if (facts_) (*facts_)[index].sha256 = hashes_[index]->hex();
          RunLoop::main().post([this, index, alive = alive_] {
            if (*alive) commitDownload(index);
          });
        },
        std::move(bytes));
  }

  // The partial file of the item's download: the one made ahead on its first
  // attempt, a new one on a retry (the failed attempt's file is gone).
  Result<int> openPartial(std::size_t index) {
    if (partials_[index]) return partials_[index]->fd();
    if (!prepared_[index]) {
      prepared_[index] = true;
      PartialFileMaker::Prepared made = maker_->take(index);
      targets_[index] = std::move(made.target);
      targetStatus_[index] = made.status;
      if (made.file) {
        // Known to the job's flush before its first byte is written.
        flush_.watch(made.file->fd(), made.device);
        devices_[index] = made.device;
        partials_[index] = std::move(made.file);
        return partials_[index]->fd();
      }
    }
    if (!targetStatus_[index].ok()) return targetStatus_[index];
    auto file = PartialFile::in(targets_[index].folder, targets_[index].name, targets_[index].mode);
    if (!file.ok()) return file.status();
    const Result<dev_t> device = flush_.watch((*file)->fd());
    if (!device.ok()) return device.status();
    devices_[index] = *device;
    partials_[index] = std::move(*file);
    return partials_[index]->fd();
  }

  // Renames a complete download onto its target; the job's flush brings it to disk.
  void commitDownload(std::size_t index) {
    const DownloadTarget& target = targets_[index];
    Status outcome = openPartial(index).status();  // an empty reply made no file yet
    if (outcome.ok() && items_[index].modifyTime >= 0) {
      outcome = partials_[index]->setModifyTime(items_[index].modifyTime);
    }
    if (outcome.ok()) outcome = partials_[index]->commit(target.mode, PartialFile::Flush::kLater);
    if (outcome.ok()) {
      unflushed_.push_back(index);
      flush_.committed(devices_[index], items_[index].size);
    }
    partials_[index].reset();  // an uncommitted partial file goes
    settle(index, outcome);
  }

  void finish(std::size_t index, const Status& status) {
    release(index);
    settle(index, status);
  }

  // The item's transfer has ended: its place goes to the next. The operation,
  // its delegate or the download are released after the callback that
  // reported the end has returned.
  void release(std::size_t index) {
    --inFlight_;
    RunLoop::main().post(
        [upload = std::move(uploads_[index]), download = std::move(downloads_[index])] {});
    uploads_[index] = {};
    downloads_[index].reset();
  }

  // The item's outcome: another attempt later, or its final word.
  void settle(std::size_t index, const Status& status) {
    if (!status.ok() && TransferQueue::retryable(status) && attempts_[index] <= settings_.retries) {
      const auto delay = settings_.firstBackOff * (1 << std::min(attempts_[index] - 1, 10));
      ++waiting_;
      RunLoop::main().addTimer(std::chrono::duration_cast<std::chrono::milliseconds>(delay), false,
                               [this, index] {
                                 --waiting_;
                                 start(index);
                               });
      pump();
      return;
    }
    outcomes_[index] = status;
    setCurrent(index, 0);
    if (status.ok()) doneBytes_ += items_[index].size;
    ++finished_;
    pump();
  }

  // Brings the downloaded files to disk: one syncfs per file system instead of
  // one fsync per file. A file system that cannot be flushed fails its files.
  void flush() {
    const std::map<dev_t, Status> flushed = flush_.finish();
    for (const std::size_t index : unflushed_) {
      const auto it = flushed.find(devices_[index]);
      const Status failure =
          it != flushed.end() ? it->second : Status::internal("a file system was not flushed");
      if (!failure.ok() && outcomes_[index] && outcomes_[index]->ok()) outcomes_[index] = failure;
    }
    unflushed_.clear();
  }

  // The bytes of an item in flight; the job's sum follows, so that a redraw
  // costs the same for ten files as for a hundred thousand.
  void setCurrent(std::size_t index, std::uint64_t bytes) {
    inFlightBytes_ += bytes - current_[index];
    current_[index] = bytes;
  }

  void draw() {
    if (!progress_ || !progress_->enabled()) return;
    const std::uint64_t bytes = doneBytes_ + inFlightBytes_;
    progress_->setLabel(std::to_string(finished_) + "/" + std::to_string(items_.size()) +
                        " files, " + std::to_string(inFlight_) + " in flight  ");
    progress_->update(static_cast<std::int64_t>(bytes), static_cast<std::int64_t>(total_));
  }

  using Upload = std::pair<std::shared_ptr<NBOperation>, std::shared_ptr<UploadDelegate>>;

  TransferQueue::Direction direction_;
  const TransferSettings& settings_;
  const std::vector<TransferItem>& items_;
  ProgressBar* progress_;
  std::vector<std::optional<Status>> outcomes_;
  std::vector<std::uint64_t> current_;
  std::vector<int> attempts_;
  std::vector<Upload> uploads_;
  std::vector<std::shared_ptr<DownloadStream>> downloads_;
  std::vector<std::unique_ptr<PartialFile>> partials_;
  std::vector<DownloadTarget> targets_;
  std::vector<Status> targetStatus_;  // a refused target fails every attempt
  std::vector<bool> prepared_;        // the maker's file was taken
  std::unique_ptr<PartialFileMaker> maker_;
  std::vector<dev_t> devices_;  // the file system of each download's partial file
  FileSystemFlush flush_;
  std::vector<std::size_t> unflushed_;  // downloads renamed into place, not yet on disk
  std::optional<std::string> node_;
  std::size_t next_ = 0;
  std::size_t inFlight_ = 0;
  std::size_t finished_ = 0;
  int waiting_ = 0;
  std::uint64_t total_ = 0;
  std::uint64_t doneBytes_ = 0;
  std::uint64_t inFlightBytes_ = 0;  // the sum of current_
  std::vector<TransferFacts>* facts_;
  std::vector<std::shared_ptr<ContentHash>> hashes_;  // each item's attempt in flight
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace

TransferQueue::TransferQueue(Direction direction, TransferSettings settings)
    : direction_(direction), settings_(std::move(settings)) {}

std::vector<Status> TransferQueue::run(const std::vector<TransferItem>& items,
                                       ProgressBar* progress, std::vector<TransferFacts>* facts) {
  Job job(direction_, settings_, items, progress, facts);
  return job.run();
}

bool TransferQueue::retryable(const Status& status) {
  if (status.code() == StatusCode::kNetwork || status.code() == StatusCode::kTimeout) return true;
  return FailureText::machineCode(status) == "server_error";
}

}  // namespace nb::cli

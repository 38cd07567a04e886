#include "server/AdminService.h"

#include "server/JsonReply.h"
#include "server/Secrets.h"

namespace nb::server {
namespace {

constexpr const char* kJson = "application/json; charset=utf-8";
constexpr std::size_t kMostRuleBytes = 1024 * 1024;

void reply(httplib::Response& res, int status, const std::string& body) {
  res.status = status;
  res.set_content(body, kJson);
}

}  // namespace

AdminService::AdminService(FaultRules& faults, RequestLog& log)
    : faults_(faults), log_(log), token_(Secrets::randomHex(16)) {}

AdminService::~AdminService() { stop(); }

int AdminService::start(int port) {
  HttpTransport::Limits limits;
  limits.workers = 16;
  limits.ioThreads = 1;
  http_ = std::make_unique<HttpTransport>(limits);

  http_->setScreen([this](const httplib::Request& req, httplib::Response& res) {
    if (req.path == "/healthz") return false;
    const std::string given = req.get_header_value("Authorization");
    if (Secrets::equalConstantTime(given, "Bearer " + token_)) return false;
    reply(res, 401, JsonReply::message("admin token required"));
    return true;
  });
  http_->get("/healthz", [](const httplib::Request&, httplib::Response& res) {
    reply(res, 200, JsonReply().text("status", "ok").str());
  });
  http_->get("/faults", [this](const httplib::Request&, httplib::Response& res) {
    reply(res, 200, faults_.list());
  });
  http_->post("/faults", [this](const httplib::Request&, httplib::Response& res,
                                const httplib::ContentReader& read) {
    std::string body;
    const bool whole = read([&](const char* data, std::size_t size) {
      body.append(data, size);
      return body.size() <= kMostRuleBytes;
    });
    if (!whole) return reply(res, 413, JsonReply::message("rules too large"));
    const auto added = faults_.add(body);
    if (!added.ok()) return reply(res, 400, JsonReply::message(added.status().message()));
    std::string ids = "[";
    for (const auto id : *added) ids += (ids.size() > 1 ? "," : "") + std::to_string(id);
    reply(res, 200, "{\"ids\":" + ids + "]}");
  });
  http_->del("/faults/([0-9]{1,18})", [this](const httplib::Request& req, httplib::Response& res,
                                             const httplib::ContentReader&) {
    const auto id = std::stoll(req.path.substr(req.path.rfind('/') + 1));
    if (!faults_.remove(id)) return reply(res, 404, JsonReply::message("no such rule"));
    reply(res, 200, "{}");
  });
  http_->del("/faults", [this](const httplib::Request&, httplib::Response& res,
                               const httplib::ContentReader&) {
    faults_.clear();
    reply(res, 200, "{}");
  });
  http_->get("/requests", [this](const httplib::Request&, httplib::Response& res) {
    res.status = 200;
    res.set_content(log_.recent(), "application/x-ndjson");
  });
  const int bound = http_->bind(port);
  if (bound > 0) http_->start();
  return bound;
}

void AdminService::stop() {
  if (http_) http_->stop();
}

}  // namespace nb::server

#include "tests/server/ServiceClient.h"


#include "nb/Private/NBAuthOperationItem.h"
#include "nb/Private/NBHosts.h"
#include "nb/Private/NSStringHelper.h"

namespace nb::test {

std::string Reply::header(const std::string& name) const {
  const auto it = headers.find(name);
  return it == headers.end() ? std::string() : it->second;
}

ServiceClient::ServiceClient(const NbServerProcess& server) : server_(server) {}

const std::string& ServiceClient::api() { return NBHosts::apiHost(); }
const std::string& ServiceClient::content() { return NBHosts::contentHost(); }
const std::string& ServiceClient::conversion() { return NBHosts::conversionHost(); }
const std::string& ServiceClient::web() { return NBHosts::webHost(); }

NBConsumer ServiceClient::consumer() const {
  return NBConsumer(server_.env("NB_CONSUMER_KEY"), server_.env("NB_CONSUMER_SECRET"));
}

Reply ServiceClient::send(const std::string& method, const std::string& url,
                          const std::string& body, const httplib::Headers& extra,
                          const std::string& contentType) {
  const bool tls = url.rfind("https://", 0) == 0;
  const std::string rest = url.substr(tls ? 8 : 7);
  const auto slash = rest.find('/');
  const std::string host = rest.substr(0, slash);
  const std::string target = rest.substr(slash);
  httplib::Headers headers = extra;
  headers.emplace("Host", host);

  std::unique_ptr<httplib::ClientImpl> client;
  if (tls) {
    auto ssl = std::make_unique<httplib::SSLClient>("127.0.0.1", server_.httpsPort());
    ssl->set_ca_cert_path(server_.env("NB_CA_FILE").c_str());
    ssl->enable_server_certificate_verification(true);
    client = std::move(ssl);
  } else {
    client = std::make_unique<httplib::ClientImpl>("127.0.0.1", server_.httpPort());
  }
  client->set_url_encode(false);
  client->set_read_timeout(30, 0);
  httplib::Result result =
      method == "POST" ? client->Post(target.c_str(), headers, body, contentType.c_str())
                       : client->Get(target.c_str(), headers);
  Reply reply;
  if (result) {
    reply.status = result->status;
    reply.body = result->body;
    reply.headers = result->headers;
  }
  return reply;
}

Reply ServiceClient::signedGet(const std::string& url, const NBToken* token,
                               const NBParameters& params) {
  return send("GET", SignatureHelper::getSignatureUrlString(url, "GET", consumer(), token,
                                                            params.empty() ? nullptr : &params));
}

Reply ServiceClient::login(const std::string& name, const std::string& password) {
  NBAuthOperationItem item;
  item.consumer = std::make_shared<NBConsumer>(consumer());
  item.userName = name;
  item.password = password;
  item.httpMethod = "POST";
  const std::string url = SignatureHelper::getXAuthSignatureUrlString(
      "https://" + api() + "/open/xAccessToken", item);
  return send("POST", url, "x_auth_password=" + NSStringHelper::urlEncodeCovertString(password));
}

NBToken ServiceClient::loginToken(const std::string& name, const std::string& password) {
  const Reply reply = login(name, password);
  return NBToken(jsonField(reply.body, "oauth_token"), jsonField(reply.body, "oauth_token_secret"));
}

Reply ServiceClient::upload(const NBToken& token, const std::string& path,
                            const std::string& content, bool overwrite, const std::string& root,
                            const std::string& scheme) {
  const Reply located =
      signedGet(scheme + "://" + ServiceClient::content() + "/1/fileops/upload_locate", &token);
  const auto node = jsonField(located.body, "url");
  if (!node) return located;
  const NBParameters params{{"root", root}, {"path", path}, {"overwrite", overwrite ? "True" : "False"}};
  const std::string url = SignatureHelper::getSignatureUrlString(
      *node + "/1/fileops/upload_file", "POST", consumer(), &token, &params);
  const std::string boundary = "----------ThIs_Is_tHe_bouNdaRY_$";
  const std::string name = path.substr(path.rfind('/') + 1);
  const std::string body = "--" + boundary +
                           "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + name +
                           "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content +
                           "\r\n--" + boundary + "--";
  return send("POST", url, body, {{"v", "2"}, {"User-Agent", "vanta"}},
              "multipart/form-data; boundary=" + boundary);
}

namespace {

// The value after `"key":` at `from` or later: a string (escapes kept as
// written) or a bare number/boolean. Sets `next` past it.
std::optional<std::string> valueAfter(const std::string& json, const std::string& key,
                                      std::size_t from, std::size_t* next) {
  const std::string needle = "\"" + key + "\":";
  const auto at = json.find(needle, from);
  if (at == std::string::npos) return std::nullopt;
  std::size_t i = at + needle.size();
  std::string value;
  if (i < json.size() && json[i] == '"') {
    for (++i; i < json.size() && json[i] != '"'; ++i) {
      if (json[i] == '\\' && i + 1 < json.size()) value.push_back(json[i++]);
      value.push_back(json[i]);
    }
  } else {
    while (i < json.size() && json[i] != ',' && json[i] != '}' && json[i] != ']') {
      value.push_back(json[i++]);
    }
  }
  *next = i;
  return value;
}

}  // namespace

std::optional<std::string> jsonField(const std::string& json, const std::string& key) {
  std::size_t next = 0;
  return valueAfter(json, key, 0, &next);
}

std::vector<std::string> jsonFields(const std::string& json, const std::string& key) {
  std::vector<std::string> values;
  std::size_t next = 0;
  while (auto value = valueAfter(json, key, next, &next)) values.push_back(std::move(*value));
  return values;
}

}  // namespace nb::test

// The requests of the sign-in and registration operations, the values they
// require before sending anything, and the tokens they accept from replies.
#include <gtest/gtest.h>

#include "nb/Private/NBHosts.h"
#include "nb/Private/NSURLHelper.h"
#include "nb/operations/NBAuth1Operation.h"
#include "nb/operations/NBGetVerificationOperation.h"
#include "nb/operations/NBRegisterOperation.h"
#include "nb/operations/NBXAuthOperation.h"

namespace nb {
namespace {

const char* const kPassword = "p&s=w+rd 1 密码é";
const char* const kEncodedPassword = "p%26s%3Dw%2Brd%201%20%E5%AF%86%E7%A0%81%C3%A9";

std::shared_ptr<NBConsumer> consumer() { return std::make_shared<NBConsumer>("ck", "cs"); }

std::shared_ptr<NBAuthOperationItem> loginItem() {
  auto item = std::make_shared<NBAuthOperationItem>();
  item->consumer = consumer();
  item->userName = "li lei@x.cn";
  item->password = kPassword;
  item->httpMethod = "POST";
  return item;
}

std::shared_ptr<NBRegisterOperationItem> registerItem() {
  auto item = std::make_shared<NBRegisterOperationItem>();
  item->consumer = consumer();
  item->userName = "new user";
  item->password = kPassword;
  item->httpMethod = "POST";
  item->verifi = std::make_shared<NBVerification>();
  item->verifi->authID = "A1";
  item->verifi->verifiCode = "12 34";
  item->deviceID = "dev/1";
  return item;
}

std::map<std::string, std::string> queryOf(const std::string& url) {
  return NSURLHelper::parseURLQueryString(url.substr(url.find('?') + 1));
}

// The query's names in the order they appear.
std::vector<std::string> namesOf(const std::string& url) {
  std::vector<std::string> names;
  std::string query = url.substr(url.find('?') + 1);
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string piece = query.substr(start, end - start);
    names.push_back(piece.substr(0, piece.find('=')));
    start = end + 1;
  }
  return names;
}

// What goes on the wire for a plan of `op`: method, signed URL and form body.
struct Wire {
  std::string httpMethod;
  std::string url;
  std::optional<std::string> body;
};

Wire wireOf(const NBNetworkOperation& op, const Result<NBServiceRequest>& plan) {
  EXPECT_TRUE(plan.ok()) << plan.status().toString();
  if (!plan.ok()) return {};
  Result<URLRequest> request = op.signedRequest(*plan);
  EXPECT_TRUE(request.ok()) << request.status().toString();
  if (!request.ok()) return {};
  Wire wire{request->HTTPMethod(), request->URL(), std::nullopt};
  if (request->hasHTTPBody()) {
    wire.body.emplace();
    for (const URLRequestBodyPart& part : request->HTTPBodyParts()) wire.body->append(*part.data);
  }
  return wire;
}

template <class Operation>
Wire wireOf(std::shared_ptr<NBOperationItem> item) {
  auto op = std::make_shared<Operation>(nullptr, std::move(item));
  return wireOf(*op, op->serviceRequest());
}

TEST(SignInRequestTest, LoginPostsThePasswordOnlyInTheBody) {
  auto request = wireOf<NBXAuthOperation>(loginItem());
  EXPECT_EQ(request.httpMethod, "POST");
  const std::string endpoint = "https://" + NBHosts::apiHost() + "/open/xAccessToken?";
  EXPECT_EQ(request.url.rfind(endpoint, 0), 0u) << request.url;
  EXPECT_EQ(namesOf(request.url),
            (std::vector<std::string>{"x_auth_username", "x_auth_mode", "oauth_signature",
                                      "oauth_consumer_key", "oauth_nonce", "oauth_signature_method",
                                      "oauth_timestamp", "oauth_version"}));
  EXPECT_NE(request.url.find("x_auth_username=li%20lei%40x.cn&"), std::string::npos);
  EXPECT_EQ(request.url.find("password"), std::string::npos);
  EXPECT_EQ(request.body, std::string("x_auth_password=") + kEncodedPassword);
}

TEST(SignInRequestTest, RegistrationLayoutWithAndWithoutAChallenge) {
  auto item = registerItem();
  auto request = wireOf<NBRegisterOperation>(item);
  EXPECT_EQ(request.httpMethod, "POST");
  EXPECT_EQ(request.url.rfind("https://" + NBHosts::apiHost() + "/open/register?", 0), 0u);
  EXPECT_EQ(
      namesOf(request.url),
      (std::vector<std::string>{"username", "oauth_signature", "oauth_consumer_key", "oauth_nonce",
                                "oauth_signature_method", "oauth_timestamp", "oauth_version",
                                "verification_code", "authid", "device_id"}));
  const auto query = queryOf(request.url);
  EXPECT_EQ(query.at("username"), "new user");
  EXPECT_EQ(query.at("verification_code"), "12 34");
  EXPECT_EQ(query.at("authid"), "A1");
  EXPECT_EQ(query.at("device_id"), "dev/1");
  EXPECT_EQ(request.body, std::string("password=") + kEncodedPassword);

  item->verifi.reset();
  item->httpMethod.reset();  // "POST" is signed, as that is what is sent
  request = wireOf<NBRegisterOperation>(item);
  const std::string tail = "&verification_code=&authid=&device_id=dev%2F1";
  ASSERT_GE(request.url.size(), tail.size());
  EXPECT_EQ(request.url.substr(request.url.size() - tail.size()), tail);
}

// Exposes the flow's request token so the later steps can be built.
class Auth1 : public NBAuth1Operation {
 public:
  using NBAuth1Operation::NBAuth1Operation;
  void setRequestToken(std::shared_ptr<NBToken> token) { _token = std::move(token); }
};

TEST(SignInRequestTest, ChallengeAndThreeLeggedStepsSignWithTheRightToken) {
  auto item = std::make_shared<NBOperationItem>();
  item->consumer = consumer();

  auto challenge = wireOf<NBGetVerificationOperation>(item);
  EXPECT_EQ(challenge.httpMethod, "GET");
  EXPECT_EQ(challenge.body, std::nullopt);
  EXPECT_EQ(challenge.url.rfind("http://" + NBHosts::apiHost() + "/open/verificationURL?", 0), 0u);
  EXPECT_EQ(queryOf(challenge.url).count("oauth_token"), 0u);
  EXPECT_EQ(queryOf(challenge.url).size(), 6u);  // the signature and five OAuth parameters

  auto flow = std::make_shared<Auth1>(nullptr, item);
  auto step0 = wireOf(*flow, flow->requestForState(0));
  EXPECT_EQ(step0.url.rfind("https://" + NBHosts::apiHost() + "/open/requestToken?", 0), 0u);
  EXPECT_EQ(queryOf(step0.url).count("oauth_token"), 0u);
  EXPECT_FALSE(flow->requestForState(1).ok());  // no token yet

  flow->setRequestToken(std::make_shared<NBToken>("RT-1", "rs"));
  auto step1 = wireOf(*flow, flow->requestForState(1));
  EXPECT_EQ(step1.url,
            "https://" + NBHosts::webHost() + "/api.php?ac=open&op=authorise&oauth_token=RT-1");
  auto step2 = wireOf(*flow, flow->requestForState(2));
  EXPECT_EQ(step2.url.rfind("https://" + NBHosts::apiHost() + "/open/accessToken?", 0), 0u);
  EXPECT_EQ(queryOf(step2.url).at("oauth_token"), "RT-1");
}

struct FailDelegate : NBOperationDelegate {
  int successes = 0;
  std::vector<std::string> failures;
  void operationSuccess(NBOperation*, const NBResult&) override { ++successes; }
  void operationFail(NBOperation*, const std::string& message) override {
    failures.push_back(message);
  }
};

TEST(SignInRequestTest, MissingRequiredValuesFailBeforeAnyRequest) {
  using Make = std::function<std::shared_ptr<NBOperation>(NBOperationDelegate*)>;
  auto login = [](auto change) {
    return Make([change](NBOperationDelegate* d) {
      auto item = loginItem();
      change(*item);
      return std::make_shared<NBXAuthOperation>(d, item);
    });
  };
  auto registration = [](auto change) {
    return Make([change](NBOperationDelegate* d) {
      auto item = registerItem();
      change(*item);
      return std::make_shared<NBRegisterOperation>(d, item);
    });
  };
  const struct {
    const char* label;
    Make make;
  } cases[] = {
      {"login, no consumer", login([](NBAuthOperationItem& i) { i.consumer.reset(); })},
      {"login, no consumer key", login([](NBAuthOperationItem& i) {
         i.consumer = std::make_shared<NBConsumer>(std::nullopt, "s");
       })},
      {"login, no user name", login([](NBAuthOperationItem& i) { i.userName.reset(); })},
      {"login, no password", login([](NBAuthOperationItem& i) { i.password.reset(); })},
      {"login, wrong record", Make([](NBOperationDelegate* d) {
         return std::make_shared<NBXAuthOperation>(d, std::make_shared<NBOperationItem>());
       })},
      {"registration, no device id",
       registration([](NBRegisterOperationItem& i) { i.deviceID.reset(); })},
      {"registration, no password",
       registration([](NBRegisterOperationItem& i) { i.password.reset(); })},
      {"registration, no consumer",
       registration([](NBRegisterOperationItem& i) { i.consumer.reset(); })},
      {"challenge, no consumer", Make([](NBOperationDelegate* d) {
         return std::make_shared<NBGetVerificationOperation>(d,
                                                             std::make_shared<NBOperationItem>());
       })},
      {"three-legged, no item",
       Make([](NBOperationDelegate* d) { return std::make_shared<NBAuth1Operation>(d, nullptr); })},
  };
  for (const auto& c : cases) {
    FailDelegate delegate;
    auto op = c.make(&delegate);
    op->executeOperation();
    EXPECT_EQ(delegate.successes, 0) << c.label;
    ASSERT_EQ(delegate.failures.size(), 1u) << c.label;
    EXPECT_FALSE(delegate.failures[0].empty()) << c.label;
    EXPECT_EQ(op->failureStatus().code(), StatusCode::kInvalidArgument) << c.label;
    EXPECT_EQ(op->failureStatus().message(), delegate.failures[0]) << c.label;
  }
}

// Feeds replies to the flow's steps directly, without a transport.
class FlowProbe : public NBAuth1Operation {
 public:
  using NBAuth1Operation::handleSuccessData;
  using NBAuth1Operation::NBAuth1Operation;
  void setState(std::int32_t state) { _oauthState = state; }
};

TEST(SignInRequestTest, FlowStepsWithoutAUsableTokenFailOnce) {
  const struct {
    std::int32_t state;
    std::optional<std::string> body;
    bool succeeds;
  } cases[] = {
      {0, R"({"oauth_token_secret":"s"})", false},  // no request token to authorise
      {0, "oauth_token=a", false},
      {0, std::nullopt, false},
      {2, R"({"oauth_token":"a"})", false},
      {2, "", false},
      {2, R"({"oauth_token":"AT","oauth_token_secret":"AS"})", true},
  };
  auto item = std::make_shared<NBOperationItem>();
  item->consumer = consumer();
  for (const auto& c : cases) {
    FailDelegate delegate;
    auto flow = std::make_shared<FlowProbe>(&delegate, item);
    flow->setState(c.state);
    flow->handleSuccessData(c.body);
    EXPECT_EQ(delegate.successes, c.succeeds ? 1 : 0) << c.state << c.body.value_or("(none)");
    EXPECT_EQ(delegate.failures.size(), c.succeeds ? 0u : 1u) << c.state;
  }
}

TEST(SignInRequestTest, OnlyARealTokenIsALogin) {
  auto token = NBXAuthOperation::accessTokenFromReply(
      R"({"oauth_token":"T+/=","oauth_token_secret":"S 1","user_id":3})");
  ASSERT_TRUE(token.ok());
  EXPECT_EQ((*token)->token, "T+/=");
  EXPECT_EQ((*token)->tokenSecret, "S 1");

  for (std::optional<std::string> body :
       {std::optional<std::string>(), std::optional<std::string>(""),
        std::optional<std::string>("oauth_token=a&oauth_token_secret=b"),
        std::optional<std::string>(R"(["oauth_token"])"),
        std::optional<std::string>(R"({"oauth_token_secret":"b"})"),
        std::optional<std::string>(R"({"oauth_token":"a"})"),
        std::optional<std::string>(R"({"oauth_token":null,"oauth_token_secret":"b"})")}) {
    auto outcome = NBXAuthOperation::accessTokenFromReply(body);
    EXPECT_EQ(outcome.status().code(), StatusCode::kCorruption) << body.value_or("(none)");
  }

  auto challenge = NBGetVerificationOperation::verificationFromReply(R"({"url":"http://x/v.png"})");
  ASSERT_TRUE(challenge.ok());
  auto verification = *challenge;
  EXPECT_EQ(verification->urlString, "http://x/v.png");
  EXPECT_EQ(verification->authID, std::nullopt);
  EXPECT_EQ(verification->verifiCode, std::nullopt);
}

}  // namespace
}  // namespace nb

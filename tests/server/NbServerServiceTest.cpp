// nbserver driven the way the library signs and sends: the three URL layouts,
// the form bodies of login and registration, the multipart upload, and the
// reply fields the library reads.
#include <gtest/gtest.h>

#include <cctype>
#include <memory>

#include "nb/Private/NBRegisterOperationItem.h"
#include "nb/Private/NSStringHelper.h"
#include "server/ImageRenderer.h"
#include "tests/server/ServiceClient.h"
#include "tests/server/ServiceTest.h"
#include "tests/server/TestImages.h"

namespace nb::test {
namespace {

class NbServerServiceTest : public ServiceTest {
 protected:
  // The metadata URL as the library forms it: root, then the whole path as one
  // encoded segment.
  Reply metadata(const NBToken& token, const std::string& path, const NBParameters& params = {}) {
    return call(token, "/1/metadata/app/" + NSStringHelper::urlEncodeCovertString(path), params);
  }
};

TEST_F(NbServerServiceTest, LoginSignsThePasswordInTheBody) {
  const Reply ok = client_->login("carol", "carol-pass");
  EXPECT_EQ(ok.status, 200) << ok.body;
  EXPECT_TRUE(jsonField(ok.body, "oauth_token"));
  EXPECT_TRUE(jsonField(ok.body, "oauth_token_secret"));

  const Reply wrong = client_->login("carol", "not-her-pass");
  EXPECT_EQ(wrong.status, 401);
  EXPECT_EQ(jsonField(wrong.body, "msg"), "login fail");
  EXPECT_EQ(jsonField(client_->login("nobody", "x").body, "msg"), "login fail");
}

TEST_F(NbServerServiceTest, RegistrationChallengeIsAnsweredOnce) {
  const auto challenge = [&] {
    const Reply reply = client_->signedGet(api("/open/verificationURL"), nullptr);
    EXPECT_EQ(reply.status, 200) << reply.body;
    auto verification = std::make_shared<NBVerification>();
    verification->urlString = jsonField(reply.body, "url");
    verification->authID = jsonField(reply.body, "authid");
    return verification;
  };
  const auto registerWith = [&](std::shared_ptr<NBVerification> verifi, const std::string& name) {
    NBRegisterOperationItem item;
    item.consumer = std::make_shared<NBConsumer>(client_->consumer());
    item.userName = name;
    item.password = "new pass & more";
    item.httpMethod = "POST";
    item.verifi = std::move(verifi);
    item.deviceID = "device-1";
    const std::string url = SignatureHelper::getRegisterSignatureUrlString(
        "https://" + ServiceClient::api() + "/open/register", item);
    return client_->send("POST", url,
                         "password=" + NSStringHelper::urlEncodeCovertString(*item.password));
  };

  // The image shows the code: a PNG served unsigned from the address given.
  const auto first = challenge();
  ASSERT_TRUE(first->urlString);
  const Reply image = client_->send("GET", *first->urlString);
  EXPECT_EQ(image.status, 200);
  EXPECT_EQ(image.body.substr(1, 3), "PNG");

  // Without a challenge the empty fields are left out of the signature; the
  // request is well signed and refused for its code.
  const Reply none = registerWith(nullptr, "erin");
  EXPECT_EQ(none.status, 403) << none.body;
  EXPECT_EQ(jsonField(none.body, "msg"), "wrong verification code");

  first->verifiCode = "WRONG";
  EXPECT_EQ(jsonField(registerWith(first, "erin").body, "msg"), "wrong verification code");
  first->verifiCode = server_->env("NB_DEV_VERIFICATION_CODE");
  EXPECT_EQ(jsonField(registerWith(first, "erin").body, "msg"), "wrong verification code")
      << "a challenge answers once";

  const auto second = challenge();
  std::string typed = server_->env("NB_DEV_VERIFICATION_CODE");
  for (auto& c : typed) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  second->verifiCode = typed;  // letter case does not matter
  const Reply made = registerWith(second, "erin");
  EXPECT_EQ(made.status, 200) << made.body;
  EXPECT_EQ(jsonField(made.body, "msg"), "ok");
  EXPECT_EQ(client_->login("erin", "new pass & more").status, 200);

  const auto third = challenge();
  third->verifiCode = server_->env("NB_DEV_VERIFICATION_CODE");
  EXPECT_EQ(jsonField(registerWith(third, "erin").body, "msg"), "bad openid");
}

TEST_F(NbServerServiceTest, ThreeLeggedFlowInDevelopmentMode) {
  const Reply request = client_->signedGet("https://" + ServiceClient::api() + "/open/requestToken",
                                           nullptr);
  ASSERT_EQ(request.status, 200) << request.body;
  const NBToken requestToken(jsonField(request.body, "oauth_token"),
                             jsonField(request.body, "oauth_token_secret"));

  // Before the page is loaded the request token is not yet good for anything.
  const std::string accessUrl = "https://" + ServiceClient::api() + "/open/accessToken";
  EXPECT_EQ(jsonField(client_->signedGet(accessUrl, &requestToken).body, "msg"), "bad verifier");

  const Reply page = client_->send("GET", "https://" + ServiceClient::web() +
                                              "/api.php?ac=open&op=authorise&oauth_token=" +
                                              *requestToken.token);
  EXPECT_EQ(page.status, 200) << page.body;

  const Reply access = client_->signedGet(accessUrl, &requestToken);
  ASSERT_EQ(access.status, 200) << access.body;
  const NBToken accessToken(jsonField(access.body, "oauth_token"),
                            jsonField(access.body, "oauth_token_secret"));
  EXPECT_EQ(call(accessToken, "/1/account_info").status, 200);

  // A request token is exchanged once, and is never an access token.
  EXPECT_EQ(jsonField(client_->signedGet(accessUrl, &requestToken).body, "msg"),
            "authorization expired");
  EXPECT_EQ(jsonField(call(requestToken, "/1/account_info").body, "msg"), "authorization expired");
}

TEST_F(NbServerServiceTest, AuthorisationPageSignsTheWebUserIn) {
  const Reply request = client_->signedGet("https://" + ServiceClient::api() + "/open/requestToken",
                                           nullptr);
  const NBToken requestToken(jsonField(request.body, "oauth_token"),
                             jsonField(request.body, "oauth_token_secret"));
  const std::string page = "https://" + ServiceClient::web() +
                           "/api.php?ac=open&op=authorise&oauth_token=" + *requestToken.token;
  const std::string accessUrl = "https://" + ServiceClient::api() + "/open/accessToken";

  const Reply wrong = client_->send("POST", page, "username=dave&password=wrong", {},
                                    "application/x-www-form-urlencoded");
  EXPECT_EQ(wrong.status, 200);
  EXPECT_NE(wrong.body.find("<form"), std::string::npos) << "the form again";
  EXPECT_EQ(jsonField(client_->signedGet(accessUrl, &requestToken).body, "msg"), "bad verifier");

  const Reply signedIn = client_->send("POST", page, "username=dave&password=dave-pass", {},
                                       "application/x-www-form-urlencoded");
  EXPECT_EQ(signedIn.status, 200);
  EXPECT_NE(signedIn.header("Set-Cookie").find("nb_session="), std::string::npos);
  const Reply access = client_->signedGet(accessUrl, &requestToken);
  const NBToken accessToken(jsonField(access.body, "oauth_token"),
                            jsonField(access.body, "oauth_token_secret"));
  EXPECT_EQ(jsonField(call(accessToken, "/1/account_info").body, "user_name"), "dave")
      << "the token belongs to the user who signed in on the page";

  EXPECT_EQ(jsonField(client_->send("GET", "https://" + ServiceClient::web() +
                                               "/api.php?ac=open&op=authorise&oauth_token=nope")
                          .body,
                      "msg"),
            "authorization expired");
}

TEST_F(NbServerServiceTest, UploadRefusalsAndVersions) {
  const NBToken tiny = client_->loginToken("tiny", "tiny-pass");
  ASSERT_EQ(call(tiny, "/1/fileops/create_folder", {{"root", "app"}, {"path", "/f"}}).status, 200);
  struct Case {
    const char* what;
    const char* path;
    std::size_t size;
    bool overwrite;
    int status;
    const char* keyword;
  } cases[] = {
      {"new file", "/f/a.txt", 300, false, 200, nullptr},
      {"name clash", "/f/a.txt", 10, false, 403, "file exist"},
      {"overwrite", "/f/a.txt", 400, true, 200, nullptr},
      {"onto a folder", "/f", 10, true, 403, "file exist"},
      {"missing parent", "/g/b.txt", 10, false, 404, "file not exist"},
      {"file too large", "/f/big.bin", 601, false, 413, "file too large"},
      {"over space", "/f/c.bin", 600, false, 507, "over space"},
      {"traversal", "/f/../../x", 10, false, 400, "bad parameters"},
  };
  for (const auto& c : cases) {
    const Reply reply = client_->upload(tiny, c.path, std::string(c.size, 'x'), c.overwrite);
    EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
    if (c.keyword) {
      EXPECT_EQ(jsonField(reply.body, "msg"), c.keyword) << c.what;
    } else {
      EXPECT_EQ(jsonField(reply.body, "size"), std::to_string(c.size)) << c.what;
      EXPECT_FALSE(jsonField(reply.body, "url")) << "a url would send the library round again";
    }
  }
  const Reply info = call(tiny, "/1/account_info");
  EXPECT_EQ(jsonField(info.body, "quota_used"), "400");
  EXPECT_EQ(jsonField(info.body, "quota_total"), "900");
  EXPECT_EQ(jsonField(info.body, "max_file_size"), "600");

  const Reply history = call(tiny, "/1/history/app//f/a.txt", {{"root", "app"}, {"path", "/f/a.txt"}});
  EXPECT_EQ(history.status, 200) << history.body;
  const auto revs = jsonFields(history.body, "rev");
  ASSERT_EQ(revs.size(), 2u) << "every overwrite keeps a version: " << history.body;
  EXPECT_GT(std::stoll(revs[0]), std::stoll(revs[1])) << "newest first";
}

TEST_F(NbServerServiceTest, RefusedUploadLeavesTheConnectionUsable) {
  const NBToken token = client_->loginToken("carol", "carol-pass");
  httplib::Client connection("127.0.0.1", server_->httpPort());
  connection.set_keep_alive(true);
  connection.set_url_encode(false);
  const std::string unsigned_ = "/1/fileops/upload_file?root=app&path=%2Fx";
  const auto refused = connection.Post(unsigned_.c_str(), {{"Host", ServiceClient::content()}},
                                       std::string(200000, 'b'), "application/octet-stream");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 400);
  // The refused body was read to its end, so the next request on the same
  // connection is understood as itself.
  const std::string url = SignatureHelper::getSignatureUrlString(
      api("/1/account_info"), "GET", client_->consumer(), &token, nullptr);
  const auto next = connection.Get(url.substr(url.find("/1/")).c_str(),
                                   {{"Host", ServiceClient::api()}});
  ASSERT_TRUE(next);
  EXPECT_EQ(next->status, 200) << next->body;
}

TEST_F(NbServerServiceTest, MetadataListingPagesFiltersAndSorts) {
  const NBToken token = client_->loginToken("dave", "dave-pass");
  ASSERT_EQ(call(token, "/1/fileops/create_folder", {{"root", "app"}, {"path", "/list dir"}}).status,
            200);
  for (const auto& [name, size] : {std::pair{"b.TXT", 30}, {"a.pdf", 10}, {"c.txt", 20}}) {
    ASSERT_EQ(client_->upload(token, std::string("/list dir/") + name, std::string(size, 'z'), false)
                  .status,
              200);
  }
  ASSERT_EQ(call(token, "/1/fileops/create_folder", {{"root", "app"}, {"path", "/list dir/sub"}})
                .status,
            200);

  struct Case {
    NBParameters params;
    std::vector<std::string> names;
  } cases[] = {
      {{{"list", "True"}}, {"sub", "a.pdf", "b.TXT", "c.txt"}},
      {{{"list", "True"}, {"sort_by", "name"}}, {"a.pdf", "b.TXT", "c.txt", "sub"}},
      {{{"list", "True"}, {"sort_by", "rname"}}, {"sub", "c.txt", "b.TXT", "a.pdf"}},
      {{{"list", "True"}, {"sort_by", "size"}}, {"sub", "a.pdf", "c.txt", "b.TXT"}},
      {{{"list", "True"}, {"sort_by", "rsize"}}, {"b.TXT", "c.txt", "a.pdf", "sub"}},
      {{{"list", "True"}, {"filter_ext", "txt"}, {"sort_by", "name"}}, {"b.TXT", "c.txt"}},
      {{{"list", "True"}, {"sort_by", "name"}, {"page", "1"}, {"page_size", "3"}}, {"sub"}},
      {{{"list", "True"}, {"page", "5"}, {"page_size", "3"}}, {}},
      {{{"list", "False"}}, {}},
  };
  for (const auto& c : cases) {
    const Reply reply = metadata(token, "/list dir", c.params);
    ASSERT_EQ(reply.status, 200) << reply.body;
    auto names = jsonFields(reply.body, "name");
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "list dir");
    names.erase(names.begin());
    EXPECT_EQ(names, c.names) << reply.body;
    EXPECT_EQ(jsonField(reply.body, "type"), "folder");
    EXPECT_TRUE(jsonField(reply.body, "hash"));
  }

  const Reply limited = metadata(token, "/list dir", {{"list", "True"}, {"file_limit", "3"}});
  EXPECT_EQ(limited.status, 406);
  EXPECT_EQ(jsonField(limited.body, "msg"), "tooManyFiles");
  EXPECT_EQ(metadata(token, "/list dir", {{"sort_by", "colour"}}).status, 400);
  EXPECT_EQ(metadata(token, "/list dir", {{"page_size", "0"}}).status, 400);

  const Reply file = metadata(token, "/list dir/a.pdf");
  EXPECT_EQ(jsonField(file.body, "type"), "file");
  EXPECT_EQ(jsonField(file.body, "size"), "10");
  EXPECT_EQ(jsonField(file.body, "is_deleted"), "false");
  for (const char* key : {"root", "path", "file_id", "rev", "create_time", "modify_time"}) {
    EXPECT_TRUE(jsonField(file.body, key)) << key;
  }
  EXPECT_EQ(jsonField(metadata(token, "/nothing here").body, "msg"), "file not exist");
}

TEST_F(NbServerServiceTest, PathOperations) {
  const NBToken carol = client_->loginToken("carol", "carol-pass");
  const NBToken dave = client_->loginToken("dave", "dave-pass");
  const auto op = [&](const NBToken& token, const char* name, const NBParameters& params) {
    NBParameters all = params;
    all.emplace("root", "app");
    return call(token, std::string("/1/fileops/") + name, all);
  };
  ASSERT_EQ(op(carol, "create_folder", {{"path", "/ops"}}).status, 200);
  ASSERT_EQ(client_->upload(carol, "/ops/one.txt", "first", false).status, 200);

  struct Case {
    const char* what;
    const char* name;
    NBParameters params;
    int status;
    const char* keyword;
  } cases[] = {
      {"folder again", "create_folder", {{"path", "/ops"}}, 403, "file exist"},
      {"folder without parent", "create_folder", {{"path", "/none/x"}}, 404, "file not exist"},
      {"copy", "copy", {{"from_path", "/ops/one.txt"}, {"to_path", "/ops/two.txt"}}, 200, nullptr},
      {"copy onto a file", "copy", {{"from_path", "/ops/one.txt"}, {"to_path", "/ops/two.txt"}}, 403,
       "file exist"},
      {"copy of nothing", "copy", {{"from_path", "/ops/none"}, {"to_path", "/ops/x"}}, 404,
       "file not exist"},
      {"folder into itself", "copy", {{"from_path", "/ops"}, {"to_path", "/ops/inner"}}, 403,
       "forbidden"},
      {"move", "move", {{"from_path", "/ops/two.txt"}, {"to_path", "/ops/three.txt"}}, 200, nullptr},
      {"move of nothing", "move", {{"from_path", "/ops/two.txt"}, {"to_path", "/ops/x"}}, 404,
       "file not exist"},
      {"move folder", "move", {{"from_path", "/ops"}, {"to_path", "/moved"}}, 200, nullptr},
      {"delete", "delete", {{"path", "/moved/three.txt"}}, 200, nullptr},
      {"delete again", "delete", {{"path", "/moved/three.txt"}}, 404, "file not exist"},
      {"delete the root", "delete", {{"path", "/"}}, 403, "forbidden"},
  };
  for (const auto& c : cases) {
    const Reply reply = op(carol, c.name, c.params);
    EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
    if (c.keyword) {
      EXPECT_EQ(jsonField(reply.body, "msg"), c.keyword) << c.what;
    }
  }
  EXPECT_EQ(metadata(carol, "/moved/one.txt").status, 200) << "a folder moves with its children";
  EXPECT_EQ(metadata(carol, "/ops").status, 404);

  // A copy reference hands a file to another account.
  const Reply ref = call(carol, "/1/copy_ref/app/moved/one.txt", {{"root", "app"}, {"path", "/moved/one.txt"}});
  ASSERT_EQ(ref.status, 200) << ref.body;
  const auto copyRef = jsonField(ref.body, "copy_ref");
  ASSERT_TRUE(copyRef);
  const Reply copied = op(dave, "copy", {{"from_copy_ref", *copyRef}, {"to_path", "/from carol.txt"}});
  EXPECT_EQ(copied.status, 200) << copied.body;
  const Reply download = client_->signedGet(
      "http://" + ServiceClient::content() + "/1/fileops/download_file", &dave,
      {{"root", "app"}, {"path", "/from carol.txt"}});
  EXPECT_EQ(download.body, "first");
  EXPECT_EQ(op(dave, "copy", {{"from_copy_ref", "0000"}, {"to_path", "/x"}}).status, 404);
}

TEST_F(NbServerServiceTest, ThumbnailsOfPngAndJpeg) {
  const NBToken token = client_->loginToken("carol", "carol-pass");
  ASSERT_EQ(client_->upload(token, "/pic.png", makePng(200, 100), false).status, 200);
  ASSERT_EQ(client_->upload(token, "/pic.jpg", makeJpeg(120, 240), false).status, 200);
  ASSERT_EQ(client_->upload(token, "/notes.txt", "not a picture", false).status, 200);
  struct Case {
    const char* path;
    const char* width;
    const char* height;
    int status;
    int outWidth, outHeight;
  } cases[] = {
      {"/pic.png", "50", "50", 200, 50, 25},   {"/pic.jpg", "50", "50", 200, 25, 50},
      {"/pic.png", "400", "400", 200, 200, 100}, {"/notes.txt", "50", "50", 415, 0, 0},
      {"/pic.png", "0", "50", 400, 0, 0},      {"/none.png", "50", "50", 404, 0, 0},
  };
  for (const auto& c : cases) {
    const Reply reply = client_->signedGet(
        "http://" + ServiceClient::conversion() + "/1/fileops/thumbnail", &token,
        {{"root", "app"}, {"path", c.path}, {"width", c.width}, {"height", c.height}});
    EXPECT_EQ(reply.status, c.status) << c.path << ": " << reply.body.substr(0, 100);
    if (c.status == 200) {
      EXPECT_EQ(pngSize(reply.body), std::make_pair(c.outWidth, c.outHeight)) << c.path;
    }
  }
}

TEST_F(NbServerServiceTest, DocumentViewRendersTextLikeFormats) {
  const NBToken token = client_->loginToken("carol", "carol-pass");
  ASSERT_EQ(client_->upload(token, "/doc.txt", "a <b> & c", false).status, 200);
  ASSERT_EQ(client_->upload(token, "/table.csv", "x,\"y,z\"\n1,2\n", false).status, 200);
  ASSERT_EQ(client_->upload(token, "/paper.pdf", "%PDF-1.4", false).status, 200);
  struct Case {
    const char* path;
    const char* type;
    const char* zip;
    int status;
    const char* contains;
  } cases[] = {
      {"/doc.txt", "txt", "0", 200, "a &lt;b&gt; &amp; c"},
      {"/table.csv", "csv", "0", 200, "<td>y,z</td>"},
      {"/doc.txt", "txt", "1", 200, "PK\x03\x04"},
      {"/paper.pdf", "pdf", "0", 415, "unsupported document type"},
      {"/doc.txt", "txt", "2", 400, "bad parameters"},
  };
  for (const auto& c : cases) {
    const Reply reply = client_->signedGet(
        "http://" + ServiceClient::conversion() + "/1/fileops/documentView", &token,
        {{"root", "app"}, {"path", c.path}, {"zip", c.zip}, {"type", c.type}, {"view", "iphone"}});
    EXPECT_EQ(reply.status, c.status) << c.path;
    EXPECT_NE(reply.body.find(c.contains), std::string::npos) << c.path << ": " << reply.body;
    if (c.status == 200) {
      EXPECT_EQ(reply.header("Content-Length"), std::to_string(reply.body.size()));
    }
  }
}

TEST_F(NbServerServiceTest, HostRolesAreToldApartByHost) {
  const NBToken token = client_->loginToken("carol", "carol-pass");
  // account_info lives on the API host only.
  const Reply wrongHost = client_->signedGet(
      "http://" + ServiceClient::content() + "/1/account_info", &token);
  EXPECT_EQ(wrongHost.status, 404);
  EXPECT_EQ(jsonField(wrongHost.body, "msg"), "no such api implemented");
  EXPECT_EQ(client_->send("GET", "http://unknown.example/1/account_info").status, 404);
  const Reply overTls = client_->signedGet("https://" + ServiceClient::api() + "/1/account_info",
                                           &token);
  EXPECT_EQ(overTls.status, 200) << overTls.body;
}

// Every call may travel over TLS: each host role answers on the TLS port, the
// upload node it names is reached over TLS too, and a signature holds only
// for the scheme the request came by.
TEST_F(NbServerServiceTest, EveryCallWorksOverTlsSignedForHttps) {
  const NBToken token = client_->loginToken("carol", "carol-pass");
  const Reply located = client_->signedGet(
      "https://" + ServiceClient::content() + "/1/fileops/upload_locate", &token);
  EXPECT_EQ(jsonField(located.body, "url"), "https://" + ServiceClient::content());
  const Reply uploaded = client_->upload(token, "/tls.txt", "over tls", false, "app", "https");
  EXPECT_EQ(uploaded.status, 200) << uploaded.body;
  const std::string download = "://" + ServiceClient::content() + "/1/fileops/download_file";
  const NBParameters file{{"root", "app"}, {"path", "/tls.txt"}};
  EXPECT_EQ(client_->signedGet("https" + download, &token, file).body, "over tls");

  // The same calls signed for the other scheme than the one they arrive by.
  const auto signedFor = [&](const std::string& scheme, const std::string& rest,
                             const NBParameters& params) {
    return SignatureHelper::getSignatureUrlString(scheme + rest, "GET", client_->consumer(), &token,
                                                  params.empty() ? nullptr : &params);
  };
  const std::string info = "://" + ServiceClient::api() + "/1/account_info";
  struct Case {
    const char* what;
    std::string signedUrl, sentAs;
  } cases[] = {
      {"http-signed over TLS", signedFor("http", info, {}), "https"},
      {"https-signed in clear", signedFor("https", info, {}), "http"},
      {"http-signed download over TLS", signedFor("http", download, file), "https"},
  };
  for (const auto& c : cases) {
    const std::string url = c.sentAs + c.signedUrl.substr(c.signedUrl.find("://"));
    const Reply reply = client_->send("GET", url);
    EXPECT_EQ(reply.status, 401) << c.what;
    EXPECT_EQ(jsonField(reply.body, "msg"), "bad signature") << c.what;
  }
}

}  // namespace
}  // namespace nb::test

// Prints one line "METHOD<tab>URL<tab>BODY" per operation's request, signed by
// the library with a fixed consumer and token, for oauthlib_verify.py to check
// with an OAuth implementation that is not ours. Values hold reserved and
// non-ASCII characters on purpose.
#include <iostream>

#include "nb/operations/NBAuth1Operation.h"
#include "nb/operations/NBCopyOperation.h"
#include "nb/operations/NBCopyRefOperation.h"
#include "nb/operations/NBCreateFolderOperation.h"
#include "nb/operations/NBDeleteOperation.h"
#include "nb/operations/NBGetDirectoryOperation.h"
#include "nb/operations/NBGetFileHistoryOperation.h"
#include "nb/operations/NBGetShareLinkOperation.h"
#include "nb/operations/NBGetUserInfoOperation.h"
#include "nb/operations/NBGetVerificationOperation.h"
#include "nb/operations/NBMoveOperation.h"
#include "nb/operations/NBRegisterOperation.h"
#include "nb/operations/NBXAuthOperation.h"

namespace nb {
namespace {

// Gives the flow a request token so that its last step can be built.
struct Flow : NBAuth1Operation {
  using NBAuth1Operation::NBAuth1Operation;
  void setRequestToken(std::shared_ptr<NBToken> token) { _token = std::move(token); }
};

// Prints what goes on the wire for `plan` of `op`.
void print(const NBNetworkOperation& op, const Result<NBServiceRequest>& plan) {
  const URLRequest r = op.signedRequest(plan.value()).value();
  std::string body;
  for (const URLRequestBodyPart& part : r.HTTPBodyParts()) body += *part.data;
  std::cout << r.HTTPMethod() << '\t' << r.URL() << '\t' << body << '\n';
}

void print(const NBNetworkOperation& op) { print(op, op.serviceRequest()); }

int dump() {
  // The secrets must match oauthlib_verify.py.
  auto consumer = std::make_shared<NBConsumer>("ck-1.x_Y~", "cs/2 é");
  const NBToken access("tk 3", "ts+4");
  const auto credentials = NBCredentialSource::fixed(*consumer, access);
  auto file = [&](NBFileServiceOperation&& op) {
    op.setCredentialSource(credentials);
    print(op);
  };

  auto login = std::make_shared<NBAuthOperationItem>();
  login->consumer = consumer;
  login->userName = "u &=+ 中";
  login->password = "p&s=w+rd 1 密码é";
  login->httpMethod = "POST";
  print(NBXAuthOperation(nullptr, login));

  auto registration = std::make_shared<NBRegisterOperationItem>();
  registration->consumer = consumer;
  registration->userName = "n u";
  registration->password = "a&b=c+d";
  registration->httpMethod = "POST";
  registration->deviceID = "d/1";
  print(NBRegisterOperation(nullptr, registration));  // no challenge
  registration->verifi = std::make_shared<NBVerification>();
  registration->verifi->authID = "A 1";
  registration->verifi->verifiCode = "c+d";
  print(NBRegisterOperation(nullptr, registration));

  auto plain = std::make_shared<NBOperationItem>();
  plain->consumer = consumer;
  print(NBGetVerificationOperation(nullptr, plain));
  auto flow = std::make_shared<Flow>(nullptr, plain);
  print(*flow, flow->requestForState(0));
  flow->setRequestToken(std::make_shared<NBToken>("RT", "r s"));
  print(*flow, flow->requestForState(2));

  auto entry = std::make_shared<NBFolderOperationItem>();
  entry->root = "app";
  entry->path = "/a b/中 &=+.txt";
  auto urlSafe = std::make_shared<NBFolderOperationItem>();
  urlSafe->root = "app";
  urlSafe->path = "/a/b-c.txt";
  auto listing = std::make_shared<NBGetDirectoryOperationItem>();
  listing->root = "app";
  listing->path = "/x y";
  listing->filterExt = "PDF";
  listing->sortType = 3;
  listing->isDescSort = true;
  listing->fileLimit = 5;
  auto copy = std::make_shared<NBCopyOperationItem>();
  copy->root = "app";
  copy->fromPath = "/a b";
  copy->toPath = "/中";
  auto share = std::make_shared<NBGetShareLinkOperationItem>();
  share->root = "app";
  share->path = "/a b/中.txt";
  share->name = "n m";
  share->accessCode = "x&y";

  file(NBGetUserInfoOperation(nullptr, plain));
  file(NBGetDirectoryOperation(nullptr, listing));
  file(NBCreateFolderOperation(nullptr, entry));
  file(NBDeleteOperation(nullptr, entry));
  file(NBMoveOperation(nullptr, copy));
  file(NBCopyOperation(nullptr, copy));
  copy->fromCopyRef = "R+1/=";
  file(NBCopyOperation(nullptr, copy));
  file(NBCopyRefOperation(nullptr, urlSafe));
  file(NBGetShareLinkOperation(nullptr, share));
  file(NBGetFileHistoryOperation(nullptr, urlSafe));
  return 0;
}

}  // namespace
}  // namespace nb

int main() { return nb::dump(); }

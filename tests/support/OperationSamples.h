// Every operation of the library, each made with a small item that can be sent,
// for tables that drive all operations alike (the fault table, the reply
// fuzzer). File items name paths under a folder the caller picks, so that
// tables running at once keep apart. Header only; any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nb/Private/NBConsumer.h"
#include "nb/Private/NBNetworkOperation.h"
#include "nb/Private/NBRegisterOperationItem.h"
#include "nb/operations/NBAuth1Operation.h"
#include "nb/operations/NBCopyOperation.h"
#include "nb/operations/NBCopyRefOperation.h"
#include "nb/operations/NBCreateFolderOperation.h"
#include "nb/operations/NBDeleteOperation.h"
#include "nb/operations/NBDocumentConvertOperation.h"
#include "nb/operations/NBDownloadFileOperation.h"
#include "nb/operations/NBGetDirectoryOperation.h"
#include "nb/operations/NBGetFileHistoryOperation.h"
#include "nb/operations/NBGetShareLinkOperation.h"
#include "nb/operations/NBGetUserInfoOperation.h"
#include "nb/operations/NBGetVerificationOperation.h"
#include "nb/operations/NBMoveOperation.h"
#include "nb/operations/NBRegisterOperation.h"
#include "nb/operations/NBThumbnailOperation.h"
#include "nb/operations/NBUploadFileOperation.h"
#include "nb/operations/NBXAuthOperation.h"

namespace nb::test {

struct OperationSample {
  // Makes the operation: sign-ins with `consumer`, file items under `folder`
  // ("/name", no trailing slash).
  using Maker = std::function<std::shared_ptr<NBNetworkOperation>(
      NBOperationDelegate* delegate, const std::shared_ptr<NBConsumer>& consumer,
      const std::string& folder)>;
  const char* name;
  Maker make;
};

namespace samples {

inline std::shared_ptr<NBAuthOperationItem> signIn(const std::shared_ptr<NBConsumer>& consumer) {
  auto item = std::make_shared<NBAuthOperationItem>();
  item->consumer = consumer;
  item->userName = "someone";
  item->password = "secret";
  item->httpMethod = "POST";
  return item;
}

template <class Item>
std::shared_ptr<Item> file(const std::string& folder, const std::string& name) {
  auto item = std::make_shared<Item>();
  item->root = "app";
  item->path = folder + "/" + name;
  return item;
}

template <class Operation>
std::shared_ptr<NBNetworkOperation> copyLike(NBOperationDelegate* d, const std::string& folder) {
  auto item = file<NBCopyOperationItem>(folder, "a");
  item->fromPath = folder + "/a";
  item->toPath = folder + "/b";
  return std::make_shared<Operation>(d, item);
}

}  // namespace samples

// In a fixed order; the names are the fault table's row names.
inline const std::vector<OperationSample>& operationSamples() {
  using C = std::shared_ptr<NBConsumer>;
  using S = std::string;
  using D = NBOperationDelegate*;
  static const std::vector<OperationSample> list = {
      {"xauth",
       [](D d, const C& c, const S&) {
         return std::make_shared<NBXAuthOperation>(d, samples::signIn(c));
       }},
      {"three-legged OAuth",
       [](D d, const C& c, const S&) {
         return std::make_shared<NBAuth1Operation>(d, samples::signIn(c));
       }},
      {"verification image",
       [](D d, const C& c, const S&) {
         return std::make_shared<NBGetVerificationOperation>(d, samples::signIn(c));
       }},
      {"register",
       [](D d, const C& c, const S&) {
         auto item = std::make_shared<NBRegisterOperationItem>();
         item->consumer = c;
         item->userName = "someone@example.test";
         item->password = "secret";
         item->httpMethod = "POST";
         item->verifi = std::make_shared<NBVerification>();
         item->verifi->authID = "1";
         item->verifi->verifiCode = "1234";
         item->deviceID = "device";
         return std::make_shared<NBRegisterOperation>(d, item);
       }},
      {"account info",
       [](D d, const C&, const S&) {
         return std::make_shared<NBGetUserInfoOperation>(d, std::make_shared<NBOperationItem>());
       }},
      {"metadata",
       [](D d, const C&, const S& f) {
         return std::make_shared<NBGetDirectoryOperation>(
             d, samples::file<NBGetDirectoryOperationItem>(f, "folder"));
       }},
      {"upload",
       [](D d, const C&, const S& f) {
         auto item = samples::file<NBUploadFileOperationItem>(f, "up.txt");
         item->fileName = "up.txt";
         item->fileData = "uploaded bytes";
         return std::make_shared<NBUploadFileOperation>(d, item);
       }},
      {"download",
       [](D d, const C&, const S& f) {
         return std::make_shared<NBDownloadFileOperation>(
             d, samples::file<NBFolderOperationItem>(f, "file.bin"));
       }},
      {"create folder",
       [](D d, const C&, const S& f) {
         return std::make_shared<NBCreateFolderOperation>(
             d, samples::file<NBFolderOperationItem>(f, "new"));
       }},
      {"delete",
       [](D d, const C&, const S& f) {
         return std::make_shared<NBDeleteOperation>(d,
                                                    samples::file<NBFolderOperationItem>(f, "old"));
       }},
      {"move", [](D d, const C&, const S& f) { return samples::copyLike<NBMoveOperation>(d, f); }},
      {"copy", [](D d, const C&, const S& f) { return samples::copyLike<NBCopyOperation>(d, f); }},
      {"copy reference",
       [](D d, const C&, const S& f) {
         return std::make_shared<NBCopyRefOperation>(d,
                                                     samples::file<NBFolderOperationItem>(f, "a"));
       }},
      {"share link",
       [](D d, const C&, const S& f) {
         return std::make_shared<NBGetShareLinkOperation>(
             d, samples::file<NBGetShareLinkOperationItem>(f, "a"));
       }},
      {"thumbnail",
       [](D d, const C&, const S& f) {
         auto item = samples::file<NBThumbnailOperationItem>(f, "pic.png");
         item->width = 32;
         item->height = 32;
         return std::make_shared<NBThumbnailOperation>(d, item);
       }},
      {"document view",
       [](D d, const C&, const S& f) {
         auto item = samples::file<NBDocumentConvertOperationItem>(f, "doc.txt");
         item->documentType = 9;  // txt
         return std::make_shared<NBDocumentConvertOperation>(d, item);
       }},
      {"history",
       [](D d, const C&, const S& f) {
         return std::make_shared<NBGetFileHistoryOperation>(
             d, samples::file<NBFolderOperationItem>(f, "a"));
       }},
  };
  return list;
}

}  // namespace nb::test

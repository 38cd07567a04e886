// NBCallTraits tells NBClient, for every operation, which parameter record it
// takes and which value its success delivers, so that each form returns that
// value directly: Result<std::shared_ptr<NBUserInfo>> for the account info,
// Result<std::string> for a download's file path, plain Status for a call
// that succeeds without a value (registration). Compile-time only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "nb/Private/JsonFramework/JsonValue.h"
#include "nb/Private/NBAuthOperationItem.h"
#include "nb/Private/NBRegisterOperationItem.h"
#include "nb/Private/NBResult.h"
#include "nb/Private/NBToken.h"
#include "nb/Private/NBVerification.h"
#include "nb/Status.h"
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

namespace nb {

// Item: the parameter record. Value: what success delivers (void: nothing).
template <class Op>
struct NBCallTraits;  // only the operations below have one

template <class ItemT, class ValueT>
struct NBCallTraitsOf {
  using Item = ItemT;
  using Value = ValueT;
};

// One line per operation: parameter record, value of success.
// clang-format off
// Sign-in and registration (the item's consumer, else the client's).
template <> struct NBCallTraits<NBXAuthOperation> : NBCallTraitsOf<NBAuthOperationItem, std::shared_ptr<NBToken>> {};
template <> struct NBCallTraits<NBAuth1Operation> : NBCallTraitsOf<NBOperationItem, std::shared_ptr<NBToken>> {};
template <> struct NBCallTraits<NBGetVerificationOperation> : NBCallTraitsOf<NBOperationItem, std::shared_ptr<NBVerification>> {};
template <> struct NBCallTraits<NBRegisterOperation> : NBCallTraitsOf<NBRegisterOperationItem, void> {};
// File operations (the client's credentials). Text values: the reply for
// delete, move and upload, the local file's path for download and conversion.
template <> struct NBCallTraits<NBGetUserInfoOperation> : NBCallTraitsOf<NBOperationItem, std::shared_ptr<NBUserInfo>> {};
template <> struct NBCallTraits<NBGetDirectoryOperation> : NBCallTraitsOf<NBGetDirectoryOperationItem, std::shared_ptr<NBDirectoryInfo>> {};
template <> struct NBCallTraits<NBCreateFolderOperation> : NBCallTraitsOf<NBFolderOperationItem, std::shared_ptr<NBFolderInfo>> {};
template <> struct NBCallTraits<NBDeleteOperation> : NBCallTraitsOf<NBFolderOperationItem, std::string> {};
template <> struct NBCallTraits<NBMoveOperation> : NBCallTraitsOf<NBMoveOperationItem, std::string> {};
template <> struct NBCallTraits<NBCopyOperation> : NBCallTraitsOf<NBCopyOperationItem, JsonValue> {};
template <> struct NBCallTraits<NBCopyRefOperation> : NBCallTraitsOf<NBFolderOperationItem, JsonValue> {};
template <> struct NBCallTraits<NBGetShareLinkOperation> : NBCallTraitsOf<NBGetShareLinkOperationItem, JsonValue> {};
template <> struct NBCallTraits<NBGetFileHistoryOperation> : NBCallTraitsOf<NBFolderOperationItem, std::shared_ptr<NBFileHistoryList>> {};
template <> struct NBCallTraits<NBUploadFileOperation> : NBCallTraitsOf<NBUploadFileOperationItem, std::string> {};
template <> struct NBCallTraits<NBDownloadFileOperation> : NBCallTraitsOf<NBFolderOperationItem, std::string> {};
template <> struct NBCallTraits<NBDocumentConvertOperation> : NBCallTraitsOf<NBDocumentConvertOperationItem, std::string> {};
template <> struct NBCallTraits<NBThumbnailOperation> : NBCallTraitsOf<NBThumbnailOperationItem, std::vector<std::uint8_t>> {};
// clang-format on

template <class Op>
using NBCallItem = typename NBCallTraits<Op>::Item;
template <class Op>
using NBCallValue = typename NBCallTraits<Op>::Value;
// What each form of Op returns: Result<value>, or Status when there is none.
template <class Op>
using NBCallOutcome =
    std::conditional_t<std::is_void_v<NBCallValue<Op>>, Status, Result<NBCallValue<Op>>>;

namespace internal {

template <class T>
struct IsSharedPtr : std::false_type {};
template <class T>
struct IsSharedPtr<std::shared_ptr<T>> : std::true_type {
  using Element = T;
};

// The value of kind V inside a success result; an internal error when the
// operation sent something else (it would be a fault of the library).
template <class V>
Result<V> valueOf(const NBResult& result) {
  const Status wrongKind = Status::internal("the operation's result is not of the documented kind");
  if constexpr (IsSharedPtr<V>::value) {
    auto record = result.recordAs<typename IsSharedPtr<V>::Element>();
    if (!record) return wrongKind;
    return record;
  } else if constexpr (std::is_same_v<V, std::string>) {
    if (const std::string* text = result.textValue()) return *text;
    return wrongKind;
  } else if constexpr (std::is_same_v<V, std::vector<std::uint8_t>>) {
    if (const auto* bytes = result.bytesValue()) return *bytes;
    return wrongKind;
  } else {
    static_assert(std::is_same_v<V, JsonValue>, "no conversion for this value kind");
    if (const JsonValue* json = result.jsonValue()) return *json;
    return wrongKind;
  }
}

// The outcome of Op from the call's raw outcome.
template <class Op>
NBCallOutcome<Op> outcomeOf(Result<NBResult> raw) {
  if constexpr (std::is_void_v<NBCallValue<Op>>) {
    return raw.ok() ? Status::OK() : raw.status();
  } else {
    if (!raw.ok()) return raw.status();
    return valueOf<NBCallValue<Op>>(raw.value());
  }
}

}  // namespace internal
}  // namespace nb

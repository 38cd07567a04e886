// Seeder: fills the stores from a seed folder, for tests that start from known
// data. The folder holds one subfolder per user, and in it one folder per
// root ("app", ...) whose tree is copied as it stands; users.json beside them
// gives the passwords, quotas and consumers:
//   {"users": {"carol": {"password": "p", "quota": 1000000, "max_file_size": 500000}},
//    "consumers": [{"name": "app", "key": "k", "secret": "s"}]}
// Uses the stores it is given; one thread.
#pragma once

#include <string>

#include "nb/Status.h"
#include "server/AccountStore.h"
#include "server/BlobStore.h"
#include "server/FileTree.h"

namespace nb::server {

class Seeder {
 public:
  Seeder(AccountStore& accounts, FileTree& tree, const BlobStore& blobs)
      : accounts_(accounts), tree_(tree), blobs_(blobs) {}

  // Adds the users (an existing one keeps its password and settings), the
  // consumers and every folder and file; an error names what could not be read or stored.
  Status seed(const std::string& folder);

 private:
  Status seedTree(const Owner& owner, std::int64_t quota, const std::string& local,
                  const std::string& remote);
  Status storeFile(const Owner& owner, std::int64_t quota, const std::string& local,
                   const std::string& remote);

  AccountStore& accounts_;
  FileTree& tree_;
  const BlobStore& blobs_;
};

}  // namespace nb::server

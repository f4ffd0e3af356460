// Another process holding a gdbm file open for writing (gdbm admits one writer), so that
// the store's writes to it fail, until the holder is destroyed.
#pragma once

#include <sys/types.h>

#include <string>

namespace console_test {

class DatabaseHolder {
 public:
  explicit DatabaseHolder(const std::string& hostFile);
  ~DatabaseHolder();
  DatabaseHolder(const DatabaseHolder&) = delete;
  DatabaseHolder& operator=(const DatabaseHolder&) = delete;
  bool Holding() const { return holding_; }

 private:
  pid_t child_ = -1;
  bool holding_ = false;
};

}  // namespace console_test

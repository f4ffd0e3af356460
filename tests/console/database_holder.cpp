// The gdbm writer kept in a child process.
#include "database_holder.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gdbm.h>

namespace console_test {

DatabaseHolder::DatabaseHolder(const std::string& hostFile) {
  int ready[2];
  if (pipe(ready) != 0) return;
  child_ = fork();
  if (child_ == 0) {
    GDBM_FILE db = gdbm_open(hostFile.c_str(), 1024, GDBM_WRITER, 0664, nullptr);
    char byte = db ? 'y' : 'n';
    (void)!write(ready[1], &byte, 1);
    for (;;) pause();
  }
  char byte = 0;
  holding_ = child_ > 0 && read(ready[0], &byte, 1) == 1 && byte == 'y';
  close(ready[0]);
  close(ready[1]);
}

DatabaseHolder::~DatabaseHolder() {
  if (child_ <= 0) return;
  kill(child_, SIGKILL);
  int status = 0;
  waitpid(child_, &status, 0);
}

}  // namespace console_test

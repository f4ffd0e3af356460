// How the socket server names a connecting process: image names from executable paths,
// start times from /proc/PID/stat, and both read for live and ended processes.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "nb/server/socket_server.h"

namespace {

using nb::server::ImageNameOf;
using nb::server::ProcessIdentity;
using nb::server::ReadProcessIdentity;
using nb::server::StartTimeOf;

TEST(ImageName, IsTheExecutablesLastComponentWithExeWhenItHasNoExtension) {
  struct Case {
    const char* path;
    const char* image;
  };
  for (const Case& c : {Case{"/opt/nimbra/NBSvc", "NBSvc.exe"}, Case{"/opt/nimbra/NBAdmin.exe", "NBAdmin.exe"},
                        Case{"/usr/sbin/smbd", "smbd.exe"}, Case{"/usr/bin/python3.11", "python3.11"},
                        Case{"/tmp/old/NBSvc (deleted)", "NBSvc.exe"}, Case{"NBSvc", "NBSvc.exe"}}) {
    EXPECT_EQ(ImageNameOf(c.path), c.image) << c.path;
  }
}

TEST(StartTime, IsField22CountedAfterTheCommandName) {
  // A command name may hold spaces and parentheses of its own.
  const std::string fields = " S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 98765 20 21\n";
  struct Case {
    std::string stat;
    bool found;
    uint64_t startTime;
  };
  const Case cases[] = {
      {"4242 (NBSvc)" + fields, true, 98765},
      {"4242 (a ) b (c) d)" + fields, true, 98765},
      {"4242 (NBSvc) S 1 2 3", false, 0},
      {"4242 NBSvc S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 98765", false, 0},
      {"4242 (NBSvc) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 x98765 20", false, 0},
  };
  for (const Case& c : cases) {
    uint64_t startTime = 0;
    EXPECT_EQ(StartTimeOf(c.stat, &startTime), c.found) << c.stat;
    if (c.found) {
      EXPECT_EQ(startTime, c.startTime) << c.stat;
    }
  }
}

TEST(ProcessIdentity, OfThisProcessIsStableAndOfAnEndedOneIsRefused) {
  ProcessIdentity first;
  ProcessIdentity second;
  ASSERT_EQ(ReadProcessIdentity(getpid(), &first), STATUS_SUCCESS);
  ASSERT_EQ(ReadProcessIdentity(getpid(), &second), STATUS_SUCCESS);
  EXPECT_EQ(first.processId, static_cast<ULONG>(getpid()));
  EXPECT_EQ(first.imageName, "protocol_identity_test.exe");
  EXPECT_NE(first.startTime, 0u);
  EXPECT_EQ(first.startTime, second.startTime);

  pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  ProcessIdentity ended;
  EXPECT_EQ(ReadProcessIdentity(child, &ended), STATUS_INVALID_CID);
}

}  // namespace

// Which process a record takes for its server, against real processes:
// servers started elsewhere, pids reused after a server ended, and lock
// files that look newer than their server because the clock moved.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "KestrondInstance.h"
#include "LockFile.h"
#include "Paths.h"
#include "TestSupport.h"

namespace kestrond {
namespace {

// The kernel's clone3 arguments up to set_tid_size (version 1 of the layout).
struct CloneArguments {
  uint64_t flags, pidfd, childTid, parentTid, exitSignal, stack, stackSize, tls;
  uint64_t setTid, setTidSize;
};

class ServerIdentityTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (pid_t pid : children) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

  // Starts the stand-in in `path` the way a shell or an earlier monitor
  // would have: not through this process's control. Returns its pid once
  // its lock file names it.
  pid_t startForeignServer(const std::string& path) {
    std::string server = test::standinServerPath();
    pid_t child = fork();
    if (child == 0) {
      int null = open("/dev/null", O_RDWR);
      if (chdir(path.c_str()) != 0 || null < 0) _exit(126);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      setsid();
      execl(server.c_str(), "kestrond", "-f", static_cast<char*>(nullptr));
      _exit(127);
    }
    children.push_back(child);
    EXPECT_TRUE(test::waitFor([&] { return readLockFile(path + "/kestrond.lck").pid == child; }));
    return child;
  }

  // Kills a child of this test and collects it, so that its pid is free.
  void killAndCollect(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::erase(children, pid);
  }

  // A new process that waits in `directory` under the free pid `pid`, or 0
  // with `why` set when the system will not give that pid (it takes
  // CAP_SYS_ADMIN).
  pid_t takeOverPid(pid_t pid, const std::string& directory, std::string& why) {
    uint64_t wanted = static_cast<uint64_t>(pid);
    CloneArguments arguments{};
    arguments.exitSignal = SIGCHLD;
    arguments.setTid = reinterpret_cast<uintptr_t>(&wanted);
    arguments.setTidSize = 1;
    long child = syscall(SYS_clone3, &arguments, sizeof arguments);
    if (child == 0) {
      if (chdir(directory.c_str()) != 0) _exit(126);
      while (true) pause();
    }
    if (child < 0) {
      why = std::string("clone3 cannot give a chosen pid here: ") + std::strerror(errno);
      return 0;
    }
    children.push_back(static_cast<pid_t>(child));
    return static_cast<pid_t>(child);
  }

  bool isAlive(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }

  // Lets enough time pass that a process started from now on is younger
  // than any lock file written so far, by more than the tolerance.
  static void outliveTheLockFile() { std::this_thread::sleep_for(std::chrono::milliseconds(1300)); }

  test::TempDir dir;
  test::LogCapture log;
  test::RecordingProcessControl control{log};
  std::vector<pid_t> children;
};

TEST_F(ServerIdentityTest, ReusedPidOfARunningServerIsNeverSignalled) {
  std::string path = dir.makeInstance("demo");
  pid_t server = startForeignServer(path);
  KestrondInstance record(path, control, log);
  record.refresh();
  ASSERT_EQ(record.serverStatus(), ServerStatus::Running);
  ASSERT_EQ(record.pid(), server);

  // The server dies without removing its lock file while the menu is
  // closed, and its pid goes to an unrelated process.
  outliveTheLockFile();
  killAndCollect(server);
  std::string why;
  pid_t stranger = takeOverPid(server, dir.path(), why);
  if (stranger == 0) GTEST_SKIP() << why;

  EXPECT_FALSE(record.shutdown());
  EXPECT_EQ(record.serverStatus(), ServerStatus::Stopped);
  KestrondInstance fresh(path, control, log);
  fresh.refresh();
  EXPECT_EQ(fresh.serverStatus(), ServerStatus::Stopped);
  EXPECT_TRUE(control.signals.empty());
  EXPECT_TRUE(isAlive(stranger));
  EXPECT_EQ(log.lines().at(0), "stale .lck file detected: " + path + "/kestrond.lck");
}

TEST_F(ServerIdentityTest, ReusedPidOfAStoppingServerIsNeverSignalled) {
  std::string path = dir.makeInstance("demo", "[standin]\nignore_sigterm = true\n");
  pid_t server = startForeignServer(path);
  KestrondInstance record(path, control, log);
  ASSERT_TRUE(record.shutdown());
  record.refresh();
  ASSERT_EQ(record.serverStatus(), ServerStatus::Stopping);

  outliveTheLockFile();
  killAndCollect(server);
  std::string why;
  pid_t stranger = takeOverPid(server, dir.path(), why);
  if (stranger == 0) GTEST_SKIP() << why;

  record.refresh();
  EXPECT_EQ(record.serverStatus(), ServerStatus::Stopped);
  EXPECT_FALSE(record.shutdown());
  EXPECT_EQ(control.signals.size(), 1u);  // the first SIGTERM only
  EXPECT_TRUE(isAlive(stranger));
}

TEST_F(ServerIdentityTest, ServerThatEndedIsStoppedWhileStillAZombie) {
  // Its parent has not collected it yet: the null signal still reaches it,
  // but it has ended.
  std::string path = dir.makeInstance("demo");
  pid_t server = startForeignServer(path);
  KestrondInstance record(path, control, log);
  record.refresh();
  ASSERT_EQ(record.serverStatus(), ServerStatus::Running);
  kill(server, SIGKILL);
  ASSERT_TRUE(test::waitFor([&] {
    siginfo_t info{};
    return waitid(P_PID, server, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == server;
  }));
  record.refresh();
  EXPECT_EQ(record.serverStatus(), ServerStatus::Stopped);
  EXPECT_FALSE(record.shutdown());
}

TEST_F(ServerIdentityTest, ServerWhoseLockFileLooksNewerIsKnownByWhatItRuns) {
  // As after a forward step of the wall clock: the lock file's mtime lies
  // before the server's start as the process table now maps it.
  std::string path = dir.makeInstance("demo");
  pid_t server = startForeignServer(path);
  timespec past[2] = {{0, UTIME_OMIT}, {time(nullptr) - 5, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (path + "/kestrond.lck").c_str(), past, 0), 0);

  KestrondInstance record(path, control, log);
  record.refresh();
  EXPECT_EQ(record.serverStatus(), ServerStatus::Running);
  EXPECT_EQ(record.pid(), server);
  ASSERT_TRUE(record.shutdown());
  int status = 0;
  ASSERT_TRUE(test::waitFor([&] { return waitpid(server, &status, WNOHANG) == server; }));
  std::erase(children, server);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(test::refreshUntil(record, ServerStatus::Stopped));
  EXPECT_TRUE(log.lines().empty());
}

// A server that is a script runs as its interpreter, so its executable's
// name says nothing; what the monitor gave it on its command line does,
// also after a step of the clock. Both kinds of script: with a "#!" line
// (the kernel runs the interpreter) and without (run through /bin/sh).
TEST_F(ServerIdentityTest, ScriptServerWhoseLockFileLooksNewerIsKnownByItsCommandLine) {
  for (const char* header : {"#!/bin/sh\n", ""}) {
    SCOPED_TRACE(*header ? "with a #! line" : "without one");
    std::string path = dir.makeInstance(*header ? "script" : "plain");
    std::string script =
        dir.writeFile(lastPathComponent(path) + "/kestrond",
                      std::string(header) + "echo $$ > kestrond.lck\nwhile :; do sleep 1; done\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    KestrondInstance launcher(path, control, log);
    ASSERT_TRUE(launcher.startup());
    pid_t server = launcher.pid();
    children.push_back(server);  // ended with the test whatever happens
    ASSERT_TRUE(test::refreshUntil(launcher, ServerStatus::Running));
    timespec past[2] = {{0, UTIME_OMIT}, {time(nullptr) - 5, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (path + "/kestrond.lck").c_str(), past, 0), 0);

    // A monitor started afterwards knows it only by what the process shows.
    KestrondInstance record(path, control, log);
    record.refresh();
    EXPECT_EQ(record.serverStatus(), ServerStatus::Running);
    EXPECT_EQ(record.pid(), server);
    ASSERT_TRUE(record.shutdown());
    ASSERT_TRUE(test::refreshUntil(record, ServerStatus::Stopped));
    ASSERT_TRUE(test::refreshUntil(launcher, ServerStatus::Stopped));
  }
}

TEST_F(ServerIdentityTest, YoungerProcessInTheDirectoryThatRunsNoServerIsStale) {
  // A shell left in the instance directory, say, that was given the pid of
  // a server which ended without removing its lock file.
  std::string path = dir.makeInstance("demo");
  pid_t server = startForeignServer(path);
  outliveTheLockFile();
  killAndCollect(server);
  std::string why;
  pid_t stranger = takeOverPid(server, path, why);
  if (stranger == 0) GTEST_SKIP() << why;

  KestrondInstance record(path, control, log);
  record.refresh();
  EXPECT_EQ(record.serverStatus(), ServerStatus::Stopped);
  EXPECT_FALSE(record.shutdown());
  EXPECT_TRUE(isAlive(stranger));
}

}  // namespace
}  // namespace kestrond

// The process spawner and the owned descriptor, with real child processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/foundation/Spawn.h"
#include "platform/foundation/UniqueFd.h"

namespace lumora {
namespace {

std::string readAll(int fd) {
  std::string out;
  char buffer[256];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
    out.append(buffer, static_cast<size_t>(got));
  }
  return out;
}

bool isOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFdTest, ClosesOnceWhenItsLastOwnerGoes) {
  auto pipe = makePipe();
  ASSERT_TRUE(pipe);
  const int fd = pipe->read.get();
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  UniqueFd moved = std::move(pipe->read);
  EXPECT_FALSE(pipe->read.valid());
  EXPECT_EQ(moved.get(), fd);
  EXPECT_TRUE(isOpen(fd));
  {
    UniqueFd last;
    last = std::move(moved);
  }
  EXPECT_FALSE(isOpen(fd));
  UniqueFd released(::dup(pipe->write.get()));
  const int kept = released.release();
  released.reset();
  EXPECT_TRUE(isOpen(kept));
  ::close(kept);
}

TEST(SpawnTest, GivesTheChildItsStreamsEnvironmentAndGroup) {
  auto out = makePipe();
  ASSERT_TRUE(out);
  const std::vector<std::string> environment = {"GREETING=hello there"};
  SpawnRequest request;
  request.argv = {"/bin/sh", "-c",
                  "printf '%s|' \"$GREETING\"; read -r line || printf 'eof|'; "
                  "ps -o sid= -o pgid= -p $$ | awk '{print $1 \"|\" $2}'; echo err >&2"};
  request.environment = &environment;
  request.input = ChildStream::null();
  request.output = ChildStream::from(out->write.get());
  request.error = ChildStream::null();
  request.group = ChildGroup::newSession;
  auto child = spawnProcess(request);
  ASSERT_TRUE(child) << child.error().description;
  out->write.reset();
  const std::string printed = readAll(out->read.get());
  auto status = waitForExit(*child);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  const std::string self = std::to_string(*child);
  EXPECT_EQ(printed, "hello there|eof|" + self + "|" + self + "\n");
}

TEST(SpawnTest, ANewGroupIsLedByTheChildAndPathIsSearchedOnlyWhenAsked) {
  auto out = makePipe();
  ASSERT_TRUE(out);
  SpawnRequest request;
  request.argv = {"sh", "-c", "ps -o pgid= -p $$ | tr -d ' '"};
  request.searchPath = true;
  request.output = ChildStream::from(out->write.get());
  request.group = ChildGroup::newGroup;
  auto child = spawnProcess(request);
  ASSERT_TRUE(child) << child.error().description;
  out->write.reset();
  EXPECT_EQ(readAll(out->read.get()), std::to_string(*child) + "\n");
  ASSERT_TRUE(waitForExit(*child));

  request.searchPath = false;
  request.output = ChildStream::inherit();
  auto missing = spawnProcess(request);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code, ENOENT);
  EXPECT_EQ(missing.error().description, "No such file or directory");
  request.argv.clear();
  EXPECT_FALSE(spawnProcess(request));
}

}  // namespace
}  // namespace lumora

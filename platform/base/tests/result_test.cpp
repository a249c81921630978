#include "platform/base/result.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/base/unique_fd.h"

#include <fcntl.h>

namespace vorlane {
namespace {

Result<std::unique_ptr<int>> MakeValue(bool fail) {
  if (fail) return Error{22, "bad"};
  return std::make_unique<int>(7);
}

TEST(Result, CarriesMoveOnlyValueOrError) {
  auto good = MakeValue(false);
  ASSERT_TRUE(good.ok());
  std::unique_ptr<int> taken = std::move(good).value();
  EXPECT_EQ(*taken, 7);

  auto bad = MakeValue(true);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().code, 22);
  EXPECT_EQ(bad.error().message, "bad");
}

TEST(Result, StatusDefaultsToSuccess) {
  Status ok;
  EXPECT_TRUE(ok.ok());
  Status failed = Error{5, "io"};
  EXPECT_FALSE(failed);
  EXPECT_EQ(failed.error().code, 5);
}

TEST(UniqueFd, ClosesOnceAndMovesOwnership) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[1]);
  UniqueFd a(fds[0]);
  UniqueFd b(std::move(a));
  EXPECT_FALSE(a.valid());
  EXPECT_EQ(b.get(), fds[0]);
  b.reset();
  // The descriptor is closed now: fcntl on it fails.
  EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1);
}

}  // namespace
}  // namespace vorlane

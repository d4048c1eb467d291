#include "journel/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <type_traits>
#include <utility>

namespace journel {
namespace {

static_assert(!std::is_copy_constructible_v<UniqueFd> && !std::is_copy_assignable_v<UniqueFd>);
static_assert(std::is_nothrow_move_constructible_v<UniqueFd> &&
              std::is_nothrow_move_assignable_v<UniqueFd> &&
              std::is_nothrow_destructible_v<UniqueFd>);

// A pipe whose write end the test hands to owners: the read end sees end-of-file exactly when
// the write end has been closed. It does not block, so a descriptor left open fails the test
// instead of hanging it.
class UniqueFdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::array<int, 2> ends{};
    ASSERT_EQ(::pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK), 0);
    read_end_.reset(ends[0]);
    write_end_ = ends[1];
  }

  // True once every copy of the write end is closed.
  bool write_end_closed() const {
    char byte = 0;
    return ::read(read_end_.get(), &byte, 1) == 0;
  }

  UniqueFd read_end_;
  int write_end_ = -1;
};

TEST_F(UniqueFdTest, ClosesItsDescriptorWhenItGoes) {
  { const UniqueFd owner(write_end_); }
  EXPECT_TRUE(write_end_closed());
}

TEST_F(UniqueFdTest, AMoveHandsTheDescriptorOnAndTheEmptiedOwnerClosesNothing) {
  UniqueFd first(write_end_);
  UniqueFd second(std::move(first));
  EXPECT_FALSE(first.valid());  // NOLINT(bugprone-use-after-move): the state after a move counts
  EXPECT_EQ(second.get(), write_end_);
  first.reset();
  ASSERT_EQ(::write(second.get(), "x", 1), 1) << "still open after the moved-from owner reset";

  UniqueFd third;
  third = std::move(second);
  EXPECT_EQ(third.get(), write_end_);
  UniqueFd& same = third;
  third = std::move(same);
  EXPECT_EQ(third.get(), write_end_) << "a move onto itself keeps the descriptor";
  third.reset();
  char byte = 0;
  EXPECT_EQ(::read(read_end_.get(), &byte, 1), 1);
  EXPECT_TRUE(write_end_closed());
}

TEST_F(UniqueFdTest, MoveAssignmentClosesTheDescriptorItHeld) {
  UniqueFd holder(write_end_);
  holder = UniqueFd();
  EXPECT_FALSE(holder.valid());
  EXPECT_TRUE(write_end_closed());
}

TEST_F(UniqueFdTest, ReleaseGivesTheDescriptorUpWithoutClosingIt) {
  int released = -1;
  {
    UniqueFd owner(write_end_);
    released = owner.release();
    EXPECT_FALSE(owner.valid());
  }
  EXPECT_EQ(released, write_end_);
  EXPECT_EQ(::write(released, "x", 1), 1);
  ::close(released);
}

TEST_F(UniqueFdTest, ResetClosesTheOldDescriptorAndTakesTheNewOne) {
  const int other = ::dup(read_end_.get());
  ASSERT_GE(other, 0);
  UniqueFd owner(write_end_);
  owner.reset(other);
  EXPECT_EQ(owner.get(), other);
  EXPECT_TRUE(write_end_closed());
}

TEST_F(UniqueFdTest, CloseReportsItsOutcomeOnceAndLeavesTheOwnerEmpty) {
  UniqueFd owner(write_end_);
  EXPECT_EQ(owner.close(), 0);
  EXPECT_FALSE(owner.valid());
  EXPECT_EQ(owner.close(), 0) << "nothing left to close";
  EXPECT_TRUE(write_end_closed());
}

TEST(UniqueFdEmptyTest, AFailedOpenMakesAnEmptyOwner) {
  const UniqueFd failed(-1);
  EXPECT_FALSE(failed.valid());
  EXPECT_EQ(failed.get(), -1);
  EXPECT_FALSE(UniqueFd().valid());
}

}  // namespace
}  // namespace journel

#include "net/status.h"

#include <cerrno>

#include <gtest/gtest.h>

namespace orvel {
namespace {

TEST(Status, ErrnoKeepsContextCodeAndNumber) {
  Status ok;
  EXPECT_TRUE(ok.ok());
  EXPECT_EQ(ok.ToString(), "OK");

  Status refused = Status::FromErrno("connect 127.0.0.1:7101", ECONNREFUSED);
  EXPECT_FALSE(refused.ok());
  EXPECT_EQ(refused.code(), Status::Code::kIOError);
  EXPECT_EQ(refused.sys_errno(), ECONNREFUSED);
  EXPECT_EQ(refused.ToString(), "connect 127.0.0.1:7101: Connection refused");
  EXPECT_EQ(refused.WithContext("member 2").ToString(),
            "member 2: connect 127.0.0.1:7101: Connection refused");

  Status late = Status::FromErrno("read", ETIMEDOUT);
  EXPECT_TRUE(late.IsTimedOut());
  EXPECT_STREQ(late.CodeName(), "timed_out");
  EXPECT_EQ(Status::Protocol("").ToString(), "protocol");
  EXPECT_EQ(Status::OK().WithContext("x").ToString(), "OK");
}

}  // namespace
}  // namespace orvel

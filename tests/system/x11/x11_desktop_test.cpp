#include <gtest/gtest.h>

#include "platform/x11/x11_desktop.h"
#include "support/xvfb.h"

namespace tovel::test {
namespace {

TEST(X11Desktop, OpensOnlyAReachableDisplay) {
  EXPECT_EQ(X11Desktop::open(":4321"), nullptr);
  XvfbServer server;
  ASSERT_TRUE(server.running());
  auto desktop = X11Desktop::open(server.display());
  ASSERT_NE(desktop, nullptr);
  EXPECT_EQ(desktop->displayName(), server.display());
}

} // namespace
} // namespace tovel::test

// The plug-in in the real host program: loaded, started, logging through the
// host's logger service, and stopped on SIGTERM.

#include <gtest/gtest.h>

#include <csignal>

#include "support/Subprocess.h"
#include "support/TempDir.h"

TEST(BizlDemoHostTest, RunsInTheHostAndLogsThroughItsLogger) {
  TempDir dir;
  std::string config = dir.write("host.ini", std::string("[host]\nplugins = ") + BIZL_DEMO_PLUGIN +
                                                 "\nlog_file = host.log\n[scope0]\nBizlDemo/DataRoot = " + dir.path() +
                                                 "\nBizlDemo/EventInterval = 250\n");
  Subprocess host({TESSARO_HOST, "--config", config});
  ASSERT_TRUE(host.waitForOutput("running 1 component(s)")) << host.output();
  host.signal(SIGTERM);
  ASSERT_EQ(0, host.wait()) << host.output();

  const std::string log = TempDir::read(dir.file("host.log"));
  const std::string started = "\x0B" "bizl\x0B[0]\x0B" "Demo business logic started, data folder " + dir.path() +
                              ", event interval 250 ms\n";
  EXPECT_NE(std::string::npos, log.find(std::string("loaded kivrabizldemo from ") + BIZL_DEMO_PLUGIN)) << log;
  EXPECT_NE(std::string::npos, log.find(started)) << log;
  EXPECT_LT(log.find(started), log.find("stop kivrabizldemo")) << log;
  EXPECT_NE(std::string::npos, log.find("destroy kivrabizldemo")) << log;
}

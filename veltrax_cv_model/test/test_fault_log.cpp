// Which repeated fault lines reach the log.
#include "veltrax_cv_model/fault_log.hpp"

#include <gtest/gtest.h>

#include <string>

namespace veltrax_cv_model
{
namespace
{

using namespace std::chrono_literals;
using Clock = FaultLog::Clock;

TEST(FaultLog, LogsAFaultWhenItStartsAndThenOnlyAsAReminder)
{
  FaultLog log(30s);
  const Clock::time_point t0{};
  EXPECT_TRUE(log.report("frame cycle", "No input camera data", t0));
  for (int tick = 1; tick < 300; ++tick) {  // 10 Hz for 30 s
    ASSERT_FALSE(log.report("frame cycle", "No input camera data", t0 + tick * 100ms));
  }
  EXPECT_TRUE(log.report("frame cycle", "No input camera data", t0 + 30s));
  // The reminder starts the next period.
  EXPECT_FALSE(log.report("frame cycle", "No input camera data", t0 + 59s));
  EXPECT_TRUE(log.report("frame cycle", "No input camera data", t0 + 60s));
  // A new fault at the same site, or the same text at another site, is news.
  EXPECT_TRUE(log.report("frame cycle", "camera1_pub_info_time except!", t0 + 31s));
  EXPECT_TRUE(log.report("web worker", "No input camera data", t0 + 31s));
}

TEST(FaultLog, SaysOnceThatALoggedFaultCleared)
{
  FaultLog log(30s);
  const Clock::time_point t0{};
  EXPECT_FALSE(log.clear("depth"));  // nothing was wrong
  EXPECT_TRUE(log.report("depth", "refused", t0));
  EXPECT_FALSE(log.report("depth", "refused", t0 + 1s));  // the logged fault is still announced
  EXPECT_TRUE(log.clear("depth"));
  EXPECT_FALSE(log.clear("depth"));

  // A fault that comes and goes every frame is not logged every other frame, and neither is
  // its recovery.
  int lines = 0;
  for (int frame = 1; frame < 200; ++frame) {
    lines += log.report("depth", "refused", t0 + frame * 100ms) ? 1 : 0;
    lines += log.clear("depth") ? 1 : 0;
  }
  EXPECT_EQ(lines, 0);
  EXPECT_TRUE(log.report("depth", "refused", t0 + 30s));
}

TEST(FaultLog, StaysBoundedWhenEveryTextOrSiteIsNew)
{
  FaultLog log(30s);
  const Clock::time_point t0{};
  int texts_logged = 0;
  int sites_logged = 0;
  for (int i = 0; i < 1000; ++i) {
    const Clock::time_point now = t0 + i * 10ms;  // all within one period
    texts_logged += log.report("web worker", "bottom centre " + std::to_string(i), now) ? 1 : 0;
    sites_logged += log.report("depth image " + std::to_string(i), "refused", now) ? 1 : 0;
  }
  EXPECT_EQ(texts_logged, static_cast<int>(FaultLog::kMaxTextsPerSite) + 1);
  // "web worker" takes one of the sites; the 15 others log "refused", and the sites beyond the
  // bound share one, which logs it once.
  EXPECT_EQ(sites_logged, static_cast<int>(FaultLog::kMaxSites));
}

TEST(FaultLog, FormatsTexts)
{
  EXPECT_EQ(format_text("%d, rknn_run error!  status = %d", 1362, -3),
            "1362, rknn_run error!  status = -3");
  EXPECT_EQ(format_text("%s", std::string(5000, 'x').c_str()).size(), 5000u);
}

}  // namespace
}  // namespace veltrax_cv_model

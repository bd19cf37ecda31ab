#include "common/logging/LoggerClient.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <thread>

#include "common/logging/LogRecord.h"
#include "support/LogCapture.h"
#include "tessaro/ConfigurationManager.h"
#include "tessaro/LoggerService.h"

namespace {

TEST(LogLevelTest, ParsesNumbersAndNames) {
  EXPECT_EQ(3, parseLogLevel("3"));
  EXPECT_EQ(parseLogLevel("3"), parseLogLevel("WARNING"));
  EXPECT_EQ(0, parseLogLevel("DEBUG"));
  EXPECT_EQ(4, parseLogLevel("ERROR"));
  EXPECT_EQ(10, parseLogLevel("warning"));
  EXPECT_EQ(10, parseLogLevel(""));
  EXPECT_EQ(10, parseLogLevel("3x"));
  EXPECT_EQ(10, parseLogLevel(" 3"));
  EXPECT_EQ(65535, parseLogLevel("65535"));
  EXPECT_EQ(10, parseLogLevel("65536"));  // not an unsigned 16-bit number, not a name
  EXPECT_STREQ("Undefined", logLevelName(7));
  EXPECT_STREQ("Undefined", logLevelName(-1));
  EXPECT_STREQ("lcm", logComponentName(7));
  EXPECT_STREQ("Unknown", logComponentName(6));
}

TEST(LoggerClientTest, ThresholdComesFromTheConfiguration) {
  ConfigurationManager* shared = ConfigurationManager::getDefaultInstance(ConfigScopeShared);
  shared->setValue("KivraLogger/Level", "INFO");
  LoggerClient client(shared);
  shared->removeValue("KivraLogger/Level");
  EXPECT_EQ(2, client.threshold());
  EXPECT_EQ(0, LoggerClient(shared).threshold());

  auto queue = std::make_shared<LogLineQueue>();
  client.setQueue(queue);
  EXPECT_TRUE(client.write(LOG_INFO, "ostrel", "", 0, "Shutdown"));
  EXPECT_FALSE(client.write(LOG_DEBUG, "ostrel", "", 0, "dropped"));
  ASSERT_EQ(1u, queue->lines.size());
  EXPECT_NE(std::string::npos, queue->lines.front().find("Shutdown"));
}

TEST(LoggerClientTest, LineHasSixFieldsInTheFixedForm) {
  std::vector<std::string> f =
      LogCapture::fields(LoggerClient::formatLine(7, "Unknown", "file.cpp", 12, "text with\x0Bnothing"));
  ASSERT_EQ(7u, f.size());  // the text's own 0x0B is not escaped
  // The date-time library's default time-point text; the fraction only when not zero.
  EXPECT_TRUE(std::regex_match(f[0], std::regex(R"(\d{4}-[A-Z][a-z]{2}-\d{2} \d{2}:\d{2}:\d{2}(\.\d{6})?)")))
      << f[0];
  EXPECT_EQ(LoggerClient::threadField(), f[1]);
  EXPECT_EQ("Undefined", f[2]);
  EXPECT_EQ("Unknown", f[3]);
  EXPECT_EQ("file.cpp[12]", f[4]);
  EXPECT_EQ("text with", f[5]);
}

TEST(LoggerClientTest, TimeFieldIsTheDefaultTimePointText) {
  struct Case {
    int64_t microsSinceEpoch;
    const char* text;
  };
  const Case cases[] = {
      {1299506709123456, "2011-Mar-07 14:05:09.123456"},
      {1299506709000000, "2011-Mar-07 14:05:09"},  // a zero fraction is not written
      {1299506709000042, "2011-Mar-07 14:05:09.000042"},
      {1234567890010000, "2009-Feb-13 23:31:30.010000"},
      {0, "1970-Jan-01 00:00:00"},
      {-1, "1969-Dec-31 23:59:59.999999"},
      {951782400000001, "2000-Feb-29 00:00:00.000001"},
      {1709251199999999, "2024-Feb-29 23:59:59.999999"},
      {4102444799100000, "2099-Dec-31 23:59:59.100000"},
      {7258118399999999, "2199-Dec-31 23:59:59.999999"},
  };
  for (const Case& c : cases) {
    const std::chrono::system_clock::time_point when{std::chrono::microseconds(c.microsSinceEpoch)};
    EXPECT_EQ(c.text, LoggerClient::timeField(when)) << c.microsSinceEpoch;
  }
  // Below the microsecond nothing is written, nor rounded up.
  const std::chrono::system_clock::time_point nanos{std::chrono::duration_cast<std::chrono::system_clock::duration>(
      std::chrono::microseconds(1299506709000000) + std::chrono::nanoseconds(999))};
  EXPECT_EQ("2011-Mar-07 14:05:09", LoggerClient::timeField(nanos));
  // Every month by its English abbreviation, whatever the locale.
  const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const int64_t firstOfMonth2011[] = {14975, 15006, 15034, 15065, 15095, 15126,
                                      15156, 15187, 15218, 15248, 15279, 15309};
  for (int m = 0; m < 12; ++m) {
    const std::chrono::system_clock::time_point when{std::chrono::hours(24 * firstOfMonth2011[m])};
    EXPECT_EQ(std::string("2011-") + months[m] + "-01 00:00:00", LoggerClient::timeField(when));
  }
}

TEST(LoggerClientTest, ThreadFieldIsTheNativeIdInHexadecimal) {
  std::ostringstream native;
  native << std::hex << pthread_self();
  EXPECT_EQ(native.str(), LoggerClient::threadField());
  EXPECT_TRUE(std::regex_match(LoggerClient::threadField(), std::regex("[0-9a-f]+"))) << LoggerClient::threadField();
  std::string other;
  std::thread([&] { other = LogCapture::fields(LoggerClient::formatLine(2, "ostrel", "", 0, "x"))[1]; }).join();
  EXPECT_TRUE(std::regex_match(other, std::regex("[0-9a-f]+"))) << other;
  EXPECT_NE(LoggerClient::threadField(), other);
}

TEST(LoggerClientTest, RecordsBeforeAQueueAreDropped) {
  LoggerClient client(nullptr);
  EXPECT_FALSE(client.write(LOG_ERROR, "ostrel", "", 0, "lost"));
  EXPECT_EQ(nullptr, client.queue());
}

TEST(LoggerClientTest, WakesTheConsumerOnlyWhenTheQueueWasEmpty) {
  LoggerClient client(nullptr);
  auto queue = std::make_shared<LogLineQueue>();
  client.setQueue(queue);
  client.write(LOG_INFO, "ostrel", "", 0, "one");
  client.write(LOG_INFO, "ostrel", "", 0, "two");
  EXPECT_EQ(1u, queue->wakeUps);
  queue->lines.clear();
  client.write(LOG_INFO, "ostrel", "", 0, "three");
  EXPECT_EQ(2u, queue->wakeUps);
}

TEST(LogRecordTest, SubmitsThroughTheProcessClientWithComponentName) {
  LogCapture capture;
  LogRecord(LOG_WARNING, 6, "", 0) << "count " << 42 << ' ' << 1.5;
  OSTREL_LOG(LOG_INFO) << "plain";
  std::vector<std::string> lines = capture.lines();
  ASSERT_EQ(2u, lines.size());
  std::vector<std::string> first = LogCapture::fields(lines[0]);
  EXPECT_EQ("WARNING", first[2]);
  EXPECT_EQ("Unknown", first[3]);
  EXPECT_EQ("[0]", first[4]);
  EXPECT_EQ("count 42 1.5", first[5]);
  EXPECT_EQ("ostrel", LogCapture::fields(lines[1])[3]);
}

TEST(LoggerClientTest, FetchQueueTakesTheLoggerServiceQueue) {
  FILE* sink = std::tmpfile();
  LoggerService service(sink, false);
  ASSERT_TRUE(service.start());
  LoggerClient client(nullptr);
  client.fetchQueue();
  ASSERT_EQ(service.queue(), client.queue());
  EXPECT_TRUE(client.write(LOG_ERROR, "ostrel", "", 0, "to the file"));
  service.stop();  // drains what is queued
  std::rewind(sink);
  char buffer[512] = {};
  size_t n = std::fread(buffer, 1, sizeof buffer - 1, sink);
  std::string written(buffer, n);
  EXPECT_NE(std::string::npos, written.find("\x0B" "ERROR\x0Bostrel\x0B[0]\x0Bto the file\n")) << written;
  std::fclose(sink);
}

TEST(LoggerClientTest, AForgedTextStaysOneLineOfSixFields) {
  FILE* sink = std::tmpfile();
  LoggerService service(sink, false);
  ASSERT_TRUE(service.start());
  LoggerClient client(nullptr);
  client.fetchQueue();
  // What a request path with %0a, %0b and %1b decodes to.
  EXPECT_TRUE(client.write(LOG_INFO, "ostrel", "", 0,
                           "GET /x\n2026-Dec-09 00:00:00\x0B" "1\x0B" "ERROR\x0B" "ostrel\x0B[0]\x0B" "forged\x1b[2J"));
  service.stop();
  std::rewind(sink);
  char buffer[1024] = {};
  std::string written(buffer, std::fread(buffer, 1, sizeof buffer - 1, sink));
  EXPECT_EQ(1, std::count(written.begin(), written.end(), '\n')) << written;
  EXPECT_EQ(5, std::count(written.begin(), written.end(), '\x0B')) << written;
  EXPECT_NE(std::string::npos,
            written.find("GET /x\\n2026-Dec-09 00:00:00\\x0b1\\x0bERROR\\x0bostrel\\x0b[0]\\x0bforged\\x1b[2J\n"))
      << written;
  std::fclose(sink);
}

}  // namespace

// Static files and the browser's cache: validators on every file reply,
// 304 for a copy that is still current, a full reply once the file changed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include <gtest/gtest.h>

#include "ostrel/engine/EngineTestUtil.h"
#include "ostrel/engine/static_files.h"

using namespace enginetest;

namespace {

const int64_t SOME_SECOND = 1700000000;  // Tue, 14 Nov 2023 22:13:20 GMT

// The tag as the engine must build it, from the file's own status.
std::string expected_tag(const std::string& file) {
  struct stat st;
  if (stat(file.c_str(), &st) != 0) return "";
  uint64_t ns = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u + static_cast<uint64_t>(st.st_mtim.tv_nsec);
  char tag[64];
  std::snprintf(tag, sizeof(tag), "W/\"%" PRIx64 "-%" PRIx64 "\"", static_cast<uint64_t>(st.st_size), ns);
  return tag;
}

bool set_mtime(const std::string& file, int64_t seconds, long nanoseconds) {
  timespec times[2] = {{static_cast<time_t>(seconds), nanoseconds}, {static_cast<time_t>(seconds), nanoseconds}};
  return utimensat(AT_FDCWD, file.c_str(), times, 0) == 0;
}

std::string http_date(int64_t t) {
  char text[GMT_TIME_SIZE];
  gmt_time_string(text, sizeof(text), t);
  return text;
}

std::string strftime_utc(const char* format, int64_t t) {
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  char text[64];
  if (gmtime_r(&tt, &tm) == nullptr || std::strftime(text, sizeof(text), format, &tm) == 0) return "";
  return text;
}

// An engine with keep-alive over one kept connection: each request gets one
// reply read whole, a 304 or a reply to HEAD by its head alone.
class EngineRevalidation : public ::testing::Test {
 protected:
  void SetUp() override {
    www_ = dir_.dir("www");
    file_ = dir_.file("www/page.js", "let a = 1;\n");
    ASSERT_TRUE(set_mtime(file_, SOME_SECOND, 100));
    engine_ = std::make_unique<TestEngine>(std::vector<std::string>{"document_root", www_, "enable_keep_alive", "yes"});
    ASSERT_TRUE(engine_->started());
    fd_ = connect_to(engine_->port());
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
  }

  std::string ask(const std::string& method, const std::string& uri, const std::string& extra = "") {
    if (!send_all(fd_, method + " " + uri + " HTTP/1.1\r\n" + extra + "\r\n")) return "";
    std::string head = read_reply(fd_, 5000, true);
    bool bodiless = method == "HEAD" || status_line(head) == "HTTP/1.1 304 Not Modified";
    if (bodiless) return head;
    size_t length = std::strtoull(header_value(head, "Content-Length").c_str(), nullptr, 10);
    std::string body(length, '\0');
    size_t got = 0;
    while (got < length) {
      ssize_t n = recv(fd_, &body[got], length - got, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    return head + body.substr(0, got);
  }

  // A GET without conditions on the same connection: its reply comes whole
  // and first, so nothing of a body was left behind by the reply before.
  void expect_connection_still_serves() {
    std::string reply = ask("GET", "/page.js");
    EXPECT_EQ("HTTP/1.1 200 OK", status_line(reply));
    EXPECT_EQ("let a = 1;\n", body_of(reply));
  }

  TempDir dir_;
  std::string www_;
  std::string file_;
  std::unique_ptr<TestEngine> engine_;
  int fd_ = -1;
};

}  // namespace

TEST_F(EngineRevalidation, EveryFileReplyCarriesTheValidators) {
  const std::string tag = expected_tag(file_);
  ASSERT_EQ("W/\"b-17979cfe362a0064\"", tag);  // 11 bytes, 1700000000 s and 100 ns
  for (const char* method : {"GET", "HEAD"}) {
    SCOPED_TRACE(method);
    std::string reply = ask(method, "/page.js");
    EXPECT_EQ("HTTP/1.1 200 OK", status_line(reply));
    EXPECT_EQ(tag, header_value(reply, "ETag"));
    EXPECT_EQ("no-cache", header_value(reply, "Cache-Control"));
    EXPECT_EQ(http_date(SOME_SECOND), header_value(reply, "Last-Modified"));
  }
  std::string partial = ask("GET", "/page.js", "Range: bytes=0-2\r\n");
  EXPECT_EQ("HTTP/1.1 206 Partial Content", status_line(partial));
  EXPECT_EQ("let", body_of(partial));
  EXPECT_EQ(tag, header_value(partial, "ETag"));
  EXPECT_EQ("no-cache", header_value(partial, "Cache-Control"));

  // Other replies keep their heads.
  for (const std::string& reply :
       {ask("GET", "/missing.js"), ask("GET", "/page.js", "Range: bytes=500-\r\n"), ask("OPTIONS", "/page.js")}) {
    EXPECT_FALSE(has_header(reply, "ETag")) << reply;
    EXPECT_FALSE(has_header(reply, "Cache-Control")) << reply;
  }
  EXPECT_EQ(
      "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 35\r\nConnection: Keep-Alive\r\n\r\n"
      "Error 404: Not Found\nFile not found",
      ask("GET", "/missing.js"));
}

TEST_F(EngineRevalidation, MatchingIfNoneMatchGets304WithoutBodyOnAKeptConnection) {
  const std::string tag = expected_tag(file_);
  const std::string opaque = tag.substr(2);  // weak comparison: "W/" does not matter
  for (const std::string& tags : {tag, opaque, std::string("*"), "\"other\", " + tag, "\"a,b\",W/\"x\"," + opaque}) {
    for (const char* method : {"GET", "HEAD"}) {
      SCOPED_TRACE(tags + " " + method);
      std::string reply = ask(method, "/page.js", "If-None-Match: " + tags + "\r\n");
      EXPECT_EQ("HTTP/1.1 304 Not Modified", status_line(reply));
      EXPECT_EQ(tag, header_value(reply, "ETag"));
      EXPECT_EQ("no-cache", header_value(reply, "Cache-Control"));
      EXPECT_EQ(http_date(SOME_SECOND), header_value(reply, "Last-Modified"));
      EXPECT_EQ("Keep-Alive", header_value(reply, "Connection"));
      EXPECT_FALSE(has_header(reply, "Content-Length"));
      expect_connection_still_serves();
    }
  }
  // A Range does not turn a 304 into a part of the file.
  EXPECT_EQ("HTTP/1.1 304 Not Modified",
            status_line(ask("GET", "/page.js", "If-None-Match: " + tag + "\r\nRange: bytes=0-2\r\n")));
  expect_connection_still_serves();
}

TEST_F(EngineRevalidation, OtherTagsAndMethodsGetTheFile) {
  const std::string tag = expected_tag(file_);
  for (const std::string& tags : {std::string("\"other\""), std::string("W/\"b-17979cfe362a0065\""),
                                  "junk, " + tag, tag.substr(0, tag.size() - 1), std::string("")}) {
    SCOPED_TRACE(tags);
    std::string reply = ask("GET", "/page.js", "If-None-Match: " + tags + "\r\n");
    EXPECT_EQ("HTTP/1.1 200 OK", status_line(reply));
    EXPECT_EQ("let a = 1;\n", body_of(reply));
  }
  // If-None-Match decides alone: a matching date does not outweigh another tag.
  std::string reply =
      ask("GET", "/page.js", "If-None-Match: \"other\"\r\nIf-Modified-Since: " + http_date(SOME_SECOND) + "\r\n");
  EXPECT_EQ("HTTP/1.1 200 OK", status_line(reply));
  // Conditions are for GET and HEAD.
  reply = ask("POST", "/page.js", "If-None-Match: *\r\nContent-Length: 0\r\n");
  EXPECT_EQ("HTTP/1.1 200 OK", status_line(reply));
  EXPECT_EQ("let a = 1;\n", body_of(reply));
}

TEST_F(EngineRevalidation, IfModifiedSinceNamingTheFilesSecond) {
  for (const std::string& date : {http_date(SOME_SECOND), strftime_utc("%a %b %e %H:%M:%S %Y", SOME_SECOND)}) {
    for (const char* method : {"GET", "HEAD"}) {
      SCOPED_TRACE(date + " " + method);
      std::string reply = ask(method, "/page.js", "If-Modified-Since: " + date + "\r\n");
      EXPECT_EQ("HTTP/1.1 304 Not Modified", status_line(reply));
      EXPECT_EQ(expected_tag(file_), header_value(reply, "ETag"));
      expect_connection_still_serves();
    }
  }
  // Any other date, later ones too (a file replaced by an older one is new
  // to the client), or no date at all: the file.
  for (const std::string& date : {http_date(SOME_SECOND - 1), http_date(SOME_SECOND + 1), std::string("yesterday")}) {
    SCOPED_TRACE(date);
    std::string reply = ask("GET", "/page.js", "If-Modified-Since: " + date + "\r\n");
    EXPECT_EQ("HTTP/1.1 200 OK", status_line(reply));
    EXPECT_EQ("let a = 1;\n", body_of(reply));
  }
}

// An edit within the same second that keeps the size still changes the tag:
// the browser gets the new content though Last-Modified says the same.
TEST_F(EngineRevalidation, EditWithinTheSameSecondIsSeen) {
  std::string first = ask("GET", "/page.js");
  const std::string old_tag = header_value(first, "ETag");
  ASSERT_EQ(expected_tag(file_), old_tag);

  dir_.file("www/page.js", "let a = 2;\n");
  ASSERT_TRUE(set_mtime(file_, SOME_SECOND, 200));
  std::string reply = ask("GET", "/page.js", "If-None-Match: " + old_tag + "\r\n");
  EXPECT_EQ("HTTP/1.1 200 OK", status_line(reply));
  EXPECT_EQ("let a = 2;\n", body_of(reply));
  EXPECT_EQ(header_value(first, "Last-Modified"), header_value(reply, "Last-Modified"));
  const std::string new_tag = header_value(reply, "ETag");
  EXPECT_NE(old_tag, new_tag);
  EXPECT_EQ(expected_tag(file_), new_tag);
  EXPECT_EQ("HTTP/1.1 304 Not Modified", status_line(ask("GET", "/page.js", "If-None-Match: " + new_tag + "\r\n")));
}

// If-Range would compare strong validators; the engine's are weak, so the
// range is never sent against one, and the whole file always is.
TEST_F(EngineRevalidation, IfRangeGetsTheWholeFile) {
  const std::string tag = expected_tag(file_);
  for (const std::string& validator : {tag, tag.substr(2), http_date(SOME_SECOND), std::string("\"other\"")}) {
    SCOPED_TRACE(validator);
    std::string reply = ask("GET", "/page.js", "Range: bytes=0-2\r\nIf-Range: " + validator + "\r\n");
    EXPECT_EQ("HTTP/1.1 200 OK", status_line(reply));
    EXPECT_EQ("let a = 1;\n", body_of(reply));
    EXPECT_FALSE(has_header(reply, "Content-Range"));
  }
}

TEST(EngineEntityTag, SizeAndNanosecondTime) {
  char tag[ETAG_SIZE];
  FileStatus st = {0, 1000, 1, 5};
  make_etag(&st, tag, sizeof(tag));
  EXPECT_STREQ("W/\"3e8-3b9aca05\"", tag);
  st.mtime_nsec = 6;
  make_etag(&st, tag, sizeof(tag));
  EXPECT_STREQ("W/\"3e8-3b9aca06\"", tag);
  // The largest values fit; times before 1970 and beyond 2262 wrap, unharmed.
  st = {0, INT64_MAX, INT64_MAX, 999999999};
  make_etag(&st, tag, sizeof(tag));
  EXPECT_EQ(std::string("W/\"7fffffffffffffff-"), std::string(tag).substr(0, 20));
  st = {0, 0, -1, 0};
  make_etag(&st, tag, sizeof(tag));
  EXPECT_STREQ("W/\"0-ffffffffc4653600\"", tag);
  // Too short a buffer: empty, never cut.
  make_etag(&st, tag, 10);
  EXPECT_STREQ("", tag);
}

TEST(EngineEntityTag, ListMatching) {
  const char* tag = "W/\"a-b\"";
  for (const char* list : {"W/\"a-b\"", "\"a-b\"", "*", " *", "\"x\", W/\"a-b\"", "\"x\",W/\"a-b\"",
                           "\"x,y\" ,\t\"a-b\"", ",W/\"a-b\"", "W/\"a-b\" ", "* ,"}) {
    EXPECT_EQ(1, etag_list_matches(list, tag)) << list;
  }
  for (const char* list : {"", "\"x\"", "\"a-b", "a-b", "W/a-b", "\"x\" junk, W/\"a-b\"", "W/\"a-bc\"", "\"a-\"",
                           "w/\"a-b\"", "W/\"a-b\"x", "\"a-b\"x", "\"a-b\"\"", "*x", "\"x\"y, \"a-b\""}) {
    EXPECT_EQ(0, etag_list_matches(list, tag)) << list;
  }
  EXPECT_EQ(1, etag_list_matches("W/\"a-b\"", "\"a-b\""));
}

TEST(EngineHttpDate, ParsesItsThreeForms) {
  int64_t t = -1;
  for (const char* text : {"Sun, 06 Nov 1994 08:49:37 GMT", "Sun Nov  6 08:49:37 1994"}) {
    t = -1;
    EXPECT_EQ(0, parse_http_date(text, &t)) << text;
    EXPECT_EQ(784111777, t) << text;
  }
  EXPECT_EQ(0, parse_http_date("Tue, 29 Feb 2000 23:59:60 GMT", &t));  // a leap second
  EXPECT_EQ(951868800, t);
  for (const char* text : {"", "Sun", "06 Nov 1994 08:49:37 GMT", "Sun, 6 Nov 1994 08:49:37 GMT",
                           "Sun, 06 Nov 1994 08:49:37 UTC", "Sun, 06 Nov 1994 08:49:37 GMT ", "Sun, 06 Nov 94 08:49:37 GMT",
                           "Sun, 06-Nov-1994 08:49:37 GMT", "Sun, 06 Nov 1994 8:49:37 GMT", "Sun, 06 Nov 1994 24:00:00 GMT",
                           "Sun, 06 Nov 1994 08:60:00 GMT", "Sun, 06 Nov 1994 08:49:61 GMT", "Sun, 06 nov 1994 08:49:37 GMT",
                           "Sun, 00 Nov 1994 08:49:37 GMT", "Sun, 31 Nov 1994 08:49:37 GMT", "Mon, 29 Feb 2100 00:00:00 GMT",
                           "Sun Nov 6 08:49:37 1994", "Sun Nov  6 08:49:37 1994 ", "Sun Nov 06 08:49:37 94",
                           "Sun, 06 Nov 1994 08:49:37", "Sun,06 Nov 1994 08:49:37 GMT"}) {
    EXPECT_EQ(-1, parse_http_date(text, &t)) << text;
  }
  // Every date the engine writes reads back as its instant.
  char text[GMT_TIME_SIZE];
  for (int64_t instant = -2208988800; instant < 7258118400; instant += 86400 * 3 + 3607) {
    gmt_time_string(text, sizeof(text), instant);
    ASSERT_EQ(0, parse_http_date(text, &t)) << text;
    ASSERT_EQ(instant, t) << text;
  }
}

// The RFC 850 form: two digits of a year name the year ending in them,
// unless that lies more than 50 years ahead.
TEST(EngineHttpDate, TwoDigitYearsStayWithinFiftyYearsAhead) {
  time_t now = time(nullptr);
  struct tm tm;
  ASSERT_NE(nullptr, gmtime_r(&now, &tm));
  int64_t this_year = tm.tm_year + 1900;
  int64_t century = this_year - this_year % 100;
  for (int digits : {0, 49, 50, 51, 94, 99}) {
    int64_t year = century + digits > this_year + 50 ? century + digits - 100 : century + digits;
    char text[64];
    std::snprintf(text, sizeof(text), "Sunday, 06-Nov-%02d 08:49:37 GMT", digits);
    char full[64];
    std::snprintf(full, sizeof(full), "Sun, 06 Nov %04" PRId64 " 08:49:37 GMT", year);
    int64_t expected = 0;
    int64_t t = 0;
    ASSERT_EQ(0, parse_http_date(full, &expected)) << full;
    ASSERT_EQ(0, parse_http_date(text, &t)) << text;
    EXPECT_EQ(expected, t) << text << " as " << full;
  }
  int64_t t = 0;
  EXPECT_EQ(-1, parse_http_date("Sunday, 31-Nov-94 08:49:37 GMT", &t));
}

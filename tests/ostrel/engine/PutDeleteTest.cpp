// PUT and DELETE behind "put_delete_passwords_file", and the body forwarding
// they share with CGI: 411, 417, 100-continue and 577.
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "ostrel/engine/EngineTestUtil.h"

using namespace enginetest;

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  return names;
}

class EnginePutDelete : public ::testing::Test {
 protected:
  void SetUp() override {
    www_ = dir_.dir("root/www");
    passwords_ = dir_.file("passwords", password_line("up", "ostrel.local", "load"));
    engine_ = std::make_unique<TestEngine>(
        std::vector<std::string>{"document_root", www_, "put_delete_passwords_file", passwords_});
    ASSERT_TRUE(engine_->started());
  }

  // A request with the uploader's credentials; BODY follows the head.
  std::string send(const std::string& method, const std::string& uri, const std::string& headers,
                   const std::string& body) {
    return http_exchange(engine_->port(),
                         method + " " + uri + " HTTP/1.1\r\nAuthorization: " +
                             digest_authorization("up", "ostrel.local", "load", method, uri) + "\r\n" + headers +
                             "\r\n" + body);
  }
  std::string put(const std::string& uri, const std::string& body, const std::string& headers = "") {
    return send("PUT", uri, "Content-Length: " + std::to_string(body.size()) + "\r\n" + headers, body);
  }

  TempDir dir_;
  std::string www_;
  std::string passwords_;
  std::unique_ptr<TestEngine> engine_;
};

}  // namespace

TEST_F(EnginePutDelete, PutCreatesReplacesAndWritesRanges) {
  std::string reply = put("/new/deep/f.txt", "0123456789");
  EXPECT_EQ("HTTP/1.1 201 OK\r\n\r\n", reply);
  EXPECT_EQ("0123456789", read_file(www_ + "/new/deep/f.txt"));

  chmod((www_ + "/new/deep/f.txt").c_str(), 0750);
  EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\n", put("/new/deep/f.txt", "abc"));
  EXPECT_EQ("abc", read_file(www_ + "/new/deep/f.txt"));
  struct stat st;
  ASSERT_EQ(0, stat((www_ + "/new/deep/f.txt").c_str(), &st));
  EXPECT_EQ(0750u, st.st_mode & 07777);  // a replaced file keeps its mode

  // A range is written into the file; the bytes around it stay.
  EXPECT_EQ("HTTP/1.1 206 OK\r\n\r\n", put("/new/deep/f.txt", "XY", "Content-Range: bytes=1-2\r\n"));
  EXPECT_EQ("aXY", read_file(www_ + "/new/deep/f.txt"));
  EXPECT_EQ("HTTP/1.1 206 OK\r\n\r\n", put("/new/deep/f.txt", "Z", "Content-Range: bytes 0-0/3\r\n"));
  EXPECT_EQ("ZXY", read_file(www_ + "/new/deep/f.txt"));

  // A path ending in "/" makes the directories only.
  EXPECT_EQ("HTTP/1.1 201 OK\r\n\r\n", put("/made/here/", ""));
  EXPECT_TRUE(exists(www_ + "/made/here"));
  EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\n", put("/made/here/", ""));

  // A file where a directory should be.
  reply = put("/new/deep/f.txt/g.txt", "x");
  EXPECT_EQ("HTTP/1.1 500 Internal Server Error", status_line(reply));
  EXPECT_NE(std::string::npos, body_of(reply).find("put_dir(" + www_ + "/new/deep/f.txt/g.txt): Not a directory"));
  reply = put("/made/here", "x");
  EXPECT_EQ("HTTP/1.1 500 Internal Server Error", status_line(reply));
  // No temporary file is left anywhere.
  EXPECT_EQ(std::vector<std::string>{"f.txt"}, entries(www_ + "/new/deep"));
}

TEST_F(EnginePutDelete, CurlUploadsWithDigest) {
  std::string local = dir_.file("local.bin", std::string(100000, 'q'));
  std::string url = "http://127.0.0.1:" + std::to_string(engine_->port()) + "/up/load.bin";
  int status = -1;
  std::string code = run("curl -sS --max-time 10 --digest -u up:load -T " + local + " -o /dev/null -w '%{http_code}' " +
                             url,
                         &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ("201", code);
  EXPECT_EQ(std::string(100000, 'q'), read_file(www_ + "/up/load.bin"));
  EXPECT_EQ("401", run("curl -sS --max-time 10 --digest -u up:wrong -T " + local +
                       " -o /dev/null -w '%{http_code}' " + url));
  EXPECT_EQ("200", run("curl -sS --max-time 10 --digest -u up:load -X DELETE -o /dev/null -w '%{http_code}' " + url));
  EXPECT_FALSE(exists(www_ + "/up/load.bin"));
}

TEST_F(EnginePutDelete, RefusedWithoutTheRightCredentials) {
  std::string reply = http_exchange(engine_->port(), "PUT /x.txt HTTP/1.1\r\nContent-Length: 1\r\n\r\nx");
  EXPECT_EQ("HTTP/1.1 401 Unauthorized", status_line(reply));
  reply = http_exchange(engine_->port(), "PUT /x.txt HTTP/1.1\r\nContent-Length: 1\r\nAuthorization: " +
                                             digest_authorization("up", "ostrel.local", "nope", "PUT", "/x.txt") +
                                             "\r\n\r\nx");
  EXPECT_EQ("HTTP/1.1 401 Unauthorized", status_line(reply));
  EXPECT_FALSE(exists(www_ + "/x.txt"));
  // Password files are never written or removed through the engine.
  EXPECT_EQ("HTTP/1.1 403 Forbidden", status_line(put("/.htpasswd", "up:ostrel.local:00")));
  std::string line = password_line("up", "ostrel.local", "load");
  dir_.file("root/www/d/.htpasswd", line);
  EXPECT_EQ("HTTP/1.1 403 Forbidden", status_line(send("DELETE", "/d/.htpasswd", "", "")));
  EXPECT_FALSE(exists(www_ + "/.htpasswd"));
  EXPECT_EQ(line, read_file(www_ + "/d/.htpasswd"));
  // A file that cannot be read lets nobody write.
  unlink(passwords_.c_str());
  EXPECT_EQ("HTTP/1.1 401 Unauthorized", status_line(put("/x.txt", "x")));
  EXPECT_FALSE(exists(www_ + "/x.txt"));
}

TEST_F(EnginePutDelete, Delete) {
  dir_.file("root/www/gone.txt", "bye");
  std::string reply = send("DELETE", "/gone.txt", "", "");
  EXPECT_EQ("HTTP/1.1 200 OK", status_line(reply));
  EXPECT_EQ("Error 200: OK\n", body_of(reply));
  EXPECT_FALSE(exists(www_ + "/gone.txt"));
  reply = send("DELETE", "/gone.txt", "", "");
  EXPECT_EQ("HTTP/1.1 500 Internal Server Error", status_line(reply));
  EXPECT_NE(std::string::npos, body_of(reply).find("remove(" + www_ + "/gone.txt): No such file or directory"));
}

TEST_F(EnginePutDelete, NothingIsWrittenOutsideTheRoot) {
  for (const char* uri : {"/../outside.txt", "/%2e%2e/outside.txt", "/a/..%2f..%2foutside.txt", "/..%5coutside.txt"}) {
    std::string reply = put(uri, "x");
    EXPECT_TRUE(status_line(reply) == "HTTP/1.1 201 OK" || status_line(reply) == "HTTP/1.1 200 OK") << uri << reply;
  }
  EXPECT_FALSE(exists(dir_.path() + "/root/outside.txt"));
  EXPECT_FALSE(exists(dir_.path() + "/outside.txt"));
  EXPECT_EQ("x", read_file(www_ + "/outside.txt"));
  EXPECT_EQ(std::vector<std::string>{"www"}, entries(dir_.path() + "/root"));
}

TEST_F(EnginePutDelete, BodyForwarding) {
  // No length: 411.
  std::string reply = send("PUT", "/b.txt", "", "");
  EXPECT_EQ("HTTP/1.1 411 Length Required", status_line(reply));
  // An expectation other than 100-continue: 417.
  reply = send("PUT", "/b.txt", "Content-Length: 1\r\nExpect: 200-ok\r\n", "x");
  EXPECT_EQ("HTTP/1.1 417 Expectation Failed", status_line(reply));
  EXPECT_FALSE(exists(www_ + "/b.txt"));

  // 100-continue: the interim reply comes before the body is sent.
  int fd = connect_to(engine_->port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(send_all(fd, "PUT /b.txt HTTP/1.1\r\nExpect: 100-Continue\r\nContent-Length: 4\r\nAuthorization: " +
                               digest_authorization("up", "ostrel.local", "load", "PUT", "/b.txt") + "\r\n\r\n"));
  EXPECT_EQ("HTTP/1.1 100 Continue\r\n\r\n", read_reply(fd, 5000, true));
  ASSERT_TRUE(send_all(fd, "body"));
  EXPECT_EQ("HTTP/1.1 201 OK\r\n\r\n", read_until_close(fd));
  close(fd);
  EXPECT_EQ("body", read_file(www_ + "/b.txt"));

  // A body that ends early: 577, and the old file is still whole.
  fd = connect_to(engine_->port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(send_all(fd, "PUT /b.txt HTTP/1.1\r\nContent-Length: 100\r\nAuthorization: " +
                               digest_authorization("up", "ostrel.local", "load", "PUT", "/b.txt") +
                               "\r\n\r\nonly ten b"));
  shutdown(fd, SHUT_WR);
  reply = read_until_close(fd);
  close(fd);
  EXPECT_EQ("HTTP/1.1 577 Internal Server Error", status_line(reply));
  EXPECT_EQ("body", read_file(www_ + "/b.txt"));
  EXPECT_EQ(std::vector<std::string>{"b.txt"}, entries(www_));
}

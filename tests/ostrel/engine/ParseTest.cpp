// Request heads, URI decoding and normalisation, path mapping, the file-name
// check, variables, ranges and content types, on their inputs directly.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "ostrel/engine/engine.h"
#include "ostrel/engine/listing.h"
#include "ostrel/engine/options.h"
#include "ostrel/engine/parse.h"
#include "ostrel/engine/path.h"
#include "ostrel/engine/static_files.h"

namespace {

int request_len(const std::string& s) { return get_request_len(s.data(), static_cast<int>(s.size())); }

std::string normalise(const std::string& uri) {
  std::string decoded(uri.size() + 1, '\0');
  int n = url_decode(uri.data(), uri.size(), &decoded[0], decoded.size(), 0);
  if (n < 0) return "<overflow>";
  decoded.resize(static_cast<size_t>(n));
  std::vector<char> buf(decoded.begin(), decoded.end());
  buf.push_back('\0');
  remove_double_dots_and_double_slashes(buf.data());
  return buf.data();
}

std::string mapped(const char* root, const std::string& uri, int* result = nullptr) {
  char path[PATH_BUF_SIZE];
  int r = map_uri_to_path(root, normalise(uri).c_str(), path, sizeof(path));
  if (result != nullptr) *result = r;
  return path;
}

std::string native(const std::string& path) {
  char out[PATH_BUF_SIZE];
  to_native_path(path.c_str(), out, sizeof(out));
  return out;
}

}  // namespace

TEST(EngineRequestHead, EndIsFoundAfterEitherLineEnding) {
  EXPECT_EQ(0, request_len("GET / HTTP/1.1\r\nHost: a\r\n"));
  EXPECT_EQ(18, request_len("GET / HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(16, request_len("GET / HTTP/1.1\n\nBODY"));
  EXPECT_EQ(18, request_len("GET / HTTP/1.1\r\n\r\nGET /next"));
  EXPECT_EQ(0, request_len("GET /~ HTTP/1.1\r\n"));
  // Bytes of 128 and above are allowed.
  EXPECT_EQ(18, request_len("GET /\xc3\xa9 HTTP/1.1\n\n"));
}

TEST(EngineRequestHead, ControlBytesMarkTheHeadMalformedHoweverItIsSplit) {
  EXPECT_EQ(-1, request_len("GET /\x01 HTTP/1.1\r\n"));
  EXPECT_EQ(-1, request_len("GET /\x01 HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(-1, request_len("GET /\x7f HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(-1, request_len("GET /\x1f HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(-1, request_len(std::string("GET / HTTP/1.1\r\nA: \0\r\n\r\n", 23)));
  // A tab may stand in a header value.
  EXPECT_EQ(0, request_len("GET / HTTP/1.1\r\nA: a\tb\r\n"));
  EXPECT_EQ(26, request_len("GET / HTTP/1.1\r\nA: a\tb\r\n\r\n"));
  // Behind the head they are body bytes.
  EXPECT_EQ(18, request_len("GET / HTTP/1.1\r\n\r\n\x01\x1b"));
  // Every prefix that holds the byte gives the same answer as the whole.
  const std::string head = "GET / HTTP/1.1\r\nUser-Agent: a\tb\r\nX-Esc: \x1b[31m\r\n\r\n";
  size_t esc = head.find('\x1b');
  for (size_t n = 1; n <= head.size(); n++) EXPECT_EQ(n <= esc ? 0 : -1, request_len(head.substr(0, n))) << n;
}

TEST(EngineRequestHead, ParsesRequestLineAndHeaders) {
  char head[] = "  GET /a?b=1 HTTP/1.1\r\nHost: example\r\nX-Empty:\r\nCookie:   c=1\r\n\r";
  RequestInfo ri{};
  ASSERT_EQ(0, parse_http_request(head, &ri));
  EXPECT_STREQ("GET", ri.request_method);
  EXPECT_STREQ("/a?b=1", ri.uri);
  EXPECT_STREQ("1.1", ri.http_version);
  ASSERT_EQ(3, ri.num_headers);
  EXPECT_STREQ("Host", ri.http_headers[0].name);
  EXPECT_STREQ("example", ri.http_headers[0].value);
  EXPECT_STREQ("X-Empty", ri.http_headers[1].name);
  EXPECT_STREQ("", ri.http_headers[1].value);
  EXPECT_STREQ("c=1", ri.http_headers[2].value);
}

TEST(EngineRequestHead, RefusesUnknownMethodsAndVersions) {
  const char* bad[] = {"get / HTTP/1.1\r\n\r", "BREW / HTTP/1.1\r\n\r", "GET / FTP/1.1\r\n\r", "GET /\r\n\r", ""};
  for (const char* text : bad) {
    std::vector<char> buf(text, text + std::strlen(text) + 1);
    RequestInfo ri{};
    EXPECT_EQ(-1, parse_http_request(buf.data(), &ri)) << text;
  }
  const char* methods[] = {"GET", "POST", "HEAD", "CONNECT", "PUT", "DELETE", "OPTIONS", "PROPFIND"};
  for (const char* m : methods) EXPECT_EQ(1, is_valid_http_method(m));
}

TEST(EngineRequestHead, HeadsThatCouldBeReadTwoWaysAreRefused) {
  auto parse = [](std::string head) {
    std::vector<char> buf(head.begin(), head.end());
    buf.push_back('\0');
    RequestInfo ri{};
    return parse_http_request(buf.data(), &ri);
  };
  std::string full = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 64; i++) full += "H" + std::to_string(i) + ": v\r\n";
  EXPECT_EQ(PARSE_OK, parse(full + "\r"));
  // A 65th line would go unseen.
  EXPECT_EQ(PARSE_TOO_MANY_HEADERS, parse(full + "Host: evil\r\n\r"));
  // So would every line behind one without a name.
  EXPECT_EQ(PARSE_BAD_REQUEST, parse("GET / HTTP/1.1\r\n: x\r\nHost: evil\r\n\r"));
  for (const char* name : {"Host", "origin", "CONTENT-LENGTH", "Transfer-Encoding"})
    EXPECT_EQ(PARSE_BAD_REQUEST, parse(std::string("GET / HTTP/1.1\r\nHost: a\r\nOrigin: a\r\nContent-Length: 1\r\n"
                                                   "Transfer-Encoding: a\r\n") + name + ": b\r\n\r"))
        << name;
  EXPECT_EQ(PARSE_OK, parse("GET / HTTP/1.1\r\nAccept: a\r\nAccept: b\r\n\r"));
}

TEST(EngineRequestHead, HeaderLinesMustBeANameAColonAndAValue) {
  auto parse = [](std::string head) {
    std::vector<char> buf(head.begin(), head.end());
    buf.push_back('\0');
    RequestInfo ri{};
    return parse_http_request(buf.data(), &ri);
  };
  // Some readers end a line at a bare CR, others do not.
  EXPECT_EQ(PARSE_BAD_REQUEST, parse("GET / HTTP/1.1\r\nHost: a\rHost: b\r\n\r"));
  EXPECT_EQ(PARSE_BAD_REQUEST, parse("GET / HTTP/1.1\r\nX-A: foo\rReferer: http://x/\r\n\r"));
  EXPECT_EQ(PARSE_BAD_REQUEST, parse("GET / HTTP/1.1\rHost: a\r\n\r"));
  EXPECT_EQ(PARSE_BAD_REQUEST, parse("GET / HTTP/1.1\r\nHost: a\r\r\n\r"));
  // White space before the colon, names that are no token, lines without a
  // colon and folded lines.
  for (const char* line : {"Content-Length : 5", "host : x", "Host\t: x", "X a: b", "X(a): b", "X\"a\": b",
                           "NoColon", ": x", " folded", "\tfolded", "\xc3\xa9: x"}) {
    EXPECT_EQ(PARSE_BAD_REQUEST, parse(std::string("GET / HTTP/1.1\r\nHost: a\r\n") + line + "\r\n\r")) << line;
  }
  EXPECT_EQ(PARSE_OK, parse("GET / HTTP/1.1\r\nX-!#$%&'*+.^_`|~9: x\r\n\r"));
  EXPECT_EQ(PARSE_OK, parse("GET / HTTP/1.1\nHost: a\n"));
}

TEST(EngineRequestHead, ValuesLoseSpacesAndTabsAroundThem) {
  char head[] = "GET / HTTP/1.1\r\nHost:\tvalue\t \r\nA: \t a\tb \t\r\nB:\t\r\n\r";
  RequestInfo ri{};
  ASSERT_EQ(PARSE_OK, parse_http_request(head, &ri));
  ASSERT_EQ(3, ri.num_headers);
  EXPECT_STREQ("value", ri.http_headers[0].value);
  EXPECT_STREQ("a\tb", ri.http_headers[1].value);
  EXPECT_STREQ("", ri.http_headers[2].value);
}

TEST(EngineUri, DecodingThenNormalisationNeverClimbs) {
  EXPECT_EQ("/a//b", normalise("/a/../b"));
  EXPECT_EQ("/a//b", normalise("/a/%2e%2e/b"));
  EXPECT_EQ("/a/b", normalise("/a//\\//b"));
  EXPECT_EQ("/a\\\\b", normalise("/a\\..\\b"));
  EXPECT_EQ("//", normalise("/../.."));
  EXPECT_EQ("//", normalise("/%2e%2e%2f%2e%2e"));
  EXPECT_EQ("/a+b c", normalise("/a+b%20c"));
  EXPECT_EQ("/%zz", normalise("/%zz"));
  EXPECT_EQ("/.", normalise("/..."));
}

TEST(EngineUri, ARequestPathWithADecodedNulIsRefused) {
  char cut[] = "/index.html%00.css";
  EXPECT_EQ(-1, decode_request_path(cut));
  char whole[] = "/a/%2e%2e/b%20c";
  EXPECT_EQ(0, decode_request_path(whole));
  EXPECT_STREQ("/a//b c", whole);
}

TEST(EngineUri, DecodeReportsOverflow) {
  char small[4];
  EXPECT_EQ(-1, url_decode("abcdef", 6, small, sizeof(small), 0));
  EXPECT_EQ(3, url_decode("a%41+", 5, small, sizeof(small), 1));
  EXPECT_STREQ("aA ", small);
}

TEST(EnginePathMapping, AliasesMatchWholeSegments) {
  const char* root = "/srv/html,/download=/srv/dl";
  EXPECT_EQ("/srv/dl/a.zip", mapped(root, "/download/a.zip"));
  EXPECT_EQ("/srv/dl", mapped(root, "/download"));
  EXPECT_EQ("/srv/dl/a", mapped(root, "/download\\a"));
  EXPECT_EQ("/srv/html/index.html", mapped(root, "/index.html"));
  EXPECT_EQ("/srv/html/downloads/x", mapped(root, "/downloads/x"));
  EXPECT_EQ("/srv/html/download_private/secret", mapped(root, "/download_private/secret"));
  // A prefix that ends in a separator covers whole segments by itself.
  EXPECT_EQ("/srv/dl/x", mapped("/srv/html,/download/=/srv/dl/", "/download/x"));
  EXPECT_EQ("/srv/html/a/b", mapped(root, "/a/%2e%2e/b"));
  EXPECT_EQ("/srv/html/a/b", mapped(root, "/a\\..\\b"));
  EXPECT_EQ("/srv/html/", mapped(root, "/..%5c..%5c"));
}

TEST(EnginePathMapping, NeverLeavesTheRoot) {
  int r = 0;
  // "/dl.." is no segment of "/dl": a name inside the default root.
  EXPECT_EQ("/srv/html/dl..", mapped("/srv/html,/dl=/srv/dl/", "/dl..", &r));
  EXPECT_EQ(0, r);
  EXPECT_EQ("./d.", mapped(".,/d=.", "/d.", &r));
  EXPECT_EQ(0, r);
  // Where an alias directory and the rest of the URI meet, ".." can still form.
  EXPECT_EQ("", mapped("/srv/html,/d/=/srv/.", "/d/./etc/passwd", &r));
  EXPECT_EQ(-1, r);
  EXPECT_EQ("/srv/dl/x", mapped("/srv/html,/dl=/srv/dl/", "/dl/x", &r));
  EXPECT_EQ(0, r);
  // A root given with ".." of its own stays valid.
  EXPECT_EQ("../ui/a", mapped("../ui", "/a", &r));
  EXPECT_EQ(0, r);
  // An empty root would serve the whole machine.
  EXPECT_EQ("", mapped(",/download=", "/etc/passwd", &r));
  EXPECT_EQ(-1, r);
  EXPECT_EQ("", mapped(",/download=", "/download/etc/passwd", &r));
  EXPECT_EQ(-1, r);
}

TEST(EnginePathMapping, TooLongPathsAreRefusedNotCut) {
  std::string uri = "/" + std::string(PATH_BUF_SIZE, 'a');
  int r = 0;
  EXPECT_EQ("", mapped("/srv", uri, &r));
  EXPECT_EQ(-2, r);
}

TEST(EngineFileNameCheck, SuspiciousEndingsAndBadUtf8AreRejected) {
  EXPECT_EQ("/srv/a.txt", native("/srv\\a.txt"));
  EXPECT_EQ("/srv/dir", native("/srv//dir//"));
  EXPECT_EQ(".", native("./"));
  EXPECT_EQ("/", native("/"));
  EXPECT_EQ("", native("/srv/a.txt "));
  EXPECT_EQ("", native("/srv/a.txt."));
  EXPECT_EQ("", native("/srv/a.txt+"));
  EXPECT_EQ("", native("/srv/caf\xc3\xa9"));
  EXPECT_EQ("/srv/caf\xc3\xa9.txt", native("/srv/caf\xc3\xa9.txt"));
  EXPECT_EQ("", native("/srv/\xc3(.txt"));        // broken sequence
  EXPECT_EQ("", native("/srv/\xc0\xaf.txt"));     // overlong "/"
  EXPECT_EQ("", native("/srv/\xed\xa0\x80.txt"));  // surrogate
}

TEST(EngineFindVar, FindsDecodesAndRefusesOverflow) {
  const char* data = "a=1&Bee=x+y%21&c=&long=0123456789";
  char dst[8];
  EXPECT_EQ(1, mg_find_var(data, std::strlen(data), "a", dst, sizeof(dst)));
  EXPECT_STREQ("1", dst);
  EXPECT_EQ(4, mg_find_var(data, std::strlen(data), "bee", dst, sizeof(dst)));
  EXPECT_STREQ("x y!", dst);
  EXPECT_EQ(0, mg_find_var(data, std::strlen(data), "c", dst, sizeof(dst)));
  EXPECT_EQ(-1, mg_find_var(data, std::strlen(data), "ee", dst, sizeof(dst)));
  EXPECT_STREQ("", dst);
  EXPECT_EQ(-1, mg_find_var(data, std::strlen(data), "long", dst, sizeof(dst)));
  EXPECT_STREQ("", dst);
  // The data length bounds the search.
  EXPECT_EQ(-1, mg_find_var(data, 1, "a", dst, sizeof(dst)));
}

TEST(EngineRanges, ReadAgainstTheFileSize) {
  int64_t first = 0;
  int64_t last = 0;
  EXPECT_EQ(1, parse_range_header("bytes=100-199", 1000, &first, &last));
  EXPECT_EQ(100, first);
  EXPECT_EQ(199, last);
  EXPECT_EQ(1, parse_range_header("bytes=100-", 1000, &first, &last));
  EXPECT_EQ(999, last);
  EXPECT_EQ(1, parse_range_header("bytes=900-5000", 1000, &first, &last));  // end clamped
  EXPECT_EQ(999, last);
  EXPECT_EQ(1, parse_range_header("bytes=-500", 1000, &first, &last));  // suffix
  EXPECT_EQ(500, first);
  EXPECT_EQ(999, last);
  EXPECT_EQ(1, parse_range_header("bytes=-5000", 1000, &first, &last));
  EXPECT_EQ(0, first);
  EXPECT_EQ(-1, parse_range_header("bytes=1000-", 1000, &first, &last));
  EXPECT_EQ(-1, parse_range_header("bytes=-0", 1000, &first, &last));
  EXPECT_EQ(-1, parse_range_header("bytes=0-", 0, &first, &last));
  EXPECT_EQ(0, parse_range_header("bytes=5-2", 1000, &first, &last));
  EXPECT_EQ(0, parse_range_header("bytes=x", 1000, &first, &last));
  EXPECT_EQ(0, parse_range_header("lines=1-2", 1000, &first, &last));
  EXPECT_EQ(0, parse_range_header("bytes=99999999999999999999-", 1000, &first, &last));
  const int64_t big = 5LL << 30;  // beyond 32 bits
  EXPECT_EQ(1, parse_range_header("bytes=4294967296-", big, &first, &last));
  EXPECT_EQ(4294967296LL, first);
  EXPECT_EQ(big - 1, last);
}

TEST(EngineMimeTypes, ExtraTypesFirstThenBuiltInCaseInsensitive) {
  EngineContext* ctx = new EngineContext();
  ctx->config[EXTRA_MIME_TYPES] = strdup(".foo=application/x-foo,.JS=text/javascript");
  auto type = [&](const char* path) {
    const char* t;
    size_t len;
    get_mime_type(ctx, path, &t, &len);
    return std::string(t, len);
  };
  EXPECT_EQ("image/jpeg", type("photo.JPG"));
  EXPECT_EQ("text/plain", type("README"));
  EXPECT_EQ("text/plain", type(".html"));  // the path must be longer than the extension
  EXPECT_EQ("application/x-foo", type("a.foo"));
  EXPECT_EQ("text/javascript", type("app.js"));
  EXPECT_EQ("text/html", type("x.shtml"));
  EXPECT_EQ("image/bmp", type("x.bmp"));
  std::free(ctx->config[EXTRA_MIME_TYPES]);
  delete ctx;
}

TEST(EngineUrlEncode, KeepsTheSafeSetAndCutsToTheBuffer) {
  char out[64];
  url_encode("a b/c._-$,;~()\xff", out, sizeof(out), 0);
  EXPECT_STREQ("a%20b%2fc._-$,;~()%ff", out);
  url_encode("/dir/x y", out, sizeof(out), 1);
  EXPECT_STREQ("/dir/x%20y", out);
  char tiny[5];
  url_encode("ab cd", tiny, sizeof(tiny), 0);
  EXPECT_STREQ("ab", tiny);
}

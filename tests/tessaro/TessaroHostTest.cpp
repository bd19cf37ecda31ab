// Runs the real tessaro-host program with the real plug-ins.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "support/Eventually.h"
#include "support/HttpExchange.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"

namespace {

// The texts of Ostrel's own records and of the host's records about it.
std::vector<std::string> ostrelTexts(const std::string& log) {
  std::vector<std::string> texts;
  size_t start = 0;
  for (size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
    std::vector<std::string> fields;
    std::string line = log.substr(start, end - start);
    for (size_t from = 0, to;; from = to + 1) {
      to = line.find('\x0B', from);
      fields.push_back(line.substr(from, to == std::string::npos ? std::string::npos : to - from));
      if (to == std::string::npos) break;
    }
    if (fields.size() != 6) continue;
    const std::string& text = fields[5];
    // Ports taken by other programs only add records of the port search.
    if (text.find("port ") == 0 && text.find(" is in use") != std::string::npos) continue;
    if (fields[3] == "ostrel" || (fields[3] == "tessaro-host" && text.find("ostrelplugin") != std::string::npos))
      texts.push_back(text);
  }
  return texts;
}

TEST(TessaroHostTest, DrivesThePluginLifecycleAndStopsOnSigterm) {
  TempDir dir;
  setenv("TESSARO_REGISTRY_ROOT", dir.file("registry").c_str(), 1);
  // The demo business logic answers the start-up messages.
  std::string config = dir.write("host.ini", std::string("[host]\nplugins = ") + BIZL_PLUGIN + " " + OSTREL_PLUGIN +
                                                 "\nlog_file = host.log\n[scope0]\nOstrel/KeepAlive = true\n");
  Subprocess host({TESSARO_HOST, "--config", config});
  ASSERT_TRUE(host.waitForOutput("running 2 component(s)")) << host.output();
  host.signal(SIGTERM);
  ASSERT_EQ(0, host.wait()) << host.output();
  EXPECT_NE(std::string::npos, host.output().find("SIGTERM received, stopping"));

  std::vector<std::string> texts = ostrelTexts(TempDir::read(dir.file("host.log")));
  std::vector<std::string> expected = {
      std::string("loaded ostrelplugin from ") + OSTREL_PLUGIN,
      "initialize ostrelplugin",
      "start ostrelplugin",
      // The plug-in's own records reach the host's log through the shared queue.
      "Error while trying to retrieve information from  Configuration Service. DATA_PATH",
      "Directories/VarPath is not set: roots beginning with \".\" stay relative",
      "Error while trying to retrieve information from Configuration Service. DOCUMENT ROOT ENTRY",
      "Error while trying to compose html and download paths: Ostrel/DocumentRoot is empty or not set",
      "Error while retrieving default UI information. DEFAULT UITYPE KEY",
      "Ostrel/DefaultUIType is not set: no UI is served",
      "Error while trying to retrieve information from Configuration Manager.",
      "Ostrel/ReferrerCheck is not set: the Referer is checked",
      "stop ostrelplugin",
      "destroy ostrelplugin",
  };
  EXPECT_EQ(expected, texts);
  // The port the plug-in served on was published.
  EXPECT_EQ(0u, TempDir::read(dir.file("registry/HKEY_CURRENT_USER/Software/Corvane/Tessaro/OstrelPort")).find("dword:0000"));
  unsetenv("TESSARO_REGISTRY_ROOT");
}

// A host with Ostrel behind a business logic that never answers a service call.
class SilentBusinessLogicHost {
 public:
  explicit SilentBusinessLogicHost(bool answerStartup) {
    setenv("TESSARO_REGISTRY_ROOT", dir.file("registry").c_str(), 1);
    const std::string config = dir.write(
        "host.ini", std::string("[host]\nplugins = ") + SILENT_BIZL_PLUGIN + " " + OSTREL_PLUGIN +
                        "\nlog_file = host.log\n[scope0]\nOstrel/DocumentRoot = " + UI_DIR +
                        "\nOstrel/DownloadRoot = " + dir.path() + "\nOstrel/DefaultUIType = desktop\n"
                        "SilentBizl/AnswerStartup = " + (answerStartup ? "true" : "false") + "\n");
    host = std::make_unique<Subprocess>(std::vector<std::string>{TESSARO_HOST, "--config", config});
  }
  int port() {
    const std::string value = TempDir::read(dir.file("registry/HKEY_CURRENT_USER/Software/Corvane/Tessaro/OstrelPort"));
    return value.size() > 6 ? std::stoi(value.substr(6), nullptr, 16) : 0;
  }
  // How many requests of this operation the business logic has heard.
  size_t requests(const std::string& operation) {
    const std::string line = "silentbizl: request " + operation + "\n";
    const std::string output = host->output();
    size_t count = 0;
    for (size_t at = output.find(line); at != std::string::npos; at = output.find(line, at + 1)) ++count;
    return count;
  }
  // Whether the host stops with status 0 within `limit` of SIGTERM.
  bool stopsWithin(std::chrono::seconds limit) {
    const auto asked = std::chrono::steady_clock::now();
    host->signal(SIGTERM);
    const int status = host->wait(std::chrono::seconds(30));
    return status == 0 && std::chrono::steady_clock::now() - asked < limit;
  }

  TempDir dir;
  std::unique_ptr<Subprocess> host;
};

TEST(TessaroHostTest, CtrlCDuringAStartThatWaitsForAnAnswerStopsTheHostPromptly) {
  SilentBusinessLogicHost silent(false);
  // Ostrel's start waits up to ten seconds for each of its two start-up messages.
  ASSERT_TRUE(silent.host->waitForOutput("silentbizl: request setOutputFormat")) << silent.host->output();
  EXPECT_TRUE(silent.stopsWithin(std::chrono::seconds(5))) << silent.host->output();
  EXPECT_NE(std::string::npos, silent.host->output().find("SIGTERM received, stopping"));
}

TEST(TessaroHostTest, SigtermWithCallsWaitingAnswersEveryCallerAndStopsPromptly) {
  SilentBusinessLogicHost silent(true);
  ASSERT_TRUE(silent.host->waitForOutput("running 2 component(s)")) << silent.host->output();
  const int port = silent.port();
  ASSERT_NE(0, port);
  std::vector<int> callers;
  const std::string call = "GET /1.0/Catalog/getBanners.svc HTTP/1.1\r\nHost: 127.0.0.1\r\nReferer: http://127.0.0.1:" +
                           std::to_string(port) + "/\r\n\r\n";
  for (int i = 0; i < 5; ++i) {
    callers.push_back(connectLoopback(port));
    send(callers.back(), call.data(), call.size(), MSG_NOSIGNAL);
  }
  // Every call waits once the business logic has heard of it.
  ASSERT_TRUE(eventually(
      [&] {
        silent.host->waitForOutput("\x01", std::chrono::milliseconds(20));
        return silent.requests("1.0/Catalog/getBanners") == 5;
      },
      std::chrono::seconds(10)));
  EXPECT_TRUE(silent.stopsWithin(std::chrono::seconds(5))) << silent.host->output();
  for (int fd : callers) {
    const std::string reply = readAll(fd);
    EXPECT_EQ(0u, reply.find("HTTP/1.1 500 Internal Server Error\r\n")) << reply;
    EXPECT_NE(std::string::npos, reply.find("sendAndWait returns NULL, posible timeout")) << reply;
    close(fd);
  }
}

TEST(TessaroHostTest, RefusesBadConfigurationsWithStatusTwo) {
  TempDir dir;
  struct Case {
    std::string config;  // file text; empty: the file does not exist
    std::string message;
  } cases[] = {
      {"", "cannot read the configuration file"},
      {"[host]\nplugins\n", "line 2: expected 'key = value'"},
      {"[host]\nplugins = missing.so\n", "cannot load plug-in"},
      {"[host]\nplugins = host.ini\n", "cannot load plug-in"},
      // The second registration of the same component type is refused.
      {std::string("[host]\nlog_file = host.log\nplugins = ") + OSTREL_PLUGIN + " " + OSTREL_PLUGIN + "\n",
       "plug-in registration was refused"},
  };
  for (const Case& c : cases) {
    std::string path = dir.file("host.ini");
    std::remove(path.c_str());
    if (!c.config.empty()) dir.write("host.ini", c.config);
    Subprocess host({TESSARO_HOST, "--config", path});
    EXPECT_EQ(2, host.wait()) << c.config << host.output();
    EXPECT_NE(std::string::npos, host.output().find("tessaro-host: ")) << host.output();
    EXPECT_NE(std::string::npos, host.output().find(c.message)) << c.config << "\n" << host.output();
    EXPECT_EQ(1, std::count(host.output().begin(), host.output().end(), '\n')) << host.output();
  }
}

// A device never ends and a FIFO waits for a writer: read, either would keep
// the host from ever saying a word.
TEST(TessaroHostTest, AConfigurationThatIsNoRegularFileIsRefusedAtOnce) {
  TempDir dir;
  const std::string fifo = dir.file("host.fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  for (const std::string& path : {std::string("/dev/zero"), fifo, dir.path()})
    for (const bool check : {false, true}) {
      std::vector<std::string> command = {TESSARO_HOST, "--config", path};
      if (check) command.insert(command.begin() + 1, "--check");
      Subprocess host(command);
      EXPECT_EQ(2, host.wait(std::chrono::seconds(10))) << path << host.output();
      EXPECT_EQ("tessaro-host: " + path + ": cannot read the configuration file: not a regular file\n", host.output());
    }
}

TEST(TessaroHostTest, HelpVersionAndUsage) {
  Subprocess help({TESSARO_HOST, "--help"});
  EXPECT_EQ(0, help.wait());
  EXPECT_NE(std::string::npos, help.output().find("usage: tessaro-host --config FILE"));
  Subprocess version({TESSARO_HOST, "--version"});
  EXPECT_EQ(0, version.wait());
  EXPECT_EQ(0u, version.output().find("tessaro-host 1.0 "));
  Subprocess bare({TESSARO_HOST});
  EXPECT_EQ(2, bare.wait());
  EXPECT_NE(std::string::npos, bare.output().find("--config FILE is required"));
  for (std::vector<std::string> flag : {std::vector<std::string>{"--config"}, {"--config", "--check"}, {"--check", "--config", ""}}) {
    flag.insert(flag.begin(), TESSARO_HOST);
    Subprocess missing(flag);
    EXPECT_EQ(2, missing.wait());
    EXPECT_EQ("tessaro-host: --config needs a value: the configuration file\n", missing.output());
  }
}

// A store folder as the demo has it: the HTML root with one UI type, the
// download root, and the data folder a "." is taken from.
struct StoreFolders {
  explicit StoreFolders(TempDir& dir) {
    dir.write("var/ui/desktop/UXManifest.xml", "<KivraUIDescriptor><UIType>desktop</UIType></KivraUIDescriptor>");
    dir.write("var/ui/index.html", "home");
    dir.write("downloads/app.bin", "app");
  }
};

TEST(TessaroHostTest, CheckNamesEveryProblemAndStartsNothing) {
  TempDir dir;
  StoreFolders folders(dir);
  const std::string good = std::string("[host]\nplugins = ") + OSTREL_PLUGIN + "\nlog_file = host.log\n[scope0]\n" +
                           "Directories/VarPath = " + dir.file("var/") + "\nOstrel/DocumentRoot = ./ui\n" +
                           "Ostrel/DownloadRoot = " + dir.file("downloads") + "\nOstrel/DefaultUIType = desktop\n" +
                           "Ostrel/KeepAlive = true\n[scope1]\nKivraLogger/Level = INFO\n";
  Subprocess fine({TESSARO_HOST, "--check", "--config", dir.write("good.ini", good)});
  EXPECT_EQ(0, fine.wait()) << fine.output();
  // A relative setting shows where it leads.
  EXPECT_NE(std::string::npos, fine.output().find("Ostrel/DocumentRoot = ./ui: the folder " + dir.file("var/./ui")))
      << fine.output();
  EXPECT_NE(std::string::npos, fine.output().find("No problems found.")) << fine.output();
  // Nothing started: no log written, no port published.
  EXPECT_FALSE(std::filesystem::exists(dir.file("host.log")));

  const std::string bad = std::string("[host]\nplugins = ") + OSTREL_PLUGIN + "\n[scope0]\n" +
                          "Ostrel/DocumentRoot = ./ui\nOstrel/DefaultUIType = mobile\nOstrel/KeepAlive = yes\n" +
                          "Ostrel/ReferrerChek = false\nDirectories/VarPath = " + dir.file("var/") + "\n" +
                          "[scope1]\nKivraLogger/Level = LOUD\n";
  Subprocess wrong({TESSARO_HOST, "--check", "--config", dir.write("bad.ini", bad)});
  EXPECT_EQ(1, wrong.wait()) << wrong.output();
  for (const std::string& problem :
       {std::string("problem: Ostrel/KeepAlive = yes: only true or false is understood\n"),
        std::string("problem: Ostrel/DownloadRoot is not set\n"),
        "problem: Ostrel/DefaultUIType = mobile: no manifest at " + dir.file("var/./ui/mobile/UXManifest.xml\n"),
        std::string("problem: KivraLogger/Level = LOUD: not a level (DEBUG, TRACE, INFO, WARNING, ERROR, or 0 to 4)\n"),
        std::string("problem: [scope0] Ostrel/ReferrerChek: no component reads this key\n"),
        std::string("5 problems found.\n")})
    EXPECT_NE(std::string::npos, wrong.output().find(problem)) << problem << wrong.output();

  // Folders that are not there, and a relative root without the data folder.
  const std::string missing = std::string("[host]\nplugins = ") + OSTREL_PLUGIN + "\n[scope0]\n" +
                              "Ostrel/DocumentRoot = ./ui\nOstrel/DownloadRoot = " + dir.file("nowhere") +
                              "\nOstrel/DefaultUIType = desktop\n";
  Subprocess absent({TESSARO_HOST, "--check", "--config", dir.write("missing.ini", missing)});
  EXPECT_EQ(1, absent.wait()) << absent.output();
  EXPECT_NE(std::string::npos, absent.output().find("problem: Ostrel/DocumentRoot = ./ui begins with \".\", but "
                                                    "Directories/VarPath, which would come before it, is not set\n"))
      << absent.output();
  EXPECT_NE(std::string::npos, absent.output().find("problem: Ostrel/DownloadRoot: no folder at " + dir.file("nowhere")))
      << absent.output();
}

// What the start refuses, the check names: a root that the web engine would
// read as several folders, and a UI type that could name a folder anywhere.
TEST(TessaroHostTest, CheckNamesRootListsAndUnsafeUITypes) {
  TempDir dir;
  StoreFolders folders(dir);
  const std::string config = std::string("[host]\nplugins = ") + OSTREL_PLUGIN + "\n[scope0]\n" +
                             "Directories/VarPath = " + dir.file("var/") + "\nOstrel/DocumentRoot = ./ui,/x=/etc\n" +
                             "Ostrel/DownloadRoot = " + dir.file("downloads") + "=x\nOstrel/DefaultUIType = ../../etc\n";
  Subprocess check({TESSARO_HOST, "--check", "--config", dir.write("host.ini", config)});
  EXPECT_EQ(1, check.wait()) << check.output();
  for (const std::string& problem :
       {"problem: Ostrel/DocumentRoot = ./ui,/x=/etc: " + dir.file("var/./ui,/x=/etc") +
            " holds \",\" or \"=\", which the web engine would read as further folders to serve; the start refuses it\n",
        "problem: Ostrel/DownloadRoot = " + dir.file("downloads") + "=x: " + dir.file("downloads") +
            "=x holds \",\" or \"=\", which the web engine would read as further folders to serve; the start refuses it\n",
        std::string("problem: Ostrel/DefaultUIType = ../../etc: not a UI type (one folder name of 1 to 64 letters, "
                    "digits, \"-\", \"_\" and \".\", not beginning with \".\"); the start refuses it\n"),
        std::string("3 problems found.\n")})
    EXPECT_NE(std::string::npos, check.output().find(problem)) << problem << check.output();
  // A refused root is not shown as a folder.
  EXPECT_EQ(std::string::npos, check.output().find(": the folder ")) << check.output();

  // With a good root, the UI type is still refused before any manifest is sought.
  const std::string good = std::string("[host]\nplugins = ") + OSTREL_PLUGIN + "\n[scope0]\n" +
                           "Directories/VarPath = " + dir.file("var/") + "\nOstrel/DocumentRoot = ./ui\n" +
                           "Ostrel/DownloadRoot = " + dir.file("downloads") + "\nOstrel/DefaultUIType = ..\n";
  Subprocess root({TESSARO_HOST, "--check", "--config", dir.write("good.ini", good)});
  EXPECT_EQ(1, root.wait()) << root.output();
  EXPECT_NE(std::string::npos, root.output().find("problem: Ostrel/DefaultUIType = ..: not a UI type")) << root.output();
  EXPECT_NE(std::string::npos, root.output().find("1 problem found.\n")) << root.output();
}

TEST(TessaroHostTest, CheckCoversEveryPlugin) {
  TempDir dir;
  StoreFolders folders(dir);
  const std::string config = std::string("[host]\nplugins = ") + BIZL_PLUGIN + " " + OSTREL_PLUGIN + "\n[scope0]\n" +
                             "Directories/VarPath = " + dir.file("var/") + "\nOstrel/DocumentRoot = ./ui\n" +
                             "Ostrel/DownloadRoot = " + dir.file("downloads") + "\nOstrel/DefaultUIType = desktop\n" +
                             "BizlDemo/DataRoot = " + dir.file("nodata") + "\nBizlDemo/EventInterval = soon\n" +
                             "BizlDemo/Colour = blue\n";
  Subprocess check({TESSARO_HOST, "--check", "--config", dir.write("host.ini", config)});
  EXPECT_EQ(1, check.wait()) << check.output();
  for (const std::string& problem :
       {"problem: Demo data folder not found: " + dir.file("nodata") + "\n",
        std::string("problem: Ignoring BizlDemo/EventInterval \"soon\": expected 0 to 60000 milliseconds\n"),
        std::string("problem: [scope0] BizlDemo/Colour: no component reads this key\n"), std::string("3 problems found.\n")})
    EXPECT_NE(std::string::npos, check.output().find(problem)) << problem << check.output();
}

TEST(TessaroHostTest, PrintsTheAddressItServesOnceRunning) {
  TempDir dir;
  StoreFolders folders(dir);
  setenv("TESSARO_REGISTRY_ROOT", dir.file("registry").c_str(), 1);
  const std::string config = dir.write(
      "host.ini", std::string("[host]\nplugins = ") + BIZL_PLUGIN + " " + OSTREL_PLUGIN + "\nlog_file = host.log\n" +
                      "[scope0]\nDirectories/VarPath = " + dir.file("var/") + "\nOstrel/DocumentRoot = ./ui\n" +
                      "Ostrel/DownloadRoot = " + dir.file("downloads") + "\nOstrel/DefaultUIType = desktop\n");
  Subprocess host({TESSARO_HOST, "--config", config});
  ASSERT_TRUE(host.waitForOutput(" (UI type desktop, root " + dir.file("var/./ui)\n"))) << host.output();
  const std::string prefix = "Ostrel: serving http://127.0.0.1:";
  const size_t at = host.output().find(prefix);
  ASSERT_NE(std::string::npos, at) << host.output();
  const int port = std::atoi(host.output().c_str() + at + prefix.size());
  EXPECT_NE(std::string::npos, httpExchange(port, "GET / HTTP/1.0\r\n\r\n").find("home"));
  host.signal(SIGINT);
  EXPECT_EQ(0, host.wait()) << host.output();
  unsetenv("TESSARO_REGISTRY_ROOT");
}

}  // namespace

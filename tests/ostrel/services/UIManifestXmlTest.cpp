// The UI manifest as XML: what the host's reader makes of a manifest with a
// byte order mark, references and CDATA, and of one that declares or refers
// to entities.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ostrel/services/KivraUIDescriptor.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

const std::string kBody =
    "<KivraUIDescriptor>\n"
    "  <UIType>desktop</UIType>\n"
    "  <Version>2.1.0</Version>\n"
    "  <OutputFormat>1</OutputFormat>\n"
    "  <StoreID>42</StoreID>\n"
    "  <AffiliateID>7</AffiliateID>\n"
    "  <SupportedLocaleCodes>\n"
    "    <item><ISOCode>de-DE</ISOCode><Language>Deutsch&#x20;&amp;&#xE4;</Language><Country><![CDATA[<DE>]]></Country>"
    "<ResourceFileName>de.json</ResourceFileName></item>\n"
    "  </SupportedLocaleCodes>\n"
    "  <SupportedFeatures></SupportedFeatures>\n"
    "</KivraUIDescriptor>\n";

std::string laughs() {
  std::string text = "<?xml version=\"1.0\"?>\n<!DOCTYPE KivraUIDescriptor [\n<!ENTITY lol \"lol\">\n";
  for (int i = 2; i <= 9; ++i) {
    text += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) text += "&lol" + (i == 2 ? std::string() : std::to_string(i - 1)) + ";";
    text += "\">\n";
  }
  std::string body = kBody;
  body.replace(body.find("2.1.0"), 5, "&lol9;");
  return text + "]>\n" + body;
}

std::string external() {
  std::string body = kBody;
  body.replace(body.find("2.1.0"), 5, "2.1.0&xxe;");
  return "<?xml version=\"1.0\"?>\n<!DOCTYPE KivraUIDescriptor [<!ENTITY xxe SYSTEM \"file:///etc/passwd\">]>\n" + body;
}

class UIManifestXmlTest : public ::testing::Test {
 protected:
  KivraUIDescriptor loaded(const std::string& manifest) {
    dir.write("desktop/UXManifest.xml", manifest);
    KivraUIDescriptor descriptor("desktop", dir.path());
    descriptor.load();
    return descriptor;
  }
  TempDir dir;
  LogCapture capture;
};

TEST_F(UIManifestXmlTest, AByteOrderMarkReferencesAndCdataReadAsBefore) {
  for (const std::string& manifest : {kBody, "\xEF\xBB\xBF" + kBody}) {
    KivraUIDescriptor descriptor = loaded(manifest);
    EXPECT_EQ("2.1.0", descriptor.version());
    EXPECT_EQ(1, descriptor.outputFormat());
    EXPECT_EQ(42, descriptor.storeId());
    ASSERT_EQ(1u, descriptor.supportedLocaleCodes().size());
    // The file is read as words joined; a reference to a space is a space.
    EXPECT_EQ("Deutsch &\xC3\xA4", descriptor.supportedLocaleCodes()[0].Language);
    EXPECT_EQ("<DE>", descriptor.supportedLocaleCodes()[0].Country);
  }
  EXPECT_TRUE(capture.records().empty()) << capture.records()[0];
  // Read as a text, the declaration keeps its spaces and is read too.
  KivraUIDescriptor declared("desktop", dir.path());
  declared.readFromText("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n" + kBody);
  EXPECT_EQ("2.1.0", declared.version());
  EXPECT_TRUE(capture.records().empty()) << capture.records()[0];

  // From its file the declaration's words run together ("<?xmlversion=..."),
  // which was never XML; names are taken whole, so a prefixed root is another
  // element.
  EXPECT_EQ("", loaded("<?xml version=\"1.0\"?>\n" + kBody).version());
  KivraUIDescriptor prefixed("desktop", dir.path());
  prefixed.readFromText("<k:KivraUIDescriptor xmlns:k=\"urn:k\"><k:UIType>desktop</k:UIType></k:KivraUIDescriptor>");
  EXPECT_EQ((std::vector<std::string>{"ERROR Couldn't parse the UX manifest. desktop",
                                      "ERROR Couldn't parse the UX manifest. desktop"}),
            capture.records());
}

// Declared entities are not expanded, external ones not loaded: from its file
// or from a text, such a manifest is refused or reads nothing for the
// reference, at once.
TEST_F(UIManifestXmlTest, NeitherExpandsNorLoadsEntities) {
  const auto start = std::chrono::steady_clock::now();
  KivraUIDescriptor fromFile = loaded(laughs());
  EXPECT_EQ("", fromFile.version());
  KivraUIDescriptor fromText("desktop", dir.path());
  fromText.readFromText(laughs());
  EXPECT_EQ("", fromText.version());
  EXPECT_EQ((std::vector<std::string>{"ERROR Couldn't parse the UX manifest. desktop",
                                      "ERROR Couldn't parse the UX manifest. desktop"}),
            capture.records());

  LogCapture fresh;
  KivraUIDescriptor externalText("desktop", dir.path());
  externalText.readFromText(external());
  EXPECT_EQ("2.1.0", externalText.version());
  EXPECT_EQ(42, externalText.storeId());
  EXPECT_TRUE(fresh.records().empty()) << fresh.records()[0];
  // From its file the words of the declaration run together: not XML.
  KivraUIDescriptor externalFile = loaded(external());
  EXPECT_EQ("", externalFile.version());
  EXPECT_EQ(std::vector<std::string>{"ERROR Couldn't parse the UX manifest. desktop"}, fresh.records());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace

#include "ostrel/services/KivraUIDescriptor.h"

#include <gtest/gtest.h>

#include "ostrel/services/UIDescriptorFactory.h"
#include "ostrel/services/UIType.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

const char* kManifest =
    "<KivraUIDescriptor>\n"
    "  <UIType>desktop</UIType>\n"
    "  <Version>2.1.0</Version>\n"
    "  <OutputFormat>2</OutputFormat>\n"
    "  <StoreID>42</StoreID>\n"
    "  <AffiliateID>7</AffiliateID>\n"
    "  <SupportedLocaleCodes>\n"
    "    <item><ISOCode>en-GB</ISOCode><Language>British English</Language><Country>UK</Country>"
    "<ResourceFileName>en.json</ResourceFileName></item>\n"
    "    <item><ISOCode>de-DE</ISOCode><Language>Deutsch</Language><Country>DE</Country>"
    "<ResourceFileName>de.json</ResourceFileName></item>\n"
    "  </SupportedLocaleCodes>\n"
    "  <SupportedFeatures>\n"
    "    <item><Name>reviews</Name><Enabled>1</Enabled></item>\n"
    "  </SupportedFeatures>\n"
    "</KivraUIDescriptor>\n";

class KivraUIDescriptorTest : public ::testing::Test {
 protected:
  TempDir dir;
  LogCapture capture;
};

TEST_F(KivraUIDescriptorTest, LoadsTheManifestJoiningWords) {
  dir.write("desktop/UXManifest.xml", kManifest);
  KivraUIDescriptor descriptor("desktop", dir.path());
  EXPECT_EQ(dir.path() + "/desktop", descriptor.uiFolder());
  descriptor.load();
  EXPECT_TRUE(capture.records().empty()) << capture.records()[0];
  EXPECT_EQ(2, descriptor.outputFormat());
  EXPECT_EQ("2.1.0", descriptor.version());
  EXPECT_EQ(42, descriptor.storeId());
  EXPECT_EQ(7, descriptor.affiliateId());
  ASSERT_EQ(2u, descriptor.supportedLocaleCodes().size());
  // White space inside text is lost on load.
  EXPECT_EQ("BritishEnglish", descriptor.supportedLocaleCodes()[0].Language);
  EXPECT_EQ("de.json", descriptor.supportedLocaleCodes()[1].ResourceFileName);
  ASSERT_EQ(1u, descriptor.supportedFeatures().size());
  EXPECT_TRUE(descriptor.supportedFeatures()[0].Enabled);

  std::string json = descriptor.writeToJson();
  EXPECT_EQ(0u, json.find("{\"kivrauidescriptor\":{\"uitype\":\"desktop\",\"version\":\"2.1.0\",\"outputformat\":2,"
                          "\"storeid\":42,\"affiliateid\":7,\"supportedlocalecodes\":[{\"isocode\":\"en-GB\","))
      << json;
  KivraUIDescriptor copy("desktop", dir.path());
  copy.readFromText(descriptor.writeToText());
  EXPECT_EQ("desktop", copy.uiType());
  EXPECT_EQ("desktop", copy.manifestUIType());
  EXPECT_EQ(2u, copy.supportedLocaleCodes().size());
  EXPECT_TRUE(capture.records().empty());
}

// A manifest that names another UI type (a folder elsewhere, or just another
// name) neither moves the descriptor's folder nor changes its type; a UI type
// that is no folder name reads nothing.
TEST_F(KivraUIDescriptorTest, TheUITypeIsTheFolderItWasInstalledUnder) {
  // "../../etc" from the root a/html is the folder etc beside a.
  const std::string root = dir.file("a/html");
  dir.write("a/html/desktop/UXManifest.xml", std::string(kManifest).replace(std::string(kManifest).find("desktop"),
                                                                            7, "../../etc"));
  dir.write("etc/UXManifest.xml", std::string(kManifest).replace(std::string(kManifest).find("2.1.0"), 5, "9.9.9"));
  KivraUIDescriptor descriptor("desktop", root);
  descriptor.load();
  EXPECT_EQ("desktop", descriptor.uiType());
  EXPECT_EQ("../../etc", descriptor.manifestUIType());
  EXPECT_EQ(root + "/desktop", descriptor.uiFolder());
  EXPECT_EQ("2.1.0", descriptor.version());
  EXPECT_EQ(42, descriptor.storeId());
  EXPECT_EQ(std::vector<std::string>{"ERROR UIType of the UX manifest does not match its folder. (Folder: desktop, "
                                     "UIType: ../../etc)"},
            capture.records());
  EXPECT_NE(std::string::npos, descriptor.writeToText().find("<UIType>desktop</UIType>"));
  // A descriptor made again for the type it reports reads the same folder.
  KivraUIDescriptor again(descriptor.uiType(), root);
  again.load();
  EXPECT_EQ("2.1.0", again.version());

  // Another safe name is logged the same way.
  {
    LogCapture fresh;
    KivraUIDescriptor descriptor("desktop", dir.path());
    descriptor.readFromText(std::string(kManifest).replace(std::string(kManifest).find("desktop"), 7, "mobile"));
    EXPECT_EQ("desktop", descriptor.uiType());
    EXPECT_EQ("mobile", descriptor.manifestUIType());
    EXPECT_EQ(std::vector<std::string>{"ERROR UIType of the UX manifest does not match its folder. (Folder: desktop, "
                                       "UIType: mobile)"},
              fresh.records());
  }

  // Types that would leave the root name no folder at all.
  for (const std::string bad : {"../etc", "..", "a/b", ""}) {
    LogCapture fresh;
    KivraUIDescriptor descriptor(bad, dir.file("html/desktop"));
    EXPECT_EQ("", descriptor.uiFolder()) << bad;
    descriptor.load();
    EXPECT_EQ("", descriptor.version()) << bad;
    EXPECT_EQ(std::vector<std::string>{"ERROR UX Descriptor is not available. " + bad}, fresh.records()) << bad;
  }

  // Only safe names get a builder.
  UIDescriptorFactory factory;
  EXPECT_FALSE(factory.registerBuilder("../../etc", UIDescriptorFactory::kivraBuilder("../../etc", dir.file("html"))));
  EXPECT_FALSE(factory.registerBuilder("desktop", nullptr));
  EXPECT_EQ(nullptr, factory.create("../../etc"));
}

TEST_F(KivraUIDescriptorTest, TheFolderIsTheRootAndTheTypeJoinedByOneSeparator) {
  struct Case {
    std::string root;
    std::string folder;
  };
  const Case cases[] = {{"", "desktop"},
                        {"/", "/desktop"},
                        {"html", "html/desktop"},
                        {"html/", "html/desktop"},
                        {"html//", "html//desktop"},
                        {"/srv/./ui/..", "/srv/./ui/../desktop"},
                        {"/srv/my ui/\xc3\xa9", "/srv/my ui/\xc3\xa9/desktop"}};
  for (const Case& c : cases) {
    EXPECT_EQ(c.folder, KivraUIDescriptor("desktop", c.root).uiFolder()) << c.root;
    EXPECT_EQ(c.root + (c.root.empty() || c.root.back() == '/' ? "" : "/") + "a.b-c_d",
              KivraUIDescriptor("a.b-c_d", c.root).uiFolder())
        << c.root;
  }
  // The manifest is read from that folder.
  dir.write("html/desktop/UXManifest.xml", kManifest);
  KivraUIDescriptor descriptor("desktop", dir.file("html") + "/");
  descriptor.load();
  EXPECT_EQ("2.1.0", descriptor.version());
}

TEST_F(KivraUIDescriptorTest, PartialManifestKeepsEarlierValues) {
  std::string manifest = kManifest;
  manifest.erase(manifest.find("  <SupportedFeatures>"), manifest.find("</KivraUIDescriptor>") - manifest.find("  <SupportedFeatures>"));
  dir.write("desktop/UXManifest.xml", manifest);
  KivraUIDescriptor descriptor("desktop", dir.path());
  descriptor.load();
  EXPECT_EQ(2, descriptor.outputFormat());
  EXPECT_EQ(2u, descriptor.supportedLocaleCodes().size());
  EXPECT_EQ(std::vector<std::string>{"ERROR Couldn't parse the UX manifest. desktop"}, capture.records());
}

TEST_F(KivraUIDescriptorTest, MissingManifestKeepsConstructedValues) {
  UIDescriptorFactory factory;
  EXPECT_EQ(nullptr, factory.create("desktop"));
  EXPECT_TRUE(factory.registerBuilder("desktop", UIDescriptorFactory::kivraBuilder("desktop", dir.path())));
  EXPECT_FALSE(factory.registerBuilder("desktop", UIDescriptorFactory::kivraBuilder("other", dir.path())));
  UIDescriptorPtr descriptor = factory.create("desktop");
  ASSERT_NE(nullptr, descriptor);
  EXPECT_EQ("desktop", descriptor->uiType());
  EXPECT_EQ(0, descriptor->outputFormat());
  EXPECT_EQ(std::vector<std::string>{"ERROR UX Descriptor is not available. desktop"}, capture.records());
}

}  // namespace

TEST(UITypeTest, OnlyOneSegmentOfSafeCharactersNamesAUIFolder) {
  for (const std::string good : {"desktop", "Desktop-2", "tv_large", "v1.2", "x"})
    EXPECT_TRUE(isSafeUIType(good)) << good;
  for (const std::string bad : {"", ".", "..", "../../etc", "a/b", "a\\b", ".hidden", "desk top", "d%2e", "C:", "x\n"})
    EXPECT_FALSE(isSafeUIType(bad)) << bad;
  EXPECT_TRUE(isSafeUIType(std::string(64, 'a')));
  EXPECT_FALSE(isSafeUIType(std::string(65, 'a')));
  EXPECT_FALSE(isSafeUIType(std::string("desk\0top", 8)));
}

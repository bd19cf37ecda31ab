// Filling reply templates, and the XML text helpers they rely on.

#include "bizl-demo/TemplateFiller.h"

#include <gtest/gtest.h>

#include <map>

#include "bizl-demo/RequestError.h"
#include "bizl-demo/XmlText.h"

namespace {

class MapSource : public bizl::PlaceholderSource {
 public:
  explicit MapSource(std::map<std::string, std::string> values) : values_(std::move(values)) {}
  std::string resolve(const std::string& name, bool mandatory) override {
    asked.push_back((mandatory ? "!" : "") + name);
    auto it = values_.find(name);
    if (it != values_.end()) return it->second;
    if (mandatory) throw bizl::RequestError(bizl::status::kMissingParameter, "Missing mandatory parameter: " + name);
    return "";
  }
  std::vector<std::string> asked;

 private:
  std::map<std::string, std::string> values_;
};

}  // namespace

TEST(TemplateFillerTest, ReplacesPlaceholdersAndLeavesOtherBracesAlone) {
  MapSource source({{"a", "1"}, {"app.Name", "N"}, {"list:apps", "<x>{a}</x>"}});
  EXPECT_EQ("<r>1N{}{ a}{a b}{</r>", bizl::fillTemplate("<r>{a}{app.Name}{}{ a}{a b}{</r>", source));
  // Inserted text is not filled again.
  EXPECT_EQ("<l><x>{a}</x></l>", bizl::fillTemplate("<l>{list:apps}</l>", source));
  EXPECT_EQ("11-", bizl::fillTemplate("{a}{!a}{missing}-", source));
  EXPECT_EQ((std::vector<std::string>{"a", "app.Name", "list:apps", "a", "!a", "missing"}), source.asked);
  EXPECT_EQ("", bizl::fillTemplate("", source));
  EXPECT_EQ("{!}", bizl::fillTemplate("{!}", source));
}

TEST(TemplateFillerTest, MandatoryPlaceholderRefusesTheRequest) {
  MapSource source({});
  try {
    bizl::fillTemplate("<r>{!Mail}</r>", source);
    FAIL() << "no error";
  } catch (const bizl::RequestError& error) {
    EXPECT_EQ(bizl::status::kMissingParameter, error.code());
    EXPECT_FALSE(error.critical());
    EXPECT_STREQ("ERROR", error.replyType());
    EXPECT_EQ("<Status><version>1.0</version><statusCode>2</statusCode><statusMessage>Missing mandatory parameter: Mail"
              "</statusMessage></Status>",
              error.statusDocument());
  }
  EXPECT_STREQ("CRITICAL", bizl::RequestError(100, "x", true).replyType());
  EXPECT_EQ("<Status><version>1.0</version><statusCode>4</statusCode><statusMessage>Unknown &lt;id&gt; &amp; &apos;x&apos;"
            "</statusMessage></Status>",
            bizl::RequestError::statusDocument(4, "Unknown <id> & 'x'"));
}

TEST(XmlTextTest, EscapesTheFiveMarkupCharacters) {
  EXPECT_EQ("a &lt;b&gt; &amp; &apos;c&apos; &quot;d&quot; \xC3\xA9\n", bizl::xmlEscape("a <b> & 'c' \"d\" \xC3\xA9\n"));
}

TEST(XmlTextTest, CompactsIndentedAndCommentedData) {
  EXPECT_EQ("<a><b>x y</b><c> z </c><d></d></a>",
            bizl::compactXml("<?xml version=\"1.0\"?>\n<!-- note -->\n<a>\n  <b>x y</b>\n  <c> z </c>\t<d>  </d>\n</a>\n"));
  EXPECT_EQ("<a>{status}<b></b></a>", bizl::compactXml("<a>{status}<!-- {app.Name} --><b></b></a>"));
  // Text beside a placeholder keeps its spaces; only space that stands alone between tags goes.
  EXPECT_EQ("<a>\n  {status}\n  <b></b></a>", bizl::compactXml("<a>\n  {status}\n  <b></b></a>"));
  EXPECT_EQ("<a>", bizl::compactXml("<a><!-- unterminated"));
  EXPECT_EQ("", bizl::compactXml(" \n "));
}

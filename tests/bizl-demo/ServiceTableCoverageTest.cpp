// Every operation the plug-in's service table can send gets a successful answer
// from the bundled data, in both output formats, when the request is sound.

#include <gtest/gtest.h>

#include <map>

#include "BizlTestSupport.h"
#include "ostrel/services/RequestTemplate.h"
#include "ostrel/services/ServiceTable.h"
#include "tessaro/XMLTool.h"

using namespace bizltest;

namespace {

// Sound values for the templates' placeholders; any other parameter gets "1".
ParameterMap soundParameters() {
  const std::map<std::string, std::string> values = {
      {"applicationid", "app-1003"}, {"application_id", "app-1003"}, {"app_guid", "app-1003"},
      {"appGUID", "app-1003"},       {"applicationitemid", "pq-coins-500"},
      {"categoryid", "2"},           {"categoryId", "2"},
      {"type", "FREE"},              {"text", "quest"},
      {"start", "0"},                {"count", "10"},
      {"mail", "demo@kivra.test"},   {"email", "demo@kivra.test"},
      {"password", "demo123"},       {"oldpassword", "demo123"},
      {"newpassword", "demo456"},    {"rating", "4"},
      {"prefname", "Theme"},         {"prefvalue", "dark"},
      {"localeCode", "en-US"},       {"localecode", "en-US"},
      {"couponCode", "WELCOME5"},    {"currentDialog", "welcome"},
  };
  return ParameterMap(values.begin(), values.end());
}

}  // namespace

TEST(ServiceTableCoverageTest, EveryOperationOfTheServiceTableIsAnswered) {
  configure("", "1");
  bizl::BizlDemoComponent component;
  component.start();
  ServiceTable table;
  table.load();
  ASSERT_FALSE(table.keys().empty());

  for (int format : {0, 2}) {
    ASSERT_EQ("SUCCESS", setOutputFormat(format).type);
    for (const std::string& servicePath : table.keys()) {
      const ServiceConfig& config = table.lookup(servicePath);
      ParameterMap parameters = soundParameters();
      // Placeholders the list above does not know get a plain value.
      for (size_t open = config.templateText.find('{'); open != std::string::npos;
           open = config.templateText.find('{', open + 1)) {
        size_t close = config.templateText.find('}', open);
        parameters.emplace(config.templateText.substr(open + 1, close - open - 1), "1");
      }
      // Some operations answer only for a signed-in account.
      ASSERT_EQ("SUCCESS", ask("1.0/Profile/login",
                               "<login><Mail>demo@kivra.test</Mail><Password>demo123</Password></login>").type);

      const std::string document = RequestTemplate(config.templateText, parameters).result();
      Answer answer = ask(config.operationPath, document);
      ASSERT_EQ("SUCCESS", answer.type) << servicePath << " -> " << config.operationPath << "\n"
                                        << document << "\n" << answer.text;
      if (format == 0) {
        std::string code;
        try {
          code = bootStrapCreate(answer.text, 0)->getValue("Response\\Status\\statusCode");
        } catch (const std::exception& error) {
          code = error.what();
        }
        EXPECT_EQ("0", code) << config.operationPath << ": " << answer.text;
      } else {
        EXPECT_EQ('{', answer.text.front()) << config.operationPath << ": " << answer.text;
        EXPECT_NE(std::string::npos, answer.text.find("\"statuscode\":\"0\"")) << config.operationPath << ": " << answer.text;
      }
    }
  }

  // The messages of Ostrel's start and of its UX update, which are not in the table.
  for (const auto& internal : {std::make_pair("1.0/Internal/startBootstrap", "<startBootstrap></startBootstrap>"),
                               std::make_pair("1.0/Agent/getDeviceType", "<getDeviceType></getDeviceType>")})
    EXPECT_EQ("SUCCESS", ask(internal.first, internal.second).type) << internal.first;
  component.stop();
}

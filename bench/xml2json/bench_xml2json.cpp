// Conversion of a catalogue reply of about 20 KB, and filling a search template.
#include <benchmark/benchmark.h>

#include <string>

#include "ostrel/services/RequestTemplate.h"
#include "ostrel/services/ServiceTable.h"
#include "ostrel/xml2json/Xml2Json.h"

namespace {

// A searchApps reply as the business logic sends it for a category page.
std::string catalogueReply(int apps) {
  std::string xml =
      "<Response><Status>0</Status><StatusMessage>Success</StatusMessage><SearchResult>"
      "<TotalCount>412</TotalCount><Start>0</Start><Count>" + std::to_string(apps) + "</Count><Apps>";
  for (int i = 0; i < apps; ++i) {
    const std::string id = std::to_string(1000 + i);
    xml += "<App id=\"app-" + id + "\" version=\"2." + std::to_string(i % 7) + ".1\" price=\"" +
           (i % 3 ? "0.99" : "0") + "\" currency=\"EUR\">";
    xml += "<Name>Puzzle Quest " + id + "</Name>";
    xml += "<Publisher>Corvane &amp; Partners Studios</Publisher>";
    xml += "<ShortDescription>Match tiles, collect gems &amp; beat 120 levels of &quot;brain&quot; "
           "teasers.</ShortDescription>";
    xml += "<Rating>4." + std::to_string(i % 10) + "</Rating>";
    xml += i % 4 ? "<Downloads>" + std::to_string(i * 1371) + "</Downloads>" : "<Downloads xsi:nil=\"true\"/>";
    xml += "<Icon uri=\"/icons/" + id + ".png\"/>";
    xml += "<Categories><Category id=\"12\">Games</Category><Category id=\"31\">Puzzle</Category></Categories>";
    xml += "<Screenshots><Screenshot>/shots/" + id + "-1.jpg</Screenshot><Screenshot>/shots/" + id +
           "-2.jpg</Screenshot></Screenshots>";
    xml += "<Installed>false</Installed><Updated/></App>";
  }
  xml += "</Apps></SearchResult></Response>";
  return xml;
}

void BM_ConvertCatalogueReply(benchmark::State& state) {
  const std::string xml = catalogueReply(static_cast<int>(state.range(0)));
  const Xml2Json converter;
  std::size_t out = 0;
  for (auto _ : state) {
    std::string json = converter.convert(xml);
    out = json.size();
    benchmark::DoNotOptimize(json);
  }
  if (out == 0) state.SkipWithError("conversion failed");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * xml.size()));
  state.counters["xml_bytes"] = static_cast<double>(xml.size());
  state.counters["json_bytes"] = static_cast<double>(out);
}
BENCHMARK(BM_ConvertCatalogueReply)->Arg(40)->Arg(400);

void BM_FillSearchTemplate(benchmark::State& state) {
  ServiceTable table;
  table.load();
  const std::string& text = table.lookup("1.0/Catalog/getApplicationsByCategory").templateText;
  const ParameterMap parameters{{"categoryid", "31"}, {"count", "40"},       {"filter", "PRICE"},
                                {"filtervalue", "free"}, {"order", "RATING"}, {"start", "0"},
                                {"sessionId", "9f1c2b7e-5d4a-4c1e-8e0b-3b6f1a2d9c44"},
                                {"localeCode", "en-US"}};
  for (auto _ : state) {
    RequestTemplate request(text, parameters);
    benchmark::DoNotOptimize(request.result());
  }
}
BENCHMARK(BM_FillSearchTemplate);

void BM_LoadServiceTable(benchmark::State& state) {
  for (auto _ : state) {
    ServiceTable table;
    table.load();
    benchmark::DoNotOptimize(table.size());
  }
}
BENCHMARK(BM_LoadServiceTable);

}  // namespace

BENCHMARK_MAIN();

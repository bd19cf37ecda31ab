// ostrel-service-list: the services the store UI may call, written from the
// compiled-in service table, so that the README's list cannot drift from it.
//   ostrel-service-list                 prints the list
//   ostrel-service-list --update FILE   puts it between FILE's markers
//   ostrel-service-list --check FILE    exits 1 when FILE's list differs

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ostrel/services/RequestTemplate.h"
#include "ostrel/services/ServiceTable.h"

namespace {

const char kBegin[] = "<!-- services: written by ostrel-service-list --update README.md; do not edit -->\n";
const char kEnd[] = "<!-- end of services -->\n";

// A plausible value for a sample call; any other parameter gets "x".
std::string sampleValue(std::string name) {
  for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
  static const std::map<std::string, std::string> samples = {
      {"applicationid", "app-1001"}, {"application_id", "app-1001"}, {"appguid", "app-1001"},
      {"localecode", "en-US"},       {"locale", "en-US"},            {"currency", "USD"},
      {"price", "4.99"},             {"categoryid", "1"},            {"start", "0"},
      {"count", "20"},               {"text", "photo"},              {"email", "ada@example.com"},
      {"mail", "ada@example.com"},   {"correlationid", "1"},         {"storeid", "1"},
      {"affiliateid", "2"}};
  auto found = samples.find(name);
  return found == samples.end() ? "x" : found->second;
}

// The placeholders of a template, in order, each once.
std::vector<std::string> parametersOf(const std::string& text) {
  std::vector<std::string> names;
  for (size_t begin = text.find('{'); begin != std::string::npos; begin = text.find('{', begin + 1)) {
    const size_t end = text.find('}', begin + 1);
    if (end == std::string::npos) break;
    const std::string name = text.substr(begin + 1, end - begin - 1);
    bool seen = false;
    for (const std::string& n : names) seen = seen || n == name;
    if (!seen) names.push_back(name);
  }
  return names;
}

std::string whereAnswered(const ServiceRow& row) {
  const std::string functor = row.functorName;
  if (functor == "HCServiceProxyFunctor") return std::string("the business logic's `") + row.operationPath + "`";
  if (functor == "UXUpdateFunctor") return "Ostrel's update manager";
  return "Ostrel itself (" + functor + ")";
}

std::string serviceList() {
  std::ostringstream out;
  out << kBegin;
  for (const ServiceRow* row = kServiceRows; row->servicePath; ++row) {
    const std::vector<std::string> names = parametersOf(row->templateText);
    ParameterMap sample;
    std::string query, shown;
    for (const std::string& name : names) {
      sample[name] = sampleValue(name);
      query += (query.empty() ? "?" : "&") + name + "=" + sample[name];
      shown += (shown.empty() ? "" : ", ") + ("`" + name + "`");
    }
    // Only the business logic's services fill their template; the others read
    // their parameters in their own code.
    if (std::string(row->functorName) != "HCServiceProxyFunctor") {
      out << "- `/" << row->servicePath << ".svc`: answered by " << whereAnswered(*row) << "\n";
      continue;
    }
    out << "- `/" << row->servicePath << ".svc`: " << (shown.empty() ? "no parameters" : shown) << "; answered by "
        << whereAnswered(*row) << "\n";
    out << "  `GET /" << row->servicePath << ".svc" << query << "` sends `"
        << RequestTemplate(row->templateText, sample).result() << "`\n";
  }
  out << kEnd;
  return out.str();
}

bool readFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  text = all.str();
  return true;
}

// FILE's text with the list between its markers replaced; false without markers.
bool withList(const std::string& text, const std::string& list, std::string& result) {
  const size_t begin = text.find(kBegin);
  const size_t end = begin == std::string::npos ? begin : text.find(kEnd, begin);
  if (end == std::string::npos) return false;
  result = text.substr(0, begin) + list + text.substr(end + std::strlen(kEnd));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string list = serviceList();
  if (argc == 1) {
    std::fputs(list.c_str(), stdout);
    return 0;
  }
  const bool update = argc == 3 && !std::strcmp(argv[1], "--update");
  if (argc != 3 || (!update && std::strcmp(argv[1], "--check"))) {
    std::fputs("usage: ostrel-service-list [--update FILE | --check FILE]\n", stderr);
    return 2;
  }
  std::string text, result;
  if (!readFile(argv[2], text) || !withList(text, list, result)) {
    std::fprintf(stderr, "ostrel-service-list: %s cannot be read or lacks the markers\n", argv[2]);
    return 2;
  }
  if (update) {
    std::ofstream(argv[2], std::ios::binary) << result;
    return 0;
  }
  if (result == text) return 0;
  std::fprintf(stderr, "ostrel-service-list: the list in %s differs from the service table; run "
                       "build/src/tools/service-list/ostrel-service-list --update %s\n", argv[2], argv[2]);
  return 1;
}

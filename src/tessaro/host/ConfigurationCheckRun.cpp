#include "tessaro/host/ConfigurationCheckRun.h"

#include <map>
#include <string>
#include <vector>

#include "tessaro/ComponentReport.h"
#include "tessaro/host/HostComponents.h"

namespace {

// A key in a scope that no component reads is most likely misspelt. Only
// decidable when every component says what it reads.
void findUnreadKeys(const HostConfig& config, ConfigurationCheck& check) {
  const std::pair<ConfigurationScope, const std::map<std::string, std::string>*> scopes[] = {
      {ConfigScopeComponent, &config.scope0}, {ConfigScopeShared, &config.scope1}};
  for (const auto& [scope, values] : scopes)
    for (const auto& entry : *values)
      if (!check.isRead(scope, entry.first))
        check.problem(std::string(scope == ConfigScopeComponent ? "[scope0] " : "[scope1] ") + entry.first +
                      ": no component reads this key");
}

}  // namespace

int checkConfiguration(const HostConfig& config, FILE* out) {
  applyHostConfig(config);
  std::vector<HostComponent> components;
  std::string failed, error;
  if (!createComponents(config.plugins, components, failed, error)) {
    destroyComponents(components);
    std::fprintf(stderr, "tessaro-host: %s: %s\n", failed.c_str(), error.c_str());
    return 2;
  }
  ConfigurationCheck check;
  std::vector<std::string> silent;
  for (const HostComponent& component : components) {
    if (auto* report = dynamic_cast<IComponentReport*>(component.object))
      report->checkConfiguration(check);
    else
      silent.push_back(component.type);
  }
  destroyComponents(components);
  if (silent.empty()) findUnreadKeys(config, check);

  std::fprintf(out, "Checking %s\n", config.path.c_str());
  for (const std::string& type : silent)
    std::fprintf(out, "  %s does not check its settings; keys that nobody reads are not sought\n", type.c_str());
  for (const std::string& note : check.notes()) std::fprintf(out, "  %s\n", note.c_str());
  for (const std::string& problem : check.problems()) std::fprintf(out, "problem: %s\n", problem.c_str());
  const size_t count = check.problems().size();
  if (count == 0)
    std::fprintf(out, "No problems found.\n");
  else
    std::fprintf(out, "%zu problem%s found.\n", count, count == 1 ? "" : "s");
  return count == 0 ? 0 : 1;
}

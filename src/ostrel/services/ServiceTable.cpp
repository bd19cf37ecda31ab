#include "ostrel/services/ServiceTable.h"

#include "ostrel/services/HCServiceProxyConfigNotFoundException.h"

void ServiceTable::load() { load(kServiceRows); }

void ServiceTable::load(const ServiceRow* rows) {
  for (const ServiceRow* row = rows; row->servicePath != nullptr; ++row) {
    configs_.emplace(row->servicePath,
                     ServiceConfig{row->operationPath ? row->operationPath : "",
                                   row->templateText ? row->templateText : "",
                                   row->functorName ? row->functorName : ""});
  }
}

const ServiceConfig& ServiceTable::lookup(const std::string& servicePath) const {
  auto found = configs_.find(servicePath);
  if (found == configs_.end()) throw HCServiceProxyConfigNotFoundException(servicePath);
  return found->second;
}

std::vector<std::string> ServiceTable::keys() const {
  std::vector<std::string> paths;
  paths.reserve(configs_.size());
  for (const auto& entry : configs_) paths.push_back(entry.first);
  return paths;
}

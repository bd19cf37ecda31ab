#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ostrel/services/ServiceConfig.h"

// One row of the compiled-in catalogue; a row whose servicePath is null ends it.
struct ServiceRow {
  const char* servicePath;
  const char* operationPath;
  const char* functorName;
  const char* templateText;
};

// The catalogue of every service the browser UI may call (ServiceRows.cpp).
extern const ServiceRow kServiceRows[];

// Service path -> ServiceConfig. Read-only once loaded, so one table may be read
// from many threads.
class ServiceTable {
 public:
  // Inserts every row of the compiled-in catalogue.
  void load();
  // Inserts rows up to the end row; a path already present keeps its first row.
  void load(const ServiceRow* rows);

  // Throws HCServiceProxyConfigNotFoundException for a path without a row.
  const ServiceConfig& lookup(const std::string& servicePath) const;

  // Every service path, in map order.
  std::vector<std::string> keys() const;

  std::size_t size() const { return configs_.size(); }

 private:
  std::map<std::string, ServiceConfig> configs_;
};

using ServiceTablePtr = std::shared_ptr<ServiceTable>;

#pragma once

// What a component may tell the host beyond its life cycle. A component that
// implements this interface as well as IComponent is asked by the host: for a
// line to show once it runs, and for a check of its settings without a start.

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tessaro/ConfigurationManager.h"

// The findings of a configuration check, filled by each component in turn.
class ConfigurationCheck {
 public:
  // The component reads this key: a key no component reads is a finding too.
  void reads(ConfigurationScope scope, const std::string& key) { read_.insert({scope, key}); }
  // Something that keeps the component from running as configured.
  void problem(const std::string& text) { problems_.push_back(text); }
  // What a value stands for, e.g. the folder a relative setting names.
  void note(const std::string& text) { notes_.push_back(text); }

  bool isRead(ConfigurationScope scope, const std::string& key) const { return read_.count({scope, key}) != 0; }
  const std::vector<std::string>& problems() const { return problems_; }
  const std::vector<std::string>& notes() const { return notes_; }

 private:
  std::set<std::pair<ConfigurationScope, std::string>> read_;
  std::vector<std::string> problems_;
  std::vector<std::string> notes_;
};

class IComponentReport {
 public:
  virtual ~IComponentReport();
  // One line for the terminal once the component has started; empty for none.
  virtual std::string runningLine() const = 0;
  // Reads the settings the component would read at start, without starting.
  virtual void checkConfiguration(ConfigurationCheck& check) const = 0;
};

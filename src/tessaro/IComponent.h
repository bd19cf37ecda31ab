#pragma once

// A host component: the object a plug-in's factory creates. The host drives it
// through these operations, one at a time, on its own thread.
class IComponent {
 public:
  virtual ~IComponent() = default;
  virtual void initialize() = 0;
  virtual void shutdown() = 0;
  virtual void start() = 0;
  virtual void stop() = 0;
};

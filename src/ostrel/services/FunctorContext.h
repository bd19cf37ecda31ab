#pragma once

// What a functor may need of the running plug-in, handed to its builder by the
// start sequence. A pointer is null where the plug-in has no such part.

class ReliableListener;
class StartupErrors;
class UIContexts;
class UpdateService;
class WaitingCalls;

struct FunctorContext {
  UIContexts* contexts = nullptr;         // UI descriptors by session or UI type
  ReliableListener* reliable = nullptr;   // pending reliable events, taken by name
  StartupErrors* startupErrors = nullptr;
  UpdateService* updates = nullptr;       // what the UX update services ask for
  WaitingCalls* waitingCalls = nullptr;   // the bound on calls waiting for the business logic
};

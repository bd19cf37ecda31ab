#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bizl-demo/Catalog.h"
#include "bizl-demo/EventPublisher.h"
#include "bizl-demo/ReplyStore.h"
#include "bizl-demo/RequestHandler.h"
#include "bizl-demo/SessionState.h"
#include "bizl-demo/StateLock.h"

namespace bizl {

// Answers each operation from its reply template, replies/<operation path>.xml,
// filled from the request. A few operations also check the request, change the
// session state or publish events; those are bound to their operation path here.
// Requests may come from several threads at once: an operation that changes state
// or publishes events runs alone, the others side by side.
class RequestDispatcher : public RequestHandler {
 public:
  // `bootstrapFile`: where Ostrel saves the web links no channel took; the
  // start-up bootstrap publishes them again and removes the file.
  RequestDispatcher(ReplyStorePtr store, EventPublisherPtr publisher, std::string bootstrapFile = "");

  const SessionState& state() const { return state_; }

  static constexpr const char* kEventTopicPrefix = "event:/KivraServices/KivraBusinessLogic/v1_0/";
  static constexpr const char* kReliableTopicPrefix = "event:/KivraServices/KivraBusinessLogic/Reliable/v1_0/";
  // The saved web links are read up to this size; Ostrel writes a few kilobytes.
  static constexpr size_t kMaxSavedWebLinks = 1 << 20;

  // RequestHandler
  Reply handle(const std::string& operation, const std::string& document) override;

 private:
  struct Context;
  struct AppView;
  class ContextSource;
  class ItemSource;

  // `check` runs before the reply is filled and may refuse the request; `apply`
  // runs after it was filled and changes state or publishes events.
  struct Action {
    std::function<void(Context&)> check;
    std::function<void(Context&)> apply;
  };

  void bindActions();
  void bindSessionActions();
  void bindApplicationActions();
  void bindEventActions();
  void bind(const std::string& operation, std::function<void(Context&)> check,
            std::function<void(Context&)> apply);

  // `stateLocked`: the caller already holds stateLock_ for writing.
  Reply respond(const std::string& operation, const std::string& document, bool stateLocked);
  std::string answer(Context& context, const Action* action);

  DataText readData(const std::string& name) const;
  DataText replyTemplate(const std::string& operation, const Context& context) const;
  std::string fill(const std::string& text, Context& context);
  std::string formatted(std::string xml) const;

  const AppView& requireApp(Context& context);
  const Record& requireUser(Context& context);
  void search(Context& context);
  AppView viewOf(RecordPtr record) const;
  bool matchesSearch(const AppView& app, const std::string& type, const std::string& value,
                     const std::string& relatedTo, const std::string& relatedCategory) const;

  DemoEvent makeEvent(const std::string& name, const std::string& topic, Context& context);
  void republishSavedWebLinks();
  std::vector<DemoEvent> progressEvents(const std::string& operationName, Context& context);

  ReplyStorePtr store_;
  EventPublisherPtr publisher_;
  Catalog catalog_;
  SessionState state_;
  // Held for writing by the operations bound with an apply step, for reading by
  // all others: a change and the reply that reports it are one step for every
  // other request.
  StateLock stateLock_;
  std::map<std::string, Action> actions_;  // written only by the constructor
  const std::string bootstrapFile_;
};

}  // namespace bizl

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

namespace bizl {

// Answers each operation from its reply template, replies/<operation path>.xml,
// filled from the request. A few operations also check the request, change the
// session state or publish events; those are bound to their operation path here.
class RequestDispatcher : public RequestHandler {
 public:
  // `bootstrapFile`: where Ostrel saves the web links no channel took; the
  // start-up bootstrap publishes them again and removes the file.
  RequestDispatcher(ReplyStorePtr store, EventPublisherPtr publisher, std::string bootstrapFile = "");

  const SessionState& state() const { return state_; }

  static constexpr const char* kEventTopicPrefix = "event:/KivraServices/KivraBusinessLogic/v1_0/";
  static constexpr const char* kReliableTopicPrefix = "event:/KivraServices/KivraBusinessLogic/Reliable/v1_0/";

  // RequestHandler
  Reply handle(const std::string& operation, const std::string& document) override;

 private:
  struct Context;
  class ContextSource;
  class ItemSource;

  // `check` runs before the reply is filled and may refuse the request; `apply`
  // runs after it was filled and changes state or publishes events.
  struct Action {
    std::function<void(Context&)> check;
    std::function<void(Context&)> apply;
  };

  void bindActions();
  void bind(const std::string& operation, std::function<void(Context&)> check,
            std::function<void(Context&)> apply);

  std::string readData(const std::string& name, int missingCode, const std::string& missingMessage) const;
  std::string replyTemplate(const std::string& operation, const Context& context) const;
  std::string fill(const std::string& text, Context& context);
  std::string formatted(const std::string& xml) const;

  const Record& requireApp(Context& context);
  const Record& requireUser(Context& context);
  void search(Context& context);
  bool isInstalled(const Record& app) const;
  bool hasUpdate(const Record& app) const;
  void applyState(Record& app) const;
  bool matchesSearch(const Record& app, const std::string& type, const std::string& value,
                     const std::string& relatedTo, const std::string& relatedCategory) const;

  DemoEvent makeEvent(const std::string& name, const std::string& topic, Context& context);
  void republishSavedWebLinks();
  std::vector<DemoEvent> progressEvents(const std::string& operationName, Context& context);

  ReplyStorePtr store_;
  EventPublisherPtr publisher_;
  Catalog catalog_;
  SessionState state_;
  std::map<std::string, Action> actions_;  // written only by the constructor
  const std::string bootstrapFile_;
};

}  // namespace bizl

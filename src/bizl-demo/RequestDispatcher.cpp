#include "bizl-demo/RequestDispatcher.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "bizl-demo/FileReplyStore.h"
#include "bizl-demo/RequestDocument.h"
#include "bizl-demo/RequestError.h"
#include "bizl-demo/TemplateFiller.h"
#include "bizl-demo/XmlText.h"
#include "ostrel/xml2json/Xml2Json.h"

namespace bizl {

namespace {

// The elements that name the application in the request templates.
const char* const kAppIdElements[] = {"AplicationGUID", "application_id", "applicationid",
                                      "app_guid",       "appGUID",        "applicationId"};

// The steps of a download before its completion event.
const int kProgressSteps[] = {20, 40, 60, 80};

// The publisher's keys of the download sequences, followed by the application id.
const std::string kPurchaseKey = "purchase/";
const std::string kUpdateKey = "update/";

std::string lowerCase(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// A whole number of at most nine digits; `fallback` for an empty value.
size_t countParameter(const std::string& name, const std::string& value, size_t fallback) {
  if (value.empty()) return fallback;
  if (value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos)
    throw RequestError(status::kInvalidParameter, "Invalid parameter value: " + name);
  return size_t(std::stoul(value));
}

double priceOf(const Record& app) { return std::strtod(plainText(app, "Price").c_str(), nullptr); }

std::string fieldOf(const Record& record, const std::string& field) {
  auto it = record.find(field);
  return it == record.end() ? std::string() : it->second;
}

}  // namespace

// Everything known about the request being answered.
struct RequestDispatcher::Context {
  Context(std::string operation, RequestDocument request)
      : operation(std::move(operation)), request(std::move(request)) {}

  std::string operation;
  RequestDocument request;
  std::map<std::string, std::string> extras;  // plain-text values that win over the request's
  bool appLoaded = false;
  Record app;
  bool userLoaded = false;
  Record user;
  bool searched = false;
  std::vector<Record> page;  // the search results from "start", at most "count"
  size_t total = 0;          // all search results
};

// Resolves the placeholders of a list item: "<prefix>Field" from the item's record,
// everything else as the request does.
class RequestDispatcher::ItemSource : public PlaceholderSource {
 public:
  ItemSource(std::string prefix, const Record& record, PlaceholderSource& fallback)
      : prefix_(std::move(prefix)), record_(record), fallback_(fallback) {}

  std::string resolve(const std::string& name, bool mandatory) override {
    if (startsWith(name, prefix_)) return fieldOf(record_, name.substr(prefix_.size()));
    return fallback_.resolve(name, mandatory);
  }

 private:
  std::string prefix_;
  const Record& record_;
  PlaceholderSource& fallback_;
};

// Resolves placeholders against the request, the records it names and the state.
class RequestDispatcher::ContextSource : public PlaceholderSource {
 public:
  ContextSource(RequestDispatcher& dispatcher, Context& context) : dispatcher_(dispatcher), context_(context) {}

  std::string resolve(const std::string& name, bool mandatory) override {
    if (name == "status") return RequestError::kSuccessStatus;
    if (startsWith(name, "app.")) return fieldOf(dispatcher_.requireApp(context_), name.substr(4));
    if (startsWith(name, "user.")) return fieldOf(dispatcher_.requireUser(context_), name.substr(5));
    if (name == "appCount") {
      dispatcher_.search(context_);
      return std::to_string(context_.total);
    }
    if (name == "list:apps") {
      dispatcher_.search(context_);
      std::string fragment = dispatcher_.readData("fragments/appSummary.xml", status::kBadData,
                                                  "Demo data file fragments/appSummary.xml is missing");
      std::string out;
      for (const Record& app : context_.page) {
        ItemSource item("app.", app, *this);
        out += fillTemplate(fragment, item);
      }
      return out;
    }
    if (name == "list:preferences") {
      std::string fragment = dispatcher_.readData("fragments/preference.xml", status::kBadData,
                                                  "Demo data file fragments/preference.xml is missing");
      std::string out;
      for (const auto& preference : dispatcher_.state_.preferences()) {
        Record record{{"Name", xmlEscape(preference.first)}, {"Value", xmlEscape(preference.second)}};
        ItemSource item("pref.", record, *this);
        out += fillTemplate(fragment, item);
      }
      return out;
    }
    auto extra = context_.extras.find(name);
    if (extra != context_.extras.end()) return xmlEscape(extra->second);
    std::string value = context_.request.value(name);
    if (mandatory && value.empty())
      throw RequestError(status::kMissingParameter, "Missing mandatory parameter: " + name);
    return xmlEscape(value);
  }

 private:
  RequestDispatcher& dispatcher_;
  Context& context_;
};

RequestDispatcher::RequestDispatcher(ReplyStorePtr store, EventPublisherPtr publisher, std::string bootstrapFile)
    : store_(std::move(store)), publisher_(std::move(publisher)), catalog_(store_), bootstrapFile_(std::move(bootstrapFile)) {
  bindActions();
}

Reply RequestDispatcher::handle(const std::string& operation, const std::string& document) {
  try {
    Context context(operation, RequestDocument::parse(document));
    if (!FileReplyStore::isSafeName(operation))
      throw RequestError(status::kUnknownOperation, "No reply for operation " + operation, true);
    const std::string text = replyTemplate(operation, context);
    auto action = actions_.find(operation);
    if (action != actions_.end() && action->second.check) action->second.check(context);
    std::string reply = fill(text, context);
    if (action != actions_.end() && action->second.apply) action->second.apply(context);
    return Reply{"SUCCESS", formatted(reply)};
  } catch (const RequestError& error) {
    return Reply{error.replyType(), error.statusDocument()};
  } catch (const std::exception& error) {
    return Reply{"CRITICAL", RequestError::statusDocument(status::kInternal, std::string("Internal error: ") + error.what())};
  }
}

void RequestDispatcher::bind(const std::string& operation, std::function<void(Context&)> check,
                             std::function<void(Context&)> apply) {
  actions_[operation] = Action{std::move(check), std::move(apply)};
}

void RequestDispatcher::bindActions() {
  bind("1.0/Internal/setOutputFormat",
       [](Context& c) {
         const std::string format = c.request.value("OutputFormat");
         if (format.empty()) throw RequestError(status::kMissingParameter, "Missing mandatory parameter: OutputFormat");
         if (format != "0" && format != "1" && format != "2")
           throw RequestError(status::kInvalidParameter, "Unsupported output format: " + format);
       },
       [this](Context& c) { state_.setOutputFormat(c.request.value("OutputFormat") == "2" ? 2 : 0); });

  bind("1.0/Profile/login",
       [this](Context& c) {
         for (const char* name : {"Mail", "Password"})
           if (c.request.value(name).empty())
             throw RequestError(status::kMissingParameter, std::string("Missing mandatory parameter: ") + name);
         Record user;
         if (!catalog_.user(c.request.value("Mail"), user) || plainText(user, "Password") != c.request.value("Password"))
           throw RequestError(status::kBadCredentials, "Invalid e-mail address or password");
         c.user = std::move(user);
         c.userLoaded = true;
       },
       [this](Context& c) { state_.signIn(plainText(c.user, "Mail")); });

  bind("1.0/Profile/logout", nullptr, [this](Context&) { state_.signOut(); });

  bind("1.0/Profile/changePassword",
       [this](Context& c) {
         const Record& user = requireUser(c);
         if (c.request.value("NewPassword").empty())
           throw RequestError(status::kMissingParameter, "Missing mandatory parameter: NewPassword");
         if (plainText(user, "Password") != c.request.value("OldPassword"))
           throw RequestError(status::kBadCredentials, "Invalid e-mail address or password");
       },
       nullptr);

  // The session as the UI starts it: who is signed in, and in which locale.
  auto sessionValues = [this](Context& c) {
    const std::string mail = state_.signedInMail();
    Record user;
    const bool identified = !mail.empty() && catalog_.user(mail, user);
    c.extras["identified"] = identified ? "1" : "0";
    c.extras["userEmail"] = identified ? plainText(user, "Mail") : "";
    c.extras["userName"] = identified ? plainText(user, "FirstName") + " " + plainText(user, "LastName") : "";
    const std::string locale = c.request.value("locale");
    c.extras["localeCode"] = locale.empty() ? state_.localeCode() : locale;
  };
  bind("1.0/Process/initClient", sessionValues, nullptr);
  bind("1.0/Process/initBrowsing", sessionValues, nullptr);

  bind("1.0/Agent/getLocaleCode", [this](Context& c) { c.extras["localeCode"] = state_.localeCode(); }, nullptr);
  bind("1.0/Agent/setLocaleCode",
       [](Context& c) {
         if (c.request.value("localeCode").empty())
           throw RequestError(status::kMissingParameter, "Missing mandatory parameter: localeCode");
       },
       [this](Context& c) { state_.setLocaleCode(c.request.value("localeCode")); });

  bind("1.0/Application/rateApp",
       [this](Context& c) {
         requireApp(c);
         const std::string rating = c.request.value("rating");
         if (rating.size() != 1 || rating[0] < '1' || rating[0] > '5')
           throw RequestError(status::kInvalidParameter, "Invalid parameter value: rating");
       },
       nullptr);

  bind("1.0/Application/getAppsByStateSummary",
       [this](Context& c) {
         size_t installed = 0, updates = 0;
         for (const Record& app : catalog_.apps()) {
           if (!isInstalled(app)) continue;
           ++installed;
           if (hasUpdate(app)) ++updates;
         }
         c.extras["installedCount"] = std::to_string(installed);
         c.extras["updateCount"] = std::to_string(updates);
       },
       nullptr);

  bind("1.0/Profile/setUserPreference",
       [](Context& c) {
         if (c.request.value("PrefName").empty())
           throw RequestError(status::kMissingParameter, "Missing mandatory parameter: PrefName");
       },
       [this](Context& c) { state_.setPreference(c.request.value("PrefName"), c.request.value("PrefValue")); });

  // A download changes the state when it starts; the sequences are keyed by kind
  // so that a cancel can undo what the cancelled one did.
  bind("1.0/Process/purchaseApplication", [this](Context& c) { requireApp(c); },
       [this](Context& c) {
         std::vector<DemoEvent> events = progressEvents("purchaseApplication", c);
         const std::string id = plainText(c.app, "Id");
         state_.markInstalled(id);
         publisher_->schedule(kPurchaseKey + id, events);
       });

  bind("1.0/Process/updateApplication", [this](Context& c) { requireApp(c); },
       [this](Context& c) {
         std::vector<DemoEvent> events = progressEvents("updateApplication", c);
         const std::string id = plainText(c.app, "Id");
         state_.markUpdated(id, true);
         publisher_->schedule(kUpdateKey + id, events);
       });

  bind("1.0/Process/cancelDownload", [this](Context& c) { requireApp(c); },
       [this](Context& c) {
         const std::string id = plainText(c.app, "Id");
         DemoEvent cancelled = makeEvent("downloadCancelled", kEventTopicPrefix + std::string("cancelDownload/") + id, c);
         const bool purchase = publisher_->cancel(kPurchaseKey + id) > 0;
         const bool update = publisher_->cancel(kUpdateKey + id) > 0;
         if (purchase) state_.markUninstalled(id);
         if (update) state_.markUpdated(id, false);
         if (purchase || update) publisher_->schedule(id, {cancelled});
       });

  bind("1.0/Process/uninstallApplication", [this](Context& c) { requireApp(c); },
       [this](Context& c) { state_.markUninstalled(plainText(c.app, "Id")); });

  bind("1.0/Process/inAppPurchase",
       [this](Context& c) {
         requireApp(c);
         const std::string item = c.request.value("applicationitemid");
         if (item.empty()) throw RequestError(status::kMissingParameter, "Missing mandatory parameter: applicationitemid");
         if (!Catalog::isValidId(item)) throw RequestError(status::kInvalidParameter, "Invalid parameter value: applicationitemid");
       },
       [this](Context& c) {
         const std::string item = c.request.value("applicationitemid");
         publisher_->schedule("inAppPurchase/" + item,
                              {makeEvent("inAppPurchase", kReliableTopicPrefix + std::string("inAppPurchase/") + item, c)});
       });

  bind("1.0/Internal/startBootstrap", nullptr, [this](Context&) { republishSavedWebLinks(); });

  // A web link names an application; category and locale default to the application's and the store's.
  bind("1.0/Environment/quickWebLink",
       [this](Context& c) {
         const Record& app = requireApp(c);
         if (c.request.value("categoryId").empty()) c.extras["categoryId"] = plainText(app, "CategoryId");
         if (c.request.value("localeCode").empty()) c.extras["localeCode"] = "en-US";
       },
       [this](Context& c) {
         const std::string id = plainText(c.app, "Id");
         publisher_->schedule("webLink/" + id, {makeEvent("webLink", kReliableTopicPrefix + std::string("all/") + id, c)});
       });
}

// Each saved message is a web link again, as if the UI had asked for it now.
void RequestDispatcher::republishSavedWebLinks() {
  if (bootstrapFile_.empty()) return;
  std::ifstream file(bootstrapFile_, std::ios::binary);
  if (!file) return;
  const std::string saved((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  file.close();
  std::error_code ignored;
  std::filesystem::remove(bootstrapFile_, ignored);
  static const std::regex link("<AppGUID>([^<]*)</AppGUID>\\s*<DisplayLocale>([^<]*)</DisplayLocale>");
  for (std::sregex_iterator it(saved.begin(), saved.end(), link), end; it != end; ++it) {
    // The values were written escaped and stay so inside the request document.
    handle("1.0/Environment/quickWebLink", "<quickWebLink><applicationId>" + (*it)[1].str() +
                                               "</applicationId><localeCode>" + (*it)[2].str() +
                                               "</localeCode></quickWebLink>");
  }
}

std::string RequestDispatcher::readData(const std::string& name, int missingCode,
                                        const std::string& missingMessage) const {
  std::string text;
  if (!store_->read(name, text)) throw RequestError(missingCode, missingMessage, true);
  return text;
}

// An operation may have a reply per locale, replies/<operation>.<locale>.xml, for
// the locale that the request names or else the session's.
std::string RequestDispatcher::replyTemplate(const std::string& operation, const Context& context) const {
  std::string locale = context.request.value("localeCode");
  if (locale.empty()) locale = state_.localeCode();
  std::string text;
  if (Catalog::isValidId(locale) && store_->read("replies/" + operation + "." + locale + ".xml", text)) return text;
  return readData("replies/" + operation + ".xml", status::kUnknownOperation, "No reply for operation " + operation);
}

std::string RequestDispatcher::fill(const std::string& text, Context& context) {
  ContextSource source(*this, context);
  // Placeholders on lines of their own leave white space between tags.
  return compactXml(fillTemplate(text, source));
}

std::string RequestDispatcher::formatted(const std::string& xml) const {
  if (state_.outputFormat() != 2) return xml;
  std::string json = Xml2Json().convert(xml);
  if (json.empty()) throw RequestError(status::kBadData, "The reply could not be written as JSON", true);
  return json;
}

const Record& RequestDispatcher::requireApp(Context& context) {
  if (context.appLoaded) return context.app;
  std::string element = "application id";
  std::string id;
  if (context.request.root() == "searchRelatedApps") {
    element = "typeValue";
    id = context.request.value(element);
  } else {
    for (const char* name : kAppIdElements) {
      if (context.request.has(name)) {
        element = name;
        id = context.request.value(name);
        break;
      }
    }
  }
  if (id.empty()) throw RequestError(status::kMissingParameter, "Missing mandatory parameter: " + element);
  if (!catalog_.app(id, context.app)) throw RequestError(status::kUnknownApplication, "Unknown application id: " + id);
  applyState(context.app);
  context.appLoaded = true;
  return context.app;
}

const Record& RequestDispatcher::requireUser(Context& context) {
  if (context.userLoaded) return context.user;
  const std::string mail = state_.signedInMail();
  if (mail.empty() || !catalog_.user(mail, context.user)) throw RequestError(status::kNotSignedIn, "Not signed in");
  context.userLoaded = true;
  return context.user;
}

void RequestDispatcher::search(Context& context) {
  if (context.searched) return;
  const RequestDocument& request = context.request;
  const std::string type = request.root() == "searchRelatedApps" ? "BY_APP" : request.value("type");
  static const char* const kTypes[] = {"BY_CAT", "BY_CRIT", "BY_TEXT", "MY_APPS_BY_CRIT", "BY_APP"};
  if (std::find(std::begin(kTypes), std::end(kTypes), type) == std::end(kTypes))
    throw RequestError(status::kInvalidParameter, "Invalid parameter value: type");
  const size_t start = countParameter("start", request.value("start"), 0);
  size_t count = countParameter("count", request.value("count"), 0);
  std::string relatedTo, relatedCategory;
  if (type == "BY_APP") {
    const Record& app = requireApp(context);
    relatedTo = plainText(app, "Id");
    relatedCategory = plainText(app, "CategoryId");
  }
  std::vector<Record> matches;
  for (Record& app : catalog_.apps()) {
    applyState(app);
    if (matchesSearch(app, type, request.value("typeValue"), relatedTo, relatedCategory)) matches.push_back(std::move(app));
  }
  if (type == "BY_CRIT" && request.value("typeValue") == "TOP_RATED")
    std::stable_sort(matches.begin(), matches.end(), [](const Record& a, const Record& b) {
      return std::strtod(plainText(a, "Rating").c_str(), nullptr) > std::strtod(plainText(b, "Rating").c_str(), nullptr);
    });
  context.total = matches.size();
  if (count == 0) count = matches.size();
  for (size_t i = start; i < matches.size() && i - start < count; ++i) context.page.push_back(std::move(matches[i]));
  context.searched = true;
}

bool RequestDispatcher::matchesSearch(const Record& app, const std::string& type, const std::string& value,
                                      const std::string& relatedTo, const std::string& relatedCategory) const {
  const std::string id = plainText(app, "Id");
  const bool installed = isInstalled(app);
  if (type == "BY_CAT") return value.empty() || value == "0" || plainText(app, "CategoryId") == value;
  if (type == "BY_TEXT") {
    const std::string needle = lowerCase(value);
    for (const char* field : {"Name", "Publisher", "ShortDescription"})
      if (lowerCase(plainText(app, field)).find(needle) != std::string::npos) return true;
    return false;
  }
  if (type == "BY_CRIT") {
    if (value == "FREE") return priceOf(app) == 0;
    if (value == "PAID") return priceOf(app) > 0;
    return true;
  }
  if (type == "MY_APPS_BY_CRIT") {
    if (value == "1") return state_.installed(id);
    if (value == "2") return installed && hasUpdate(app);
    return installed;
  }
  return id != relatedTo && plainText(app, "CategoryId") == relatedCategory;  // BY_APP
}

bool RequestDispatcher::isInstalled(const Record& app) const {
  const std::string id = plainText(app, "Id");
  return state_.installed(id) || (plainText(app, "Installed") == "1" && !state_.uninstalled(id));
}

bool RequestDispatcher::hasUpdate(const Record& app) const {
  return plainText(app, "UpdateAvailable") == "1" && !state_.updated(plainText(app, "Id"));
}

// The record's "Installed" and "UpdateAvailable" as this run has changed them.
void RequestDispatcher::applyState(Record& app) const {
  const bool installed = isInstalled(app);
  const bool update = hasUpdate(app);
  app["Installed"] = installed ? "1" : "0";
  app["UpdateAvailable"] = update ? "1" : "0";
}

DemoEvent RequestDispatcher::makeEvent(const std::string& name, const std::string& topic, Context& context) {
  std::string text = readData("events/" + name + ".xml", status::kBadData, "Demo data file events/" + name + ".xml is missing");
  return DemoEvent{topic, formatted(fill(text, context))};
}

std::vector<DemoEvent> RequestDispatcher::progressEvents(const std::string& operationName, Context& context) {
  const std::string topic = kEventTopicPrefix + operationName + "/" + plainText(context.app, "Id");
  std::vector<DemoEvent> events;
  for (int step : kProgressSteps) {
    context.extras["progress"] = std::to_string(step);
    events.push_back(makeEvent("downloadProgress", topic, context));
  }
  context.extras["progress"] = "100";
  events.push_back(makeEvent("downloadComplete", topic, context));
  return events;
}

}  // namespace bizl

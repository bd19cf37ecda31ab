#include "bizl-demo/RequestDispatcher.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <shared_mutex>

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

std::string fieldOf(const Record& record, const std::string& field) {
  auto it = record.find(field);
  return it == record.end() ? std::string() : it->second;
}

double numberOf(const Record& record, const std::string& field) {
  return std::strtod(plainText(record, field).c_str(), nullptr);
}

}  // namespace

// An application as this run sees it: the shared record of its file, with
// "Installed" and "UpdateAvailable" as this run's downloads, cancels and
// uninstalls have left them.
struct RequestDispatcher::AppView {
  RecordPtr record;
  std::string id;
  bool installed = false;
  bool update = false;

  std::string field(const std::string& name) const {
    if (name == "Installed") return installed ? "1" : "0";
    if (name == "UpdateAvailable") return update ? "1" : "0";
    return fieldOf(*record, name);
  }
  std::string plain(const std::string& name) const { return plainText(*record, name); }
};

// Everything known about the request being answered.
struct RequestDispatcher::Context {
  Context(std::string operation, RequestDocument request)
      : operation(std::move(operation)), request(std::move(request)) {}

  std::string operation;
  RequestDocument request;
  std::map<std::string, std::string> extras;  // plain-text values that win over the request's
  AppView app;                                // loaded when app.record is set
  RecordPtr user;
  bool searched = false;
  std::vector<AppView> page;  // the search results from "start", at most "count"
  size_t total = 0;           // all search results
};

// Resolves the placeholders of a list item: "<prefix>Field" from the item,
// everything else as the request does.
class RequestDispatcher::ItemSource : public PlaceholderSource {
 public:
  using Field = std::function<std::string(const std::string&)>;

  ItemSource(std::string prefix, Field field, PlaceholderSource& fallback)
      : prefix_(std::move(prefix)), field_(std::move(field)), fallback_(fallback) {}

  std::string resolve(const std::string& name, bool mandatory) override {
    if (startsWith(name, prefix_)) return field_(name.substr(prefix_.size()));
    return fallback_.resolve(name, mandatory);
  }

 private:
  std::string prefix_;
  Field field_;
  PlaceholderSource& fallback_;
};

// Resolves placeholders against the request, the records it names and the state.
class RequestDispatcher::ContextSource : public PlaceholderSource {
 public:
  ContextSource(RequestDispatcher& dispatcher, Context& context) : dispatcher_(dispatcher), context_(context) {}

  std::string resolve(const std::string& name, bool mandatory) override {
    if (name == "status") return RequestError::kSuccessStatus;
    if (startsWith(name, "app.")) return dispatcher_.requireApp(context_).field(name.substr(4));
    if (startsWith(name, "user.")) return fieldOf(dispatcher_.requireUser(context_), name.substr(5));
    if (name == "appCount") {
      dispatcher_.search(context_);
      return std::to_string(context_.total);
    }
    if (name == "list:apps") return appList();
    if (name == "list:preferences") return preferenceList();
    auto extra = context_.extras.find(name);
    if (extra != context_.extras.end()) return xmlEscape(extra->second);
    std::string value = context_.request.value(name);
    if (mandatory && value.empty())
      throw RequestError(status::kMissingParameter, "Missing mandatory parameter: " + name);
    return xmlEscape(value);
  }

 private:
  std::string appList() {
    dispatcher_.search(context_);
    DataText fragment = dispatcher_.readData("fragments/appSummary.xml");
    std::string out;
    for (const AppView& app : context_.page) {
      ItemSource item("app.", [&app](const std::string& field) { return app.field(field); }, *this);
      out += fillTemplate(*fragment, item);
    }
    return out;
  }

  std::string preferenceList() {
    DataText fragment = dispatcher_.readData("fragments/preference.xml");
    std::string out;
    for (const auto& preference : dispatcher_.state_.preferences()) {
      Record record{{"Name", xmlEscape(preference.first)}, {"Value", xmlEscape(preference.second)}};
      ItemSource item("pref.", [&record](const std::string& field) { return fieldOf(record, field); }, *this);
      out += fillTemplate(*fragment, item);
    }
    return out;
  }

  RequestDispatcher& dispatcher_;
  Context& context_;
};

RequestDispatcher::RequestDispatcher(ReplyStorePtr store, EventPublisherPtr publisher, std::string bootstrapFile)
    : store_(std::move(store)), publisher_(std::move(publisher)), catalog_(store_), bootstrapFile_(std::move(bootstrapFile)) {
  bindActions();
}

Reply RequestDispatcher::handle(const std::string& operation, const std::string& document) {
  return respond(operation, document, false);
}

Reply RequestDispatcher::respond(const std::string& operation, const std::string& document, bool stateLocked) {
  try {
    Context context(operation, RequestDocument::parse(document));
    if (!FileReplyStore::isSafeName(operation))
      throw RequestError(status::kUnknownOperation, "No reply for operation " + operation, true);
    auto found = actions_.find(operation);
    const Action* action = found == actions_.end() ? nullptr : &found->second;
    if (stateLocked) return Reply{"SUCCESS", answer(context, action)};
    if (action && action->apply) {
      std::unique_lock<StateLock> lock(stateLock_);
      return Reply{"SUCCESS", answer(context, action)};
    }
    std::shared_lock<StateLock> lock(stateLock_);
    return Reply{"SUCCESS", answer(context, action)};
  } catch (const RequestError& error) {
    return Reply{error.replyType(), error.statusDocument()};
  } catch (const std::exception& error) {
    return Reply{"CRITICAL", RequestError::statusDocument(status::kInternal, std::string("Internal error: ") + error.what())};
  }
}

std::string RequestDispatcher::answer(Context& context, const Action* action) {
  DataText text = replyTemplate(context.operation, context);
  if (action && action->check) action->check(context);
  std::string reply = fill(*text, context);
  if (action && action->apply) action->apply(context);
  return formatted(std::move(reply));
}

void RequestDispatcher::bind(const std::string& operation, std::function<void(Context&)> check,
                             std::function<void(Context&)> apply) {
  actions_[operation] = Action{std::move(check), std::move(apply)};
}

void RequestDispatcher::bindActions() {
  bindSessionActions();
  bindApplicationActions();
  bindEventActions();
}

void RequestDispatcher::bindSessionActions() {
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
         RecordPtr user = catalog_.user(c.request.value("Mail"));
         if (!user || plainText(*user, "Password") != c.request.value("Password"))
           throw RequestError(status::kBadCredentials, "Invalid e-mail address or password");
         c.user = std::move(user);
       },
       [this](Context& c) { state_.signIn(plainText(*c.user, "Mail")); });

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
    RecordPtr user = catalog_.user(state_.signedInMail());
    c.extras["identified"] = user ? "1" : "0";
    c.extras["userEmail"] = user ? plainText(*user, "Mail") : "";
    c.extras["userName"] = user ? plainText(*user, "FirstName") + " " + plainText(*user, "LastName") : "";
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

  bind("1.0/Profile/setUserPreference",
       [](Context& c) {
         if (c.request.value("PrefName").empty())
           throw RequestError(status::kMissingParameter, "Missing mandatory parameter: PrefName");
       },
       [this](Context& c) {
         if (!state_.setPreference(c.request.value("PrefName"), c.request.value("PrefValue")))
           throw RequestError(status::kInvalidParameter, "Too many preferences: " + c.request.value("PrefName"));
       });
}

void RequestDispatcher::bindApplicationActions() {
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
         for (RecordPtr& record : catalog_.apps()) {
           const AppView app = viewOf(std::move(record));
           installed += app.installed;
           updates += app.installed && app.update;
         }
         c.extras["installedCount"] = std::to_string(installed);
         c.extras["updateCount"] = std::to_string(updates);
       },
       nullptr);

  // A download changes the state when it starts; the sequences are keyed by kind
  // so that a cancel can undo what the cancelled one did.
  bind("1.0/Process/purchaseApplication", [this](Context& c) { requireApp(c); },
       [this](Context& c) {
         std::vector<DemoEvent> events = progressEvents("purchaseApplication", c);
         state_.markInstalled(c.app.id);
         publisher_->schedule(kPurchaseKey + c.app.id, events);
       });

  bind("1.0/Process/updateApplication", [this](Context& c) { requireApp(c); },
       [this](Context& c) {
         std::vector<DemoEvent> events = progressEvents("updateApplication", c);
         state_.markUpdated(c.app.id, true);
         publisher_->schedule(kUpdateKey + c.app.id, events);
       });

  bind("1.0/Process/cancelDownload", [this](Context& c) { requireApp(c); },
       [this](Context& c) {
         const std::string& id = c.app.id;
         DemoEvent cancelled = makeEvent("downloadCancelled", kEventTopicPrefix + std::string("cancelDownload/") + id, c);
         const bool purchase = publisher_->cancel(kPurchaseKey + id) > 0;
         const bool update = publisher_->cancel(kUpdateKey + id) > 0;
         if (purchase) state_.markUninstalled(id);
         if (update) state_.markUpdated(id, false);
         if (purchase || update) publisher_->schedule(id, {cancelled});
       });

  bind("1.0/Process/uninstallApplication", [this](Context& c) { requireApp(c); },
       [this](Context& c) { state_.markUninstalled(c.app.id); });
}

void RequestDispatcher::bindEventActions() {
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
         const AppView& app = requireApp(c);
         if (c.request.value("categoryId").empty()) c.extras["categoryId"] = app.plain("CategoryId");
         if (c.request.value("localeCode").empty()) c.extras["localeCode"] = "en-US";
       },
       [this](Context& c) {
         publisher_->schedule("webLink/" + c.app.id,
                              {makeEvent("webLink", kReliableTopicPrefix + std::string("all/") + c.app.id, c)});
       });
}

namespace {

// The text between `open` and `close` from `from` on, when it holds no "<";
// `from` moves past `close`.
bool elementText(const std::string& text, const std::string& open, const std::string& close, size_t& from,
                 std::string& value) {
  if (text.compare(from, open.size(), open) != 0) return false;
  const size_t start = from + open.size();
  const size_t end = text.find('<', start);
  if (end == std::string::npos || text.compare(end, close.size(), close) != 0) return false;
  value = text.substr(start, end - start);
  from = end + close.size();
  return true;
}

// The (application id, locale) pairs of the saved messages: each <AppGUID> followed,
// after white space, by <DisplayLocale>. A scan rather than a regular expression,
// whose matcher recurses once per character of a value.
std::vector<std::pair<std::string, std::string>> savedWebLinks(const std::string& saved) {
  static const std::string kApp = "<AppGUID>";
  std::vector<std::pair<std::string, std::string>> links;
  for (size_t at = saved.find(kApp); at != std::string::npos; at = saved.find(kApp, at + 1)) {
    size_t pos = at;
    std::string app, locale;
    if (!elementText(saved, kApp, "</AppGUID>", pos, app)) continue;
    pos = std::min(saved.find_first_not_of(" \t\r\n\f\v", pos), saved.size());
    if (elementText(saved, "<DisplayLocale>", "</DisplayLocale>", pos, locale)) links.emplace_back(app, locale);
  }
  return links;
}

}  // namespace

// Each saved message is a web link again, as if the UI had asked for it now. Runs
// within startBootstrap, which holds the state lock already.
void RequestDispatcher::republishSavedWebLinks() {
  if (bootstrapFile_.empty()) return;
  std::ifstream file(bootstrapFile_, std::ios::binary);
  if (!file) return;
  std::string saved(kMaxSavedWebLinks, '\0');
  saved.resize(size_t(file.read(&saved[0], std::streamsize(saved.size())).gcount()));
  file.close();
  std::error_code ignored;
  std::filesystem::remove(bootstrapFile_, ignored);
  for (const auto& link : savedWebLinks(saved)) {
    // The values were written escaped and stay so inside the request document.
    respond("1.0/Environment/quickWebLink",
            "<quickWebLink><applicationId>" + link.first + "</applicationId><localeCode>" + link.second +
                "</localeCode></quickWebLink>",
            true);
  }
}

DataText RequestDispatcher::readData(const std::string& name) const {
  DataText text = store_->read(name);
  if (!text) throw RequestError(status::kBadData, "Demo data file " + name + " is missing", true);
  return text;
}

// An operation may have a reply per locale, replies/<operation>.<locale>.xml, for
// the locale that the request names or else the session's.
DataText RequestDispatcher::replyTemplate(const std::string& operation, const Context& context) const {
  std::string locale = context.request.value("localeCode");
  if (locale.empty()) locale = state_.localeCode();
  if (Catalog::isValidId(locale))
    if (DataText text = store_->read("replies/" + operation + "." + locale + ".xml")) return text;
  DataText text = store_->read("replies/" + operation + ".xml");
  if (!text) throw RequestError(status::kUnknownOperation, "No reply for operation " + operation, true);
  return text;
}

std::string RequestDispatcher::fill(const std::string& text, Context& context) {
  ContextSource source(*this, context);
  // Placeholders on lines of their own leave white space between tags.
  return compactXml(fillTemplate(text, source));
}

std::string RequestDispatcher::formatted(std::string xml) const {
  if (state_.outputFormat() != 2) return xml;
  std::string json = Xml2Json().convert(std::move(xml));
  if (json.empty()) throw RequestError(status::kBadData, "The reply could not be written as JSON", true);
  return json;
}

const RequestDispatcher::AppView& RequestDispatcher::requireApp(Context& context) {
  if (context.app.record) return context.app;
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
  RecordPtr record = catalog_.app(id);
  if (!record) throw RequestError(status::kUnknownApplication, "Unknown application id: " + id);
  context.app = viewOf(std::move(record));
  return context.app;
}

const Record& RequestDispatcher::requireUser(Context& context) {
  if (!context.user) context.user = catalog_.user(state_.signedInMail());
  if (!context.user) throw RequestError(status::kNotSignedIn, "Not signed in");
  return *context.user;
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
    const AppView& app = requireApp(context);
    relatedTo = app.id;
    relatedCategory = app.plain("CategoryId");
  }
  const std::string value = request.value("typeValue");
  std::vector<AppView> matches;
  for (RecordPtr& record : catalog_.apps()) {
    AppView app = viewOf(std::move(record));
    if (matchesSearch(app, type, value, relatedTo, relatedCategory)) matches.push_back(std::move(app));
  }
  if (type == "BY_CRIT" && value == "TOP_RATED")
    std::stable_sort(matches.begin(), matches.end(), [](const AppView& a, const AppView& b) {
      return numberOf(*a.record, "Rating") > numberOf(*b.record, "Rating");
    });
  context.total = matches.size();
  if (count == 0) count = matches.size();
  for (size_t i = start; i < matches.size() && i - start < count; ++i) context.page.push_back(std::move(matches[i]));
  context.searched = true;
}

bool RequestDispatcher::matchesSearch(const AppView& app, const std::string& type, const std::string& value,
                                      const std::string& relatedTo, const std::string& relatedCategory) const {
  if (type == "BY_CAT") return value.empty() || value == "0" || app.plain("CategoryId") == value;
  if (type == "BY_TEXT") {
    const std::string needle = lowerCase(value);
    for (const char* field : {"Name", "Publisher", "ShortDescription"})
      if (lowerCase(app.plain(field)).find(needle) != std::string::npos) return true;
    return false;
  }
  if (type == "BY_CRIT") {
    if (value == "FREE") return numberOf(*app.record, "Price") == 0;
    if (value == "PAID") return numberOf(*app.record, "Price") > 0;
    return true;
  }
  if (type == "MY_APPS_BY_CRIT") {
    if (value == "1") return state_.installed(app.id);
    if (value == "2") return app.installed && app.update;
    return app.installed;
  }
  return app.id != relatedTo && app.plain("CategoryId") == relatedCategory;  // BY_APP
}

// The record with "Installed" and "UpdateAvailable" as this run has changed them.
RequestDispatcher::AppView RequestDispatcher::viewOf(RecordPtr record) const {
  AppView app;
  app.id = plainText(*record, "Id");
  app.installed = state_.installed(app.id) || (plainText(*record, "Installed") == "1" && !state_.uninstalled(app.id));
  app.update = plainText(*record, "UpdateAvailable") == "1" && !state_.updated(app.id);
  app.record = std::move(record);
  return app;
}

DemoEvent RequestDispatcher::makeEvent(const std::string& name, const std::string& topic, Context& context) {
  DataText text = readData("events/" + name + ".xml");
  return DemoEvent{topic, formatted(fill(*text, context))};
}

std::vector<DemoEvent> RequestDispatcher::progressEvents(const std::string& operationName, Context& context) {
  const std::string topic = kEventTopicPrefix + operationName + "/" + context.app.id;
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

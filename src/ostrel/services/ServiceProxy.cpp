#include "ostrel/services/ServiceProxy.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "ostrel/engine/engine.h"
#include "ostrel/engine/parse.h"
#include "ostrel/services/StatusDocument.h"
#include "ostrel/services/UIContextHolder.h"
#include "ostrel/services/UIDescriptorFactory.h"
#include "ostrel/xml2json/Xml2Json.h"

void ServiceProxy::registerFunctor(const std::string& servicePath, const FunctorPtr& functor) {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  functors_[servicePath] = functor;
}

FunctorPtr ServiceProxy::functor(const std::string& servicePath) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  auto it = functors_.find(servicePath);
  return it == functors_.end() ? nullptr : it->second;
}

std::string ServiceProxy::servicePath(const std::string& uri) {
  if (uri.empty() || uri.find(".svc") == std::string::npos) return "";
  size_t last = uri.rfind('/');
  if (last == std::string::npos) return "";
  std::string taken = uri;
  size_t second = last == 0 ? std::string::npos : uri.rfind('/', last - 1);
  size_t third = second == std::string::npos || second == 0 ? std::string::npos : uri.rfind('/', second - 1);
  if (third != std::string::npos) taken = uri.substr(third + 1);
  return taken.substr(0, taken.rfind(".svc"));
}

namespace {

std::string lowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return text;
}

}  // namespace

// Each name takes the value of the first "name=value" piece whose name matches
// it without regard to case (so a piece without "=" takes a later one's). One
// pass over the pieces: a body of many parameters costs no more than it is long.
ParameterMap ServiceProxy::parameters(const std::string& query) {
  std::vector<std::string> names;
  std::map<std::string, std::string> firstValues;  // by lower-case name
  std::vector<char> value(query.size() + 1);
  size_t start = 0;
  for (;;) {
    const size_t end = query.find('&', start);
    const size_t length = (end == std::string::npos ? query.size() : end) - start;
    const size_t equals = query.find('=', start);
    const bool hasValue = equals != std::string::npos && equals < start + length;
    names.push_back(query.substr(start, hasValue ? equals - start : length));
    if (hasValue && firstValues.find(lowerAscii(names.back())) == firstValues.end()) {
      // Decoded as the engine reads form variables; the buffer is as long as the
      // whole text, so a value that is the whole text would not fit.
      const int decoded = url_decode(query.data() + equals + 1, start + length - equals - 1, value.data(),
                                     query.size(), 1);
      firstValues.emplace(lowerAscii(names.back()), decoded >= 0 ? std::string(value.data(), size_t(decoded)) : "");
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  ParameterMap map;
  for (const std::string& name : names) {
    auto found = firstValues.find(lowerAscii(name));
    map.emplace(name, found == firstValues.end() ? std::string() : found->second);
  }
  return map;
}

MessagePtr ServiceProxy::httpError(const std::string& text, OutputFormat format) {
  const std::string xml = "<http><error>" + text + "</error></http>";
  if (format == OutputFormat::Json)
    return std::make_shared<Message>("{\"http\":{\"error\":\"" + text + "\"}}", Message::JsonError);
  if (format == OutputFormat::Xml) return std::make_shared<Message>(xml, Message::XmlError);
  return std::make_shared<Message>(render(xml, OutputFormat::XmlAsJson), Message::JsonError);
}

MessagePtr ServiceProxy::reply(const std::string& text, OutputFormat format) {
  if (format == OutputFormat::Xml) return std::make_shared<Message>(text, Message::XmlReply);
  return std::make_shared<Message>(render(text, format), Message::JsonReply);
}

MessagePtr ServiceProxy::failure(const ServiceError& error, OutputFormat format) {
  if (format == OutputFormat::Xml) return std::make_shared<Message>(error.what(), Message::XmlError);
  if (format != OutputFormat::Json) return std::make_shared<Message>(render(error.what(), format), Message::JsonError);
  StatusResultTypePayload status;
  if (error.isStatus()) {
    status.statusCode = error.code();
    status.statusMessage = error.message();
  } else {
    // The business logic's own document; one that is no status document
    // leaves here as the reader's exception.
    status = StatusDocument::readXml(error.what());
  }
  return std::make_shared<Message>(StatusDocument::writeJson(status), Message::JsonError);
}

UIDescriptorPtr ServiceProxy::context(const ParameterMap& parameters, OutputFormat format, MessagePtr& error) {
  auto session = parameters.find("sessionId");
  if (session != parameters.end()) {
    UIDescriptorPtr found = contexts_.get(session->second);
    if (!found) error = httpError("Unknown or expired session", format);
    return found;
  }
  UIDescriptorPtr found = contexts_.forUIType(defaultUIType());
  if (!found) error = httpError("Unsupported UI Type. No builder available", format);
  return found;
}

void ServiceProxy::process(MessagePtr& result, const std::string& query, const std::string& uri,
                           const SocketPtr& socket) {
  const std::string path = servicePath(uri);
  OutputFormat format = outputFormatOf(responseCoding());
  // Every parameter is copied into the map, the template and the request
  // document, and the preference service calls the business logic once per
  // parameter: a body of a million short ones would cost gigabytes.
  if (std::count(query.begin(), query.end(), '&') >= kMaxParameters) {
    result = httpError("Too many parameters", format);
    return;
  }
  const ParameterMap map = parameters(query);

  const UIDescriptorPtr caller = context(map, format, result);
  if (!caller) return;
  if (caller->outputFormat() != numberOf(OutputFormat::Unset)) format = outputFormatOf(caller->outputFormat());
  // Neither XML nor JSON as written: converted.
  if (format == OutputFormat::Unset) format = OutputFormat::XmlAsJson;

  FunctorPtr handler = functor(path);
  if (!handler) {
    result = std::make_shared<Message>("Not implemented", Message::NotFound);
    return;
  }
  if (socket) socket->setOutputFormat(numberOf(format));
  try {
    result = reply((*handler)(map, path, socket ? socket->rawRequest() : std::string()), format);
  } catch (const ServiceError& error) {
    result = failure(error, format);
  } catch (const std::exception& error) {
    // A failure of text only: in JSON written by the business logic it has no
    // form, and leaves here for the web front to answer.
    if (format == OutputFormat::Json) throw;
    result = failure(ServiceError::document(error.what()), format);
  }
}

#pragma once

#include <string>

#include "bizl-demo/Job.h"
#include "bizl-demo/Reply.h"
#include "bizl-demo/RequestHandler.h"
#include "tessaro/LocalMessage.h"

namespace bizl {

// One request taken from the host's dispatcher. Run, it is answered by the
// handler; refused, it is answered CRITICAL at once. Either way the reply goes to
// the request's reply topic with the request's message identifier.
class RequestJob : public Job {
 public:
  RequestJob(LocalMessagePtr message, RequestHandlerPtr handler);

  // Job
  void run() override;
  void refuse() override;

 private:
  void answer(const std::string& operation, Reply reply) const;

  LocalMessagePtr message_;
  RequestHandlerPtr handler_;
};

}  // namespace bizl

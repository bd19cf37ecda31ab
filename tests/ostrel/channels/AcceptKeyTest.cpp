// The accept key is SHA-1 and base64 written out here; these keys make answers
// that hold every one of the 64 base64 digits and the padding.
#include "ostrel/channels/WebSocketProtocol.h"

#include <gtest/gtest.h>

namespace {

TEST(AcceptKey, AnswersUseTheWholeBase64Alphabet) {
  const struct {
    const char* key;
    const char* accept;
  } cases[] = {
      {"dGhlIHNhbXBsZSBub25jZQ==", "s3pPLMBiTxaQ9kYGzzhZRbK+xOo="},
      {"", "Kfh9QIsMVZcl6xEPYxPHzW8SZ8w="},
      {"0uHZxJcai6gZdOU1FspdBA==", "2CUtJrVe8SjZtbjF7u/HTv1dSAU="},
      {"02EXGiSfGCGtobUtLjFmCQ==", "Xk5QgJN9Rxn0mHJIxgIqnoAFkD8="},
      {"UMI6g0kHEZDEG2Yb2EpiEQ==", "XvMUcyPtUfhNIfwlgiM4xdCZet4="},
  };
  for (const auto& c : cases) EXPECT_EQ(WebSocketProtocol::acceptKey(c.key), c.accept) << c.key;
}

}  // namespace

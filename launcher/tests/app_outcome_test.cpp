// Which error a failed run shows: the captured output as written, or the
// fixed message when the output is blank or not UTF-8.

#include "launcher/app_outcome.h"

#include <gtest/gtest.h>

namespace lumaro::launcher {
namespace {

using platform::ErrorKind;
using platform::LaunchError;

LaunchError Stopped() {
  return LaunchError::Message(ErrorKind::kOther, std::string(platform::kAppStoppedMessage));
}

TEST(FailedRunError, BlankOrUnreadableOutputGivesTheFixedMessage) {
  const std::string blanks[] = {
      "",
      "\r\n  \n\t",
      "\v\f\r",
      "\xc2\x85\xc2\xa0",                  // U+0085, U+00A0
      "\xe1\x9a\x80\xe2\x80\x8a\xe2\x80\xa8\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\x9f\xe3\x80\x80",
      "\xff",                              // not UTF-8
      "Error: readable text\n\xc3",        // one bad sequence spoils the whole log
      "boom \xed\xa0\x80\n",               // an encoded surrogate
  };
  for (const auto& log : blanks) EXPECT_EQ(FailedRunError(log), Stopped()) << log;
}

TEST(FailedRunError, TextIsKeptExactlyAsWritten) {
  const std::string texts[] = {
      "boom\n",
      "\r\n  Error: x\r\n\r\n",
      "\xe2\x80\x8b",  // U+200B is not White_Space
      "L\xe1\xbb\x97i: kh\xc3\xb4ng m\xe1\xbb\x9f \xc4\x91\xc6\xb0\xe1\xbb\xa3\x63\n",
      std::string("nul\0inside", 10),
  };
  for (const auto& log : texts) {
    EXPECT_EQ(FailedRunError(log), LaunchError::Message(ErrorKind::kOther, log)) << log;
  }
}

}  // namespace
}  // namespace lumaro::launcher

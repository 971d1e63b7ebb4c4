// The one place where the exceptions of commands become exit statuses and error lines.
#include "norvan/cli/cli.hpp"

#include "norvan/common/error.hpp"
#include "norvan/verification/verification.hpp"

#include <algorithm>

namespace norvan::cli {
namespace {

// Texts from lower layers may span lines; the report is always one line.
std::string one_line(std::string text) {
  std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  return text;
}

// "<ErrorType>: <message>", with the cause's text only where it says more than the message:
// in parentheses after it, or in its place when the message is empty.
std::string describe_failed_verification(const verification::VerificationError& error) {
  const std::string message = error.what();
  const std::string cause = error.cause() ? error.cause_text() : std::string();
  std::string text = std::string(error.type_name()) + ":";
  if (!message.empty()) text += " " + message;
  if (!cause.empty() && message.find(cause) == std::string::npos) {
    text += message.empty() ? " " + cause : " (" + cause + ")";
  }
  return text;
}

}  // namespace

FailureReport failure_report(const std::exception_ptr& error, int failure_status) {
  try {
    std::rethrow_exception(error);
  } catch (const Error& failure) {
    // A failure that dictates its status (a child command's) has been reported already.
    if (const std::optional<int> status = failure.exit_status()) return {*status, ""};
    switch (failure.code()) {
      case ErrorCode::verification: {
        const auto* failed = dynamic_cast<const verification::VerificationError*>(&failure);
        return {kNotVerifiedStatus, one_line(failed != nullptr ? describe_failed_verification(*failed) : failure.what())};
      }
      default:
        return {failure_status, one_line(failure.what())};
    }
  } catch (const std::exception& failure) {
    return {failure_status, one_line(failure.what())};
  } catch (...) {
    return {failure_status, "The command failed with an error of unknown type"};
  }
}

}  // namespace norvan::cli

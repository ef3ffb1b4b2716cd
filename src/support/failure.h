// The run's two failure kinds and the one report that ends a failed run.
//
// Nothing in the run catches a failure where it happens: each one rises to the top of the
// run, which shows one error box and ends the process with exit code 1.
#pragma once

#include <cstdint>
#include <string>

// A failure of the run: its class name is shown to the user, with the message and the place
// in the program where it was raised.
class Exception {
 public:
  Exception(std::string message, const void* raised_at)
      : message_(std::move(message)), raised_at_(raised_at) {}
  virtual ~Exception() = default;

  virtual const char* ClassName() const { return "Exception"; }
  const std::string& Message() const { return message_; }
  const void* RaisedAt() const { return raised_at_; }

 private:
  std::string message_;
  const void* raised_at_;
};

// A failed file operation, found by CheckIo; carries the Windows or line-file error code.
class EInOutError : public Exception {
 public:
  EInOutError(std::int32_t code, const void* raised_at);
  // A failure whose text is its own rather than the code's, so that the code's text for a
  // file operation never tells of it.
  EInOutError(std::int32_t code, std::string message, const void* raised_at);
  const char* ClassName() const override { return "EInOutError"; }
  std::int32_t Code() const { return code_; }

 private:
  std::int32_t code_;
};

// A failed read or write of the installed product's registry record.
class ERegistryException : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "ERegistryException"; }
};

// The user's text for an I/O error code ("File not found", "I/O error 32", ...).
std::string IoErrorText(std::int32_t code);

// The error box text: "Exception <class> in module <module> at <offset>." LF <message>, with
// a "." added to a message that does not end in one. `offset` is the address relative to the
// start of the module, shown as eight upper-case hex digits.
std::string FailureText(const std::string& class_name, const std::string& module_name,
                        std::uintptr_t offset, const std::string& message);

// Shows the error box for a failure that reached the top of the run and ends the process
// with exit code 1. Open line files are neither written out nor closed first.
[[noreturn]] void ReportFailure(const std::string& class_name, const std::string& message,
                                const void* raised_at);
[[noreturn]] void ReportFailure(const Exception& failure);

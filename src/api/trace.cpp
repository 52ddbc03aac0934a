#include "api/trace.h"

#include <cstdio>

#include "net/framed_request.h"
#include "ostrel/ostrel.h"
#include "platform/trace.h"

namespace ostrel {
namespace {

using platform::TraceLevel;

std::string Endpoint(const char* address, int port) {
  return std::string(address) + ':' + std::to_string(port);
}

void TraceExchangeStep(net::ExchangeStep step, const char* address, int port, long value) try {
  std::string body = Endpoint(address, port);
  switch (step) {
    case net::ExchangeStep::kConnectStarted:
      body += " connect started";
      break;
    case net::ExchangeStep::kConnected:
      body += " connect made";
      break;
    case net::ExchangeStep::kSent:
      body += " sent " + std::to_string(value) + " bytes";
      break;
    case net::ExchangeStep::kClosed:
      body += " closed, outcome=" + std::to_string(value);
      break;
  }
  platform::WriteTraceLine(TraceLevel::kTrace, body);
} catch (...) {
  // A line that cannot be made is left out.
}

void FollowLevel(TraceLevel level) {
  net::SetExchangeObserver(level >= TraceLevel::kTrace ? &TraceExchangeStep : nullptr);
}

void AppendVisible(const char* text, std::string* out) {
  char escaped[8];
  for (const char* c = text; *c != '\0'; ++c) {
    const unsigned char byte = static_cast<unsigned char>(*c);
    if (byte == '"' || byte == '\\') {
      *out += '\\';
      *out += *c;
    } else if (byte < 0x20 || byte == 0x7F) {
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      *out += escaped;
    } else {
      *out += *c;
    }
  }
}

}  // namespace

void ConfigureTrace() {
  platform::ReadTraceSettings();
  FollowLevel(platform::CurrentTraceLevel());
}

CommandTrace::CommandTrace(const char* command) {
  const TraceLevel level = platform::CurrentTraceLevel();
  on_ = level >= TraceLevel::kInfo;
  if (!on_) return;
  FollowLevel(level);  // the settings may have been read on first use, without Initialize
  start_ = std::chrono::steady_clock::now();
  try {
    line_ = command;
  } catch (...) {
    on_ = false;
  }
}

CommandTrace& CommandTrace::Text(const char* name, const char* value) {
  if (!on_) return *this;
  try {
    line_ += ' ';
    line_ += name;
    if (value == nullptr) {
      line_ += "=null";
      return *this;
    }
    line_ += "=\"";
    AppendVisible(value, &line_);
    line_ += '"';
  } catch (...) {
    on_ = false;  // no exception leaves the library
  }
  return *this;
}

CommandTrace& CommandTrace::Number(const char* name, int value) {
  if (!on_) return *this;
  try {
    line_ += ' ';
    line_ += name;
    line_ += '=';
    line_ += std::to_string(value);
  } catch (...) {
    on_ = false;
  }
  return *this;
}

void CommandTrace::Finish(const WallSlot* slot, int handle, std::size_t frame_size,
                          int outcome) try {
  if (!on_) return;
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now() - start_)
                          .count();
  const std::string wall =
      slot != nullptr ? Endpoint(slot->address, slot->port) : "handle=" + std::to_string(handle);
  platform::WriteTraceLine(TraceLevel::kInfo,
                           wall + ' ' + line_ + " frame=" + std::to_string(frame_size) +
                               " outcome=" + std::to_string(outcome) + " (" +
                               Ostrel_OutcomeText(outcome) + ") " + std::to_string(micros) + "us");
} catch (...) {
  // A line that cannot be made is left out.
}

}  // namespace ostrel

#include "wallsim/fault_mode.h"

#include <cstdlib>
#include <sstream>

namespace ostrel::wallsim {
namespace {

struct KindInfo {
  FaultKind kind;
  const char* name;
  bool takesArg;
};

constexpr KindInfo kKinds[] = {
    {FaultKind::None, "off", false},    {FaultKind::Refuse, "refuse", false},
    {FaultKind::Reset, "reset", false}, {FaultKind::Stall, "stall", false},
    {FaultKind::Slow, "slow", true},    {FaultKind::Delay, "delay", true},
    {FaultKind::Drop, "drop", false},
};

// Largest argument: a day in milliseconds, or bytes per second.
constexpr long kMaxArg = 86400000;

const KindInfo* FindKind(const std::string& name) {
  for (const KindInfo& info : kKinds) {
    if (name == info.name) return &info;
  }
  return nullptr;
}

const KindInfo& InfoOf(FaultKind kind) {
  for (const KindInfo& info : kKinds) {
    if (info.kind == kind) return info;
  }
  return kKinds[0];
}

std::optional<FaultMode> Fail(std::string* why, const std::string& reason) {
  if (why != nullptr) *why = reason;
  return std::nullopt;
}

}  // namespace

std::optional<FaultMode> ParseFaultMode(const std::string& text, std::string* why) {
  if (text.empty()) return FaultMode{};
  std::string head = text, rateText, argText;
  if (const auto at = head.find('@'); at != std::string::npos) {
    rateText = head.substr(at + 1);
    head.resize(at);
  }
  if (const auto colon = head.find(':'); colon != std::string::npos) {
    argText = head.substr(colon + 1);
    head.resize(colon);
  }
  const KindInfo* info = FindKind(head);
  if (info == nullptr) {
    return Fail(why, "unknown fault mode '" + head +
                         "' (off, refuse, reset, stall, slow:BYTES_PER_S, delay:MS, drop)");
  }
  FaultMode mode{info->kind, 0, 1};
  if (info->takesArg != !argText.empty()) {
    return Fail(why, info->takesArg ? "fault mode '" + head + "' needs :NUMBER"
                                    : "fault mode '" + head + "' takes no :argument");
  }
  if (info->takesArg) {
    char* end = nullptr;
    const long value = std::strtol(argText.c_str(), &end, 10);
    if (*end != '\0' || value < 1 || value > kMaxArg) {
      return Fail(why, "fault argument '" + argText + "' is not a whole number from 1 to " +
                           std::to_string(kMaxArg));
    }
    mode.arg = static_cast<int>(value);
  }
  if (!rateText.empty()) {
    char* end = nullptr;
    mode.rate = std::strtod(rateText.c_str(), &end);
    if (*end != '\0' || !(mode.rate > 0 && mode.rate <= 1)) {
      return Fail(why, "fault rate '" + rateText + "' is not a share above 0 and at most 1");
    }
  }
  if (mode.kind == FaultKind::None) return FaultMode{};
  return mode;
}

std::string FaultText(const FaultMode& mode) {
  const KindInfo& info = InfoOf(mode.kind);
  std::string text = info.name;
  if (!mode.Active()) return text;
  if (info.takesArg) text += ":" + std::to_string(mode.arg);
  if (mode.rate < 1) {
    std::ostringstream rate;
    rate << mode.rate;
    text += "@" + rate.str();
  }
  return text;
}

nlohmann::json FaultJson(const FaultMode& mode) {
  return {{"mode", InfoOf(mode.kind).name},
          {"arg", mode.arg},
          {"rate", mode.rate},
          {"text", FaultText(mode)}};
}

}  // namespace ostrel::wallsim

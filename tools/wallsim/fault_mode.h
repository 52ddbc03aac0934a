// Ways the simulator can misbehave on purpose, so that a host program can be tested against a
// failing controller: `MODE[:ARG][@RATE]`, e.g. "reset", "slow:20", "delay:800@0.25".
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace ostrel::wallsim {

enum class FaultKind {
  None,    // serve normally
  Refuse,  // close at once (with every connection chosen: stop listening)
  Reset,   // reset the connection right after accepting it
  Stall,   // never read (with every connection chosen: stop completing connections)
  Slow,    // read at arg bytes per second
  Delay,   // read, apply arg ms later
  Drop,    // read, never apply
};

struct FaultMode {
  FaultKind kind = FaultKind::None;
  int arg = 0;      // bytes per second for Slow, milliseconds for Delay
  double rate = 1;  // share of connections it applies to, 0 < rate <= 1

  bool Active() const { return kind != FaultKind::None; }
  // True when the mode applies to every connection.
  bool Always() const { return Active() && rate >= 1; }
  bool operator==(const FaultMode& other) const {
    return kind == other.kind && arg == other.arg && rate == other.rate;
  }
};

// Parses "MODE[:ARG][@RATE]" ("off" or "" for none); on failure, nullopt and the reason.
std::optional<FaultMode> ParseFaultMode(const std::string& text, std::string* why);

// The text ParseFaultMode reads back ("off" for none).
std::string FaultText(const FaultMode& mode);

nlohmann::json FaultJson(const FaultMode& mode);

}  // namespace ostrel::wallsim

#include "wallsim/wall_model.h"

#include <algorithm>
#include <sstream>

#include "wallsim/text_json.h"

namespace ostrel::wallsim {
namespace {

std::string AreaName(const std::string& vidout, int area) {
  return vidout + ":" + std::to_string(area);
}

}  // namespace

ApplyResult WallModel::Apply(const Command& command) {
  if (std::string why = OverLimit(command); !why.empty()) return {false, why};
  ++commandsApplied_;
  const std::string area = AreaName(command.vidout, command.area);
  switch (command.function) {
    case Function::StartPlay:
      Set(command.vidout, command.area, AreaState{command.url, ""});
      return {true, area + " plays " + command.url};
    case Function::StopPlay: {
      const bool wasDark = Showing(command.vidout, command.area).empty();
      Set(command.vidout, command.area, AreaState{});
      return {true, area + (wasDark ? " was already dark" : " stopped")};
    }
    case Function::Duplicate: {
      const std::string target = AreaName(command.targetVidout, command.targetArea);
      const std::string url = Showing(command.vidout, command.area);
      // Duplicating a dark area makes the target dark too.
      Set(command.targetVidout, command.targetArea, AreaState{url, url.empty() ? "" : area});
      if (url.empty()) return {true, target + " now dark like " + area};
      return {true, target + " shows " + area + " (" + url + ")"};
    }
  }
  return {false, "unknown function"};
}

std::string WallModel::OverLimit(const Command& command) const {
  const bool duplicate = command.function == Function::Duplicate;
  const std::string& vidout = duplicate ? command.targetVidout : command.vidout;
  const int area = duplicate ? command.targetArea : command.area;
  if (command.vidout.size() > kMaxVidoutBytes || command.targetVidout.size() > kMaxVidoutBytes) {
    return "video output text over " + std::to_string(kMaxVidoutBytes) + " bytes";
  }
  if (command.url.size() > kMaxUrlBytes) {
    return "URL over " + std::to_string(kMaxUrlBytes) + " bytes";
  }
  if (Holds(vidout, area)) return "";
  if (outputs_.count(vidout) == 0 && outputs_.size() >= kMaxOutputs) {
    return "the wall already has " + std::to_string(kMaxOutputs) + " video outputs";
  }
  if (areaCount_ >= kMaxAreas) {
    return "the wall already has " + std::to_string(kMaxAreas) + " areas";
  }
  return "";
}

bool WallModel::Holds(const std::string& vidout, int area) const {
  auto output = outputs_.find(vidout);
  return output != outputs_.end() && output->second.count(area) != 0;
}

void WallModel::Set(const std::string& vidout, int area, AreaState state) {
  auto& areas = outputs_[vidout];
  auto [place, added] = areas.insert_or_assign(area, std::move(state));
  areaCount_ += added ? 1 : 0;
}

std::string WallModel::Showing(const std::string& vidout, int area) const {
  auto output = outputs_.find(vidout);
  if (output == outputs_.end()) return "";
  auto state = output->second.find(area);
  return state == output->second.end() ? "" : state->second.url;
}

std::string WallModel::Table() const {
  const bool anyShowing = std::any_of(outputs_.begin(), outputs_.end(), [](const auto& output) {
    return std::any_of(output.second.begin(), output.second.end(),
                       [](const auto& area) { return !area.second.url.empty(); });
  });
  if (!anyShowing) return "(wall is dark)\n";
  size_t vidoutWidth = 6;  // "Vidout"
  for (const auto& [vidout, areas] : outputs_) vidoutWidth = std::max(vidoutWidth, vidout.size());
  std::ostringstream out;
  auto row = [&](const std::string& v, const std::string& a, const std::string& u,
                 const std::string& from) {
    out << v << std::string(vidoutWidth - std::min(vidoutWidth, v.size()) + 2, ' ') << a
        << std::string(6 - std::min<size_t>(6, a.size()) + 2, ' ') << u;
    if (!from.empty()) out << "  (copied from " << from << ")";
    out << '\n';
  };
  row("Vidout", "Area", "Showing", "");
  row(std::string(vidoutWidth, '-'), "------", "-------", "");
  for (const auto& [vidout, areas] : outputs_) {
    for (const auto& [area, state] : areas) {
      if (!state.url.empty()) row(vidout, std::to_string(area), state.url, state.copiedFrom);
    }
  }
  return out.str();
}

nlohmann::json WallModel::ToJson() const {
  nlohmann::json outputs = nlohmann::json::array();
  for (const auto& [vidout, areas] : outputs_) {
    nlohmann::json output = nlohmann::json::object();
    PutText(output, "vidout", vidout);
    nlohmann::json list = nlohmann::json::array();
    for (const auto& [area, state] : areas) {
      nlohmann::json entry = {{"area", area}};
      PutText(entry, "url", state.url);
      if (!state.copiedFrom.empty()) PutText(entry, "copiedFrom", state.copiedFrom);
      list.push_back(std::move(entry));
    }
    output["areas"] = std::move(list);
    outputs.push_back(std::move(output));
  }
  return {{"commandsApplied", commandsApplied_}, {"outputs", std::move(outputs)}};
}

nlohmann::json WallModel::AreaJson(const std::string& vidout, int area) const {
  nlohmann::json entry = {{"area", area}};
  PutText(entry, "vidout", vidout);
  auto output = outputs_.find(vidout);
  const AreaState* state = nullptr;
  if (output != outputs_.end()) {
    auto found = output->second.find(area);
    if (found != output->second.end()) state = &found->second;
  }
  PutText(entry, "url", state != nullptr ? state->url : "");
  if (state != nullptr && !state->copiedFrom.empty()) {
    PutText(entry, "copiedFrom", state->copiedFrom);
  }
  return entry;
}

const char* FunctionName(Function function) {
  switch (function) {
    case Function::StartPlay:
      return "StartPlay";
    case Function::StopPlay:
      return "StopPlay";
    case Function::Duplicate:
      return "Duplicate";
  }
  return "?";
}

std::string Describe(const Command& command) {
  auto quoted = [](const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c < 0x20 || c == 0x7F) {
        static const char* hex = "0123456789ABCDEF";
        out += "\\x";
        out += hex[c >> 4];
        out += hex[c & 15];
      } else {
        out += static_cast<char>(c);
      }
    }
    return out + "\"";
  };
  std::string line = FunctionName(command.function);
  line += " vidout=" + quoted(command.vidout) + " area=" + std::to_string(command.area);
  if (command.function == Function::StartPlay) line += " url=" + quoted(command.url);
  if (command.function == Function::Duplicate) {
    line += " to vidout=" + quoted(command.targetVidout) +
            " area=" + std::to_string(command.targetArea);
  }
  return line;
}

}  // namespace ostrel::wallsim

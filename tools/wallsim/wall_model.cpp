#include "wallsim/wall_model.h"

#include <algorithm>
#include <sstream>

namespace ostrel::wallsim {
namespace {

std::string AreaName(const std::string& vidout, int area) {
  return vidout + ":" + std::to_string(area);
}

}  // namespace

std::string WallModel::Apply(const Command& command) {
  ++commandsApplied_;
  switch (command.function) {
    case Function::StartPlay:
      outputs_[command.vidout][command.area] = AreaState{command.url, ""};
      return AreaName(command.vidout, command.area) + " plays " + command.url;
    case Function::StopPlay: {
      auto output = outputs_.find(command.vidout);
      if (output == outputs_.end() || output->second.erase(command.area) == 0) {
        return AreaName(command.vidout, command.area) + " was already dark";
      }
      if (output->second.empty()) outputs_.erase(output);
      return AreaName(command.vidout, command.area) + " stopped";
    }
    case Function::Duplicate: {
      const std::string source = AreaName(command.vidout, command.area);
      const std::string target = AreaName(command.targetVidout, command.targetArea);
      const std::string url = Showing(command.vidout, command.area);
      if (url.empty()) {
        // Duplicating a dark area makes the target dark too.
        auto output = outputs_.find(command.targetVidout);
        if (output != outputs_.end()) {
          output->second.erase(command.targetArea);
          if (output->second.empty()) outputs_.erase(output);
        }
        return target + " now dark like " + source;
      }
      outputs_[command.targetVidout][command.targetArea] = AreaState{url, source};
      return target + " shows " + source + " (" + url + ")";
    }
  }
  return "";
}

std::string WallModel::Showing(const std::string& vidout, int area) const {
  auto output = outputs_.find(vidout);
  if (output == outputs_.end()) return "";
  auto state = output->second.find(area);
  return state == output->second.end() ? "" : state->second.url;
}

std::string WallModel::Table() const {
  if (outputs_.empty()) return "(wall is dark)\n";
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
    for (const auto& [area, state] : areas)
      row(vidout, std::to_string(area), state.url, state.copiedFrom);
  }
  return out.str();
}

nlohmann::json WallModel::ToJson() const {
  nlohmann::json outputs = nlohmann::json::object();
  for (const auto& [vidout, areas] : outputs_) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& [area, state] : areas) {
      nlohmann::json entry = {{"area", area}, {"url", state.url}};
      if (!state.copiedFrom.empty()) entry["copiedFrom"] = state.copiedFrom;
      list.push_back(entry);
    }
    outputs[vidout] = list;
  }
  return {{"commandsApplied", commandsApplied_}, {"outputs", outputs}};
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

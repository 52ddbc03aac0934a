#include "cli/usage.h"

#include <iostream>

namespace ostrel::cli {
namespace {

std::string CommandNames(CLI::App& app) {
  std::string names;
  for (const CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
    names += (names.empty() ? "" : ", ") + sub->get_name();
  }
  return names;
}

// The first word that is not an option names the command (no global option takes a value).
std::string FirstWord(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') return argv[i];
  }
  return "";
}

// One line: CLI11 words some errors over several.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

int UsageError(const std::string& command, const std::string& what) {
  const std::string where = command.empty() ? "ostrel" : "ostrel " + command;
  std::cerr << "ostrel: " << (command.empty() ? "" : command + ": ") << what << "\n"
            << "Try '" << where << " --help' for more information.\n";
  return kExitUsage;
}

int ParseCommandLine(CLI::App& app, int argc, char** argv) {
  const std::string word = FirstWord(argc, argv);
  if (!word.empty() &&
      app.get_subcommands([&](CLI::App* sub) { return sub->get_name() == word; }).empty()) {
    return UsageError("", "unknown command '" + word + "' (commands: " + CommandNames(app) + ")");
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return UsageError(word, OneLine(e.what()));
  }
  if (app.get_subcommands().empty()) {
    return UsageError("", "no command given (commands: " + CommandNames(app) + ")");
  }
  return -1;
}

}  // namespace ostrel::cli

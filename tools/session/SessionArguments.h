#pragma once
// dravik-session's command line.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DravikCore/Localization.h"
#include "SessionTool.h"

namespace dravik {

enum class SessionCommand { help, status, begin, end, remove };

struct SessionArguments {
  SessionCommand command = SessionCommand::help;
  AppLanguage language = AppLanguage::system;
  BeginOptions begin;  // only for SessionCommand::begin
};

// Either the parsed arguments or what is wrong with them (one line, no newline).
struct ParsedSessionArguments {
  std::optional<SessionArguments> arguments;
  std::string error;
};

// `arguments` are the program's arguments without its name. Options may come before or
// after the command, as "--name value" or "--name=value".
ParsedSessionArguments parseSessionArguments(const std::vector<std::string>& arguments);

// The usage text, ending in a newline.
std::string_view sessionUsage();

}  // namespace dravik

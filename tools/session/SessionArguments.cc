#include "SessionArguments.h"

#include <charconv>

namespace dravik {

namespace {

template <class Integer>
std::optional<Integer> parseInteger(std::string_view text) {
  Integer value{};
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

ParsedSessionArguments failed(std::string error) { return {std::nullopt, std::move(error)}; }

}  // namespace

ParsedSessionArguments parseSessionArguments(const std::vector<std::string>& arguments) {
  SessionArguments parsed;
  std::optional<SessionCommand> command;
  bool beginOption = false;  // an option that only `begin` takes was given

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string_view argument = arguments[i];
    std::string_view name = argument;
    std::optional<std::string_view> inlineValue;
    if (argument.starts_with("--")) {
      if (auto equals = argument.find('='); equals != std::string_view::npos) {
        name = argument.substr(0, equals);
        inlineValue = argument.substr(equals + 1);
      }
    }
    // The value of an option that takes one, from "=value" or the next argument.
    auto value = [&]() -> std::optional<std::string_view> {
      if (inlineValue) return inlineValue;
      if (i + 1 < arguments.size()) return std::string_view(arguments[++i]);
      return std::nullopt;
    };

    if (name == "--help" || name == "-h") {
      if (inlineValue) return failed("--help takes no value");
      return {SessionArguments{}, ""};
    } else if (name == "--language") {
      auto raw = value();
      if (!raw) return failed("--language needs a value: system, zh-Hans or en");
      auto language = appLanguageFromRawValue(*raw);
      if (!language) {
        return failed("unknown language '" + std::string(*raw) + "': use system, zh-Hans or en");
      }
      parsed.language = *language;
    } else if (name == "--minutes") {
      auto raw = value();
      auto minutes = raw ? parseInteger<std::int64_t>(*raw) : std::nullopt;
      if (!minutes) return failed("--minutes needs a whole number of minutes");
      parsed.begin.minutes = *minutes;
      beginOption = true;
    } else if (name == "--renewals") {
      auto raw = value();
      auto renewals = raw ? parseInteger<std::uint64_t>(*raw) : std::nullopt;
      if (!renewals) return failed("--renewals needs a number of renewals (0 or more)");
      parsed.begin.renewals = *renewals;
      beginOption = true;
    } else if (name == "--quiet-renewals") {
      if (inlineValue) return failed("--quiet-renewals takes no value");
      parsed.begin.quietRenewals = true;
      beginOption = true;
    } else if (argument.starts_with("-")) {
      return failed("unknown option '" + std::string(argument) + "'");
    } else {
      std::optional<SessionCommand> named;
      if (argument == "status") named = SessionCommand::status;
      if (argument == "begin") named = SessionCommand::begin;
      if (argument == "end") named = SessionCommand::end;
      if (argument == "remove") named = SessionCommand::remove;
      if (argument == "help") named = SessionCommand::help;
      if (!named) return failed("unknown command '" + std::string(argument) + "'");
      if (command) return failed("only one command at a time");
      command = named;
    }
  }

  if (!command) return failed("no command given");
  if (beginOption && *command != SessionCommand::begin) {
    return failed("--minutes, --renewals and --quiet-renewals belong to 'begin'");
  }
  parsed.command = *command;
  return {parsed, ""};
}

std::string_view sessionUsage() {
  return "usage: dravik-session [--language system|zh-Hans|en] <command>\n"
         "\n"
         "  status     show whether a closed-lid session runs or a restoration is pending\n"
         "  begin [--minutes N] [--renewals K] [--quiet-renewals]\n"
         "             begin a closed-lid session (with the lid open), renew it every 5 s and\n"
         "             end it on SIGINT/SIGTERM or after K renewals; N = 0 (the default)\n"
         "             means no time limit\n"
         "  end        send the end request on a connection of its own (retries a pending\n"
         "             restoration; leaves another client's session alone)\n"
         "  remove     end any session, restore sleep and refuse new sessions until the\n"
         "             daemon restarts\n"
         "\n"
         "Exit status: 0 done, 1 refused or failed, 2 bad arguments.\n";
}

}  // namespace dravik

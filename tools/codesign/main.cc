// dravik-codesign: makes signing identities and signs and checks programs.
//
//   dravik-codesign anchor new --out DIR
//   dravik-codesign cert issue --anchor DIR --team TEAM [--field OID]... --out DIR
//   dravik-codesign sign --cert DIR --identifier ID PROGRAM
//   dravik-codesign verify --anchor-pub FILE --requirement TEXT PROGRAM
//   dravik-codesign install-anchor --anchor DIR --root MACHINE_ROOT
//   dravik-codesign dev-identity --dir DIR [--team TEAM]
//
// Exit status: 0 done (verify: requirement satisfied), 1 failed, 2 bad usage.

#include <algorithm>
#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "Platform/CodeIdentity/CodeSigningStatus.h"
#include "Platform/CodeIdentity/IdentityFiles.h"
#include "Platform/CodeIdentity/SodiumCodeSigning.h"

namespace {

using namespace dravik::platform;

constexpr const char* kUsage =
    "usage:\n"
    "  dravik-codesign anchor new --out DIR\n"
    "  dravik-codesign cert issue --anchor DIR --team TEAM [--field OID]... --out DIR\n"
    "  dravik-codesign sign --cert DIR --identifier ID PROGRAM\n"
    "  dravik-codesign verify --anchor-pub FILE --requirement TEXT PROGRAM\n"
    "  dravik-codesign install-anchor --anchor DIR --root MACHINE_ROOT\n"
    "  dravik-codesign dev-identity --dir DIR [--team TEAM]\n";

struct UsageError {
  std::string message;
};

// Options of the form "--name value" (repeatable ones collect every value) and at most
// `positionals` plain arguments.
struct Arguments {
  std::map<std::string, std::vector<std::string>> options;
  std::vector<std::string> positionals;

  std::string one(const std::string& name) const {
    auto it = options.find(name);
    if (it == options.end()) throw UsageError{"missing --" + name};
    if (it->second.size() != 1) throw UsageError{"--" + name + " given more than once"};
    return it->second.front();
  }
  std::string oneOr(const std::string& name, const std::string& fallback) const {
    return options.count(name) ? one(name) : fallback;
  }
  std::vector<std::string> all(const std::string& name) const {
    auto it = options.find(name);
    return it == options.end() ? std::vector<std::string>{} : it->second;
  }
};

Arguments parse(const std::vector<std::string>& args, const std::vector<std::string>& known,
                std::size_t positionals) {
  Arguments parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) == 0) {
      const std::string name = arg.substr(2);
      if (std::find(known.begin(), known.end(), name) == known.end())
        throw UsageError{"unknown option " + arg};
      if (i + 1 >= args.size()) throw UsageError{arg + " needs a value"};
      parsed.options[name].push_back(args[++i]);
    } else {
      parsed.positionals.push_back(arg);
    }
  }
  if (parsed.positionals.size() != positionals)
    throw UsageError{positionals == 0 ? "unexpected argument " + parsed.positionals.front()
                                      : "expected exactly one PROGRAM"};
  return parsed;
}

int verify(const Arguments& a) {
  SodiumCodeSigning signing(a.one("anchor-pub"));
  const std::string& program = a.positionals.front();
  std::string error;
  std::shared_ptr<const CompiledRequirement> compiled;
  if (CompiledRequirement::compile(a.one("requirement"), &compiled, &error) != kCodeSigningOk) {
    std::fprintf(stderr, "dravik-codesign: requirement does not compile: %s\n", error.c_str());
    return 1;
  }
  std::shared_ptr<StaticCode> code;
  OSStatus status = signing.createStaticCodeWithPath(program, &code);
  if (status == kCodeSigningOk)
    status = signing.checkStaticValidity(*code, CodeSigning::kStrictValidate, compiled.get());
  SigningInformation info;
  if (status == kCodeSigningOk)
    status = signing.copySigningInformation(*code, CodeSigning::kSigningInformation, &info);
  if (status != kCodeSigningOk) {
    std::fprintf(stderr, "dravik-codesign: %s: %s (%d)\n", program.c_str(),
                 codeSigningStatusName(status), static_cast<int>(status));
    return 1;
  }
  std::printf("%s: satisfies the requirement (identifier %s, team %s, cdhash %s)\n",
              program.c_str(), info.identifier->c_str(), info.teamIdentifier->c_str(),
              toHex(info.unique->data(), info.unique->size()).c_str());
  return 0;
}

int run(const std::vector<std::string>& args) {
  if (args.empty()) throw UsageError{"no command"};
  const std::string& command = args[0];
  if (command == "anchor" || command == "cert") {
    if (args.size() < 2 || args[1] != (command == "anchor" ? "new" : "issue"))
      throw UsageError{"unknown command " + command + (args.size() > 1 ? " " + args[1] : "")};
  }
  const std::vector<std::string> rest(
      args.begin() + (command == "anchor" || command == "cert" ? 2 : 1), args.end());
  if (command == "anchor") {
    const Arguments a = parse(rest, {"out"}, 0);
    createAnchorDirectory(a.one("out"));
    std::printf("anchor written to %s\n", a.one("out").c_str());
  } else if (command == "cert") {
    const Arguments a = parse(rest, {"anchor", "team", "field", "out"}, 0);
    issueCertificateDirectory(a.one("anchor"), a.one("team"), a.all("field"), a.one("out"));
    std::printf("certificate for team %s written to %s\n", a.one("team").c_str(),
                a.one("out").c_str());
  } else if (command == "sign") {
    const Arguments a = parse(rest, {"cert", "identifier"}, 1);
    signProgramFile(a.one("cert"), a.one("identifier"), a.positionals.front());
    std::printf("signed %s as %s\n", a.positionals.front().c_str(), a.one("identifier").c_str());
  } else if (command == "verify") {
    return verify(parse(rest, {"anchor-pub", "requirement"}, 1));
  } else if (command == "install-anchor") {
    const Arguments a = parse(rest, {"anchor", "root"}, 0);
    installAnchorPublicKey(a.one("anchor"), a.one("root"));
    std::printf("anchor installed in %s%s\n", a.one("root").c_str(), kTrustedAnchorPath);
  } else if (command == "dev-identity") {
    const Arguments a = parse(rest, {"dir", "team"}, 0);
    ensureDevelopmentIdentity(a.one("dir"), a.oneOr("team", "Q7TX2KM9RZ"));
  } else {
    throw UsageError{"unknown command " + command};
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& e) {
    std::fprintf(stderr, "dravik-codesign: %s\n%s", e.message.c_str(), kUsage);
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dravik-codesign: %s\n", e.what());
    return 1;
  }
}

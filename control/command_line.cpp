#include "control/command_line.h"

#include <cstring>

namespace orvane {

namespace {

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Compares at most n characters, ignoring ASCII case; true when they are equal.
bool EqualsIgnoringCase(const char* a, const char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    if (a[i] == '\0') return true;
  }
  return true;
}

bool EqualsIgnoringCase(const char* a, const char* b) {
  return EqualsIgnoringCase(a, b, std::strlen(b) + 1);
}

// A first argument that starts with any of these, in either case, asks for help.
constexpr const char* kHelpForms[] = {"/?", "-?", "/h", "-h", "--h"};

bool AsksForHelp(const char* arg) {
  for (const char* form : kHelpForms) {
    if (EqualsIgnoringCase(arg, form, std::strlen(form))) return true;
  }
  return false;
}

struct PortOption {
  const char* name;
  std::int32_t ServicePorts::*field;
  const char* missing;
  const char* bad;
};

constexpr PortOption kPortOptions[] = {
    {"-e", &ServicePorts::echoport, "Missing echo port number\n", "Bad echo port number\n"},
    {"-c", &ServicePorts::chargenport, "Missing chargen port number\n",
     "Bad chargen port number\n"},
};

const PortOption* FindPortOption(const char* arg) {
  for (const auto& option : kPortOptions) {
    if (EqualsIgnoringCase(arg, option.name)) return &option;
  }
  return nullptr;
}

bool IsLeadingSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

int PrintUsage(std::FILE* err) {
  std::fprintf(err,
               "Orvane v0.20: UDP 'echo', TCP 'echo' and 'chargen' services\n"
               "  Usage: orvane [-e <echoport>] [-c <chargenport>]\n");
  return kExitUsage;
}

std::int32_t ConvertPortNumber(const char* text) {
  const char* p = text;
  while (IsLeadingSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  // Unsigned arithmetic wraps by definition, which is exactly the modulo 2^32 we want.
  std::uint32_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<std::uint32_t>(*p - '0');
  if (negative) value = 0u - value;
  return static_cast<std::int32_t>(value);
}

std::optional<int> ParseCommandLine(int argc, const char* const* argv, ServicePorts& ports,
                                    std::FILE* err) {
  if (argc > 1 && AsksForHelp(argv[1])) return PrintUsage(err);

  for (int i = 1; i < argc; ++i) {
    const PortOption* option = FindPortOption(argv[i]);
    if (option == nullptr) {
      std::fprintf(err, "Unknown option \"%s\"\n", argv[i]);
      return kExitUsage;
    }
    if (i + 1 >= argc) {
      std::fputs(option->missing, err);
      return kExitUsage;
    }
    // The value is taken as it stands, even when it looks like another option.
    const std::int32_t value = ConvertPortNumber(argv[++i]);
    ports.*(option->field) = value;
    if (PortOf(value) == 0) {
      std::fputs(option->bad, err);
      return kExitUsage;
    }
  }
  return std::nullopt;
}

}  // namespace orvane

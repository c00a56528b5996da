#include "offline/command_line.h"

#include <cstring>

namespace {

enum class Option { kHelp, kVersion, kYes, kDryRun, kLog, kUndo, kImage, kRoot, kFormat, kOtherFile, kApplyUndo };

struct OptionName {
  Option option;
  char letter;          // its short form, or 0
  const char* name;     // its long form, or null
  const char* value;    // what its value is, or null for a flag
  bool optional = false;  // a value that only follows "=" and may be left out
};

constexpr OptionName kOptions[] = {
    {Option::kHelp, 'h', "help", nullptr},    {Option::kVersion, 'V', "version", nullptr},
    {Option::kYes, 'y', "yes", nullptr},      {Option::kDryRun, 'n', "dry-run", nullptr},
    {Option::kLog, 0, "log", "FILE"},         {Option::kUndo, 0, "undo", "FILE"},
    {Option::kImage, 'a', nullptr, "IMAGE"},  {Option::kRoot, 0, "root", "DEVICE"},
    {Option::kFormat, 0, "format", "FORMAT"},  {Option::kOtherFile, 0, "other-file", "FILE"},
    {Option::kApplyUndo, 0, "apply-undo", "FILE", true},
};

const OptionName* FindLong(const std::string& name) {
  for (const OptionName& option : kOptions) {
    if (option.name != nullptr && name == option.name) return &option;
  }
  return nullptr;
}

const OptionName* FindShort(char letter) {
  for (const OptionName& option : kOptions) {
    if (option.letter != 0 && letter == option.letter) return &option;
  }
  return nullptr;
}

// How the user wrote the option, for a problem with it.
std::string Shown(const OptionName& option, bool asLong) {
  return asLong ? std::string("--") + option.name : std::string("-") + option.letter;
}

// The problem of a value missing after `option`.
std::string NoValue(const OptionName& option, bool asLong) {
  const bool vowel = std::strchr("AEIOU", option.value[0]) != nullptr;
  return "option '" + Shown(option, asLong) + "' needs " + (vowel ? "an " : "a ") + option.value + " after it";
}

// Takes in `option`; false when it ends the reading (--help, --version).
bool Apply(const OptionName& option, const std::string& value, CommandLine& line) {
  switch (option.option) {
    case Option::kHelp: line.help = true; return false;
    case Option::kVersion: line.version = true; return false;
    case Option::kYes: line.options.yes = true; break;
    case Option::kDryRun: line.options.dryRun = true; break;
    case Option::kLog: line.options.logPath = value; break;
    case Option::kUndo: line.options.undoPath = value; break;
    case Option::kImage: line.images.push_back(value); break;
    case Option::kRoot: line.root = value; break;
    case Option::kFormat: line.format = value; break;
    case Option::kOtherFile: line.others.push_back(value); break;
    case Option::kApplyUndo:
      line.applyUndo = true;
      line.undoToApply = value;
      break;
  }
  return true;
}

}  // namespace

bool ParseCommandLine(int argc, char** argv, CommandLine& line, std::string& problem) {
  std::vector<std::string> operands;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    // "-" alone is an operand, as everywhere.
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      operands.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    if (argument[1] == '-') {
      const std::size_t equals = argument.find('=');
      const OptionName* option = FindLong(argument.substr(2, equals == std::string::npos ? equals : equals - 2));
      if (option == nullptr) {
        problem = "unknown option '" + argument.substr(0, equals) + "'";
        return false;
      }
      std::string value;
      if (option->value == nullptr && equals != std::string::npos) {
        problem = "option '" + Shown(*option, true) + "' takes no value";
        return false;
      }
      if (option->value != nullptr && equals != std::string::npos) {
        value = argument.substr(equals + 1);
      } else if (option->value != nullptr && !option->optional && i + 1 < argc) {
        value = argv[++i];
      }
      if (option->value != nullptr && value.empty() && (!option->optional || equals != std::string::npos)) {
        problem = NoValue(*option, true);
        return false;
      }
      if (!Apply(*option, value, line)) return true;
      continue;
    }
    // Short options, bundled; one with a value takes the rest of the
    // argument, or the next one.
    for (std::size_t at = 1; at < argument.size(); ++at) {
      const OptionName* option = FindShort(argument[at]);
      if (option == nullptr) {
        problem = std::string("unknown option '-") + argument[at] + "'";
        return false;
      }
      std::string value;
      if (option->value != nullptr) {
        if (at + 1 < argument.size()) {
          value = argument.substr(at + 1);
        } else if (i + 1 < argc) {
          value = argv[++i];
        }
        if (value.empty()) {
          problem = NoValue(*option, false);
          return false;
        }
        at = argument.size();
      }
      if (!Apply(*option, value, line)) return true;
    }
  }
  if (line.applyUndo && !line.images.empty()) {
    problem = "--apply-undo is for a mounted volume, named as WINDOWS_ROOT, not for -a IMAGE";
    return false;
  }
  if (line.applyUndo && (!line.options.logPath.empty() || !line.options.undoPath.empty())) {
    problem = "--log and --undo name the record of a repair; the undo file to apply is named as --apply-undo=FILE";
    return false;
  }
  if (line.images.empty() && (!line.root.empty() || !line.format.empty())) {
    problem = std::string(line.root.empty() ? "--format" : "--root") +
              " is for disk images and needs -a IMAGE (a mounted volume is named as WINDOWS_ROOT alone)";
    return false;
  }
  if (!line.others.empty() && line.format.empty()) {
    problem = "--other-file is for an image whose format is named with --format";
    return false;
  }
  if (!line.images.empty() && !operands.empty()) {
    problem = "a WINDOWS_ROOT (\"" + operands.front() + "\") is not named beside -a IMAGE";
    return false;
  }
  if (operands.size() > 1) {
    problem = "one WINDOWS_ROOT only: \"" + operands[0] + "\", then \"" + operands[1] + "\"" +
              (line.applyUndo ? " (the undo file to apply is named as --apply-undo=FILE)" : "");
    return false;
  }
  if (line.images.empty() && operands.empty()) {
    problem = "no WINDOWS_ROOT given";
    return false;
  }
  if (!operands.empty()) line.options.windowsRoot = operands.front();
  return true;
}

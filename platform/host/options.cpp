// Reading nbhost's command line.
#include "nb/host/options.h"

#include <cctype>
#include <cstdio>
#include <initializer_list>
#include <filesystem>

namespace nb::host {

namespace {

ParsedCommand Refuse(std::string error) {
  ParsedCommand parsed;
  parsed.error = std::move(error);
  return parsed;
}

// An absolute, normalised path from one given relative to the working folder; false when
// it cannot be made.
bool AbsolutePath(const std::string& path, std::string* absolute) {
  if (path.empty()) return false;
  std::error_code error;
  std::filesystem::path made = std::filesystem::absolute(path, error);
  if (error) return false;
  *absolute = made.lexically_normal().string();
  while (absolute->size() > 1 && absolute->back() == '/') absolute->pop_back();
  return true;
}

// The words after "volume" (options for --root are taken out already).
bool ParseVolume(const std::vector<std::string>& words, VolumeCommand* volume, std::string* error) {
  if (words.empty()) {
    *error = "volume needs list, add, eject or insert";
    return false;
  }
  const std::string& action = words[0];
  std::vector<std::string> positional;
  for (size_t i = 1; i < words.size(); ++i) {
    const std::string& word = words[i];
    auto value = [&](std::string* into) {
      if (i + 1 >= words.size() || words[i + 1].empty()) {
        *error = word + " needs a value";
        return false;
      }
      *into = words[++i];
      return true;
    };
    std::string text;
    if (action == "add" && word == "--removable") {
      volume->removable = true;
    } else if (action == "add" && word == "--overmount") {
      volume->overmount = true;
    } else if (action == "add" && word == "--serial") {
      if (!value(&text)) return false;
      std::optional<uint32_t> serial = ParseSerial(text);
      if (!serial) {
        *error = "invalid serial '" + text + "': one to eight hexadecimal digits, not 0";
        return false;
      }
      volume->hasSerial = true;
      volume->serial = *serial;
    } else if (action == "add" && word == "--mount") {
      if (!value(&text)) return false;
      if (!AbsolutePath(text, &volume->mountPath)) {
        *error = "cannot use the mount point '" + text + "'";
        return false;
      }
    } else if (action == "insert" && word == "--letter") {
      if (!value(&text)) return false;
      std::optional<char> letter = ParseDriveLetter(text);
      if (!letter) {
        *error = "invalid drive letter '" + text + "'";
        return false;
      }
      volume->letter = *letter;
    } else if (word.starts_with("--")) {
      *error = "unknown option '" + word + "' for volume " + action;
      return false;
    } else {
      positional.push_back(word);
    }
  }
  if (volume->overmount && !volume->mountPath.empty()) {
    *error = "--mount and --overmount exclude each other";
    return false;
  }
  auto letterAt = [&](size_t index) {
    std::optional<char> letter = ParseDriveLetter(positional[index]);
    if (!letter) *error = "invalid drive letter '" + positional[index] + "'";
    if (letter) volume->letter = *letter;
    return letter.has_value();
  };
  auto folderAt = [&](size_t index) {
    bool made = AbsolutePath(positional[index], &volume->folder);
    if (!made) *error = "cannot use the folder '" + positional[index] + "'";
    return made;
  };
  if (action == "list") {
    volume->action = VolumeAction::kList;
    if (positional.empty()) return true;
  } else if (action == "add") {
    volume->action = VolumeAction::kAdd;
    if (positional.size() == 2) return letterAt(0) && folderAt(1);
  } else if (action == "eject") {
    volume->action = VolumeAction::kEject;
    if (positional.size() == 1) return letterAt(0);
  } else if (action == "insert") {
    volume->action = VolumeAction::kInsert;
    if (positional.size() == 1) return folderAt(0);
  } else {
    *error = "unknown volume command '" + action + "'";
    return false;
  }
  *error = "wrong arguments for volume " + action;
  return false;
}

// A value of sc's word table ("own" for type= ...); false when the word is not one.
bool WordValue(const std::string& word, std::initializer_list<std::pair<const char*, uint32_t>> table,
               uint32_t* value) {
  for (const auto& [name, number] : table) {
    if (word == name) {
      *value = number;
      return true;
    }
  }
  return false;
}

// The words after "sc" (options for --root are taken out already).
bool ParseSc(const std::vector<std::string>& words, ScCommand* sc, std::string* error) {
  if (words.size() < 2) {
    *error = "sc needs create, delete, start, stop or query and a service name";
    return false;
  }
  const std::string& action = words[0];
  sc->name = words[1];
  if (action == "create") {
    sc->action = ScAction::kCreate;
  } else if (action == "delete") {
    sc->action = ScAction::kDelete;
  } else if (action == "start") {
    sc->action = ScAction::kStart;
    sc->arguments.assign(words.begin() + 2, words.end());
    return true;
  } else if (action == "stop") {
    sc->action = ScAction::kStop;
  } else if (action == "query") {
    sc->action = ScAction::kQuery;
  } else {
    *error = "unknown sc command '" + action + "'";
    return false;
  }
  if (action != "create") {
    if (words.size() == 2) return true;
    *error = "sc " + action + " takes only the service name";
    return false;
  }
  for (size_t i = 2; i < words.size(); ++i) {
    std::string key = words[i];
    std::string value;
    size_t equals = key.find('=');
    if (equals == std::string::npos) {
      *error = "sc create expects OPTION= VALUE pairs, not '" + key + "'";
      return false;
    }
    if (equals + 1 < key.size()) {
      value = key.substr(equals + 1);
    } else if (i + 1 < words.size()) {
      value = words[++i];
    } else {
      *error = key + " needs a value";
      return false;
    }
    key = key.substr(0, equals);
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    bool known = true;
    if (key == "binpath") {
      sc->binaryPath = value;
      if (value.starts_with("/")) {
        std::string absolute;
        known = AbsolutePath(value, &absolute);
        std::string windows = "\\\\?\\unix";
        for (char c : absolute) windows += c == '/' ? '\\' : c;
        sc->binaryPath = windows;
      }
    } else if (key == "type") {
      known = WordValue(value, {{"own", 0x10}, {"kernel", 0x1}, {"filesys", 0x2}}, &sc->type);
    } else if (key == "start") {
      known = WordValue(value, {{"boot", 0}, {"system", 1}, {"auto", 2}, {"demand", 3}, {"disabled", 4}}, &sc->start);
    } else if (key == "error") {
      known = WordValue(value, {{"ignore", 0}, {"normal", 1}, {"severe", 2}, {"critical", 3}}, &sc->errorControl);
    } else if (key == "displayname") {
      sc->displayName = value;
    } else {
      *error = "unknown sc create option '" + key + "='";
      return false;
    }
    if (!known) {
      *error = "invalid value '" + value + "' for " + key + "=";
      return false;
    }
  }
  if (sc->binaryPath.empty()) {
    *error = "sc create needs binPath= PATH";
    return false;
  }
  return true;
}

}  // namespace

const char* UsageText() {
  return "usage: nbhost start [--root DIR] [--foreground] [--driver IMAGE]...\n"
         "       nbhost stop [--root DIR]\n"
         "       nbhost status [--root DIR]\n"
         "       nbhost volume list [--root DIR]\n"
         "       nbhost volume add LETTER DIR [--removable] [--serial HEX] [--mount PATH | --overmount]\n"
         "       nbhost volume eject LETTER\n"
         "       nbhost volume insert DIR [--letter X]\n"
         "       nbhost sc create NAME binPath= PATH [type= own|kernel|filesys]\n"
         "                 [start= boot|system|auto|demand|disabled] [error= normal|...] [DisplayName= TEXT]\n"
         "       nbhost sc delete|stop|query NAME      nbhost sc start NAME [ARGUMENT]...\n"
         "The machine root is --root, else $NB_ROOT, else /var/lib/nimbra.\n";
}

std::optional<uint32_t> ParseSerial(std::string_view text) {
  if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
  size_t dash = text.find('-');
  // The dash only as Windows writes it: four digits on each side.
  if (dash != std::string_view::npos && (dash != 4 || text.size() != 9)) return std::nullopt;
  uint32_t value = 0;
  size_t digits = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (i == dash) continue;
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (++digits > 8) return std::nullopt;
    value = value << 4 | digit;
  }
  if (digits == 0 || value == 0) return std::nullopt;
  return value;
}

std::string FormatSerial(uint32_t serial) {
  char text[16];
  std::snprintf(text, sizeof text, "%04X-%04X", static_cast<unsigned>(serial >> 16),
                static_cast<unsigned>(serial & 0xFFFF));
  return text;
}

std::optional<char> ParseDriveLetter(std::string_view text) {
  if (text.size() == 2 && text[1] == ':') text.remove_suffix(1);
  if (text.size() != 1) return std::nullopt;
  char letter = text[0];
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'Z') return std::nullopt;
  return letter;
}

ParsedCommand ParseCommandLine(const std::vector<std::string>& arguments, const char* environmentRoot) {
  if (arguments.empty()) return Refuse("no command given");
  ParsedCommand parsed;
  HostCommand& command = parsed.command;
  const std::string& verb = arguments[0];
  if (verb == "start") {
    command.verb = Verb::kStart;
  } else if (verb == "stop") {
    command.verb = Verb::kStop;
  } else if (verb == "status") {
    command.verb = Verb::kStatus;
  } else if (verb == "volume") {
    command.verb = Verb::kVolume;
  } else if (verb == "sc") {
    command.verb = Verb::kSc;
  } else if (verb == "help" || verb == "--help" || verb == "-h") {
    command.verb = Verb::kHelp;
    parsed.ok = true;
    return parsed;
  } else {
    return Refuse("unknown command '" + verb + "'");
  }

  std::string root = environmentRoot && *environmentRoot ? environmentRoot : kDefaultRoot;
  std::vector<std::string> volumeWords;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "--root") {
      if (i + 1 >= arguments.size() || arguments[i + 1].empty()) return Refuse("--root needs a folder");
      root = arguments[++i];
    } else if (option.rfind("--root=", 0) == 0 && option.size() > 7) {
      root = option.substr(7);
    } else if (option == "--foreground" && command.verb == Verb::kStart) {
      command.foreground = true;
    } else if (option == "--driver" && command.verb == Verb::kStart) {
      std::string image;
      if (i + 1 >= arguments.size() || !AbsolutePath(arguments[i + 1], &image)) {
        return Refuse("--driver needs a driver image");
      }
      command.drivers.push_back(image);
      ++i;
    } else if (command.verb == Verb::kVolume || command.verb == Verb::kSc) {
      volumeWords.push_back(option);
    } else {
      return Refuse("unknown option '" + option + "' for " + verb);
    }
  }
  if (command.verb == Verb::kVolume) {
    std::string error;
    if (!ParseVolume(volumeWords, &command.volume, &error)) return Refuse(error);
  }
  if (command.verb == Verb::kSc) {
    std::string error;
    if (!ParseSc(volumeWords, &command.sc, &error)) return Refuse(error);
  }
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(root, error);
  if (error) return Refuse("cannot use the root '" + root + "': " + error.message());
  command.root = absolute.lexically_normal().string();
  if (command.root.size() > 1 && command.root.back() == '/') command.root.pop_back();
  parsed.ok = true;
  return parsed;
}

}  // namespace nb::host

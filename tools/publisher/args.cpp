#include "tools/publisher/args.h"

#include <cstdio>

bool Args::Parse(const CommandSyntax& syntax, const std::vector<std::string>& words,
                 std::string& error) {
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word.rfind("--", 0) != 0 || word == "--") {
      plain_.push_back(word);
      continue;
    }
    const std::string name = word.substr(2);
    if (name == "help" || syntax.flags.count(name)) {
      values_[name] = {"1"};
    } else if (syntax.valued.count(name)) {
      if (i + 1 >= words.size()) {
        error = "option --" + name + " needs a value";
        return false;
      }
      values_[name].push_back(words[++i]);
    } else {
      error = "unknown option " + word;
      return false;
    }
  }
  return true;
}

std::string Args::Get(const std::string& name, const std::string& fallback) const {
  const auto found = values_.find(name);
  return found == values_.end() ? fallback : found->second.back();
}

std::vector<std::string> Args::All(const std::string& name) const {
  const auto found = values_.find(name);
  return found == values_.end() ? std::vector<std::string>() : found->second;
}

std::string Args::Missing(const std::vector<std::string>& names) const {
  for (const std::string& name : names) {
    if (!Has(name)) return name;
  }
  return std::string();
}

bool Args::Number(const std::string& name, long fallback, long min, long max, long& value,
                  std::string& error) const {
  if (!Has(name)) {
    value = fallback;
    return true;
  }
  const std::string text = Get(name);
  long parsed = 0;
  bool whole = !text.empty() && text.size() <= 9;
  for (const char c : text) {
    whole = whole && c >= '0' && c <= '9';
    if (whole) parsed = parsed * 10 + (c - '0');
  }
  if (!whole || parsed < min || parsed > max) {
    error = "--" + name + " takes a whole number from " + std::to_string(min) + " to " +
            std::to_string(max) + ", not \"" + text + "\"";
    return false;
  }
  value = parsed;
  return true;
}

int UsageError(const CommandSyntax& syntax, const std::string& error) {
  std::fprintf(stderr, "publisher: %s\n%s", error.c_str(), syntax.help);
  return 2;
}

#include "tools/publisher/args.h"

bool Args::Parse(const std::vector<std::string>& words, const std::set<std::string>& valued,
                 const std::set<std::string>& flags, std::string& error) {
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word.rfind("--", 0) != 0 || word == "--") {
      plain_.push_back(word);
      continue;
    }
    const std::string name = word.substr(2);
    if (flags.count(name)) {
      values_[name] = "1";
    } else if (valued.count(name)) {
      if (i + 1 >= words.size()) {
        error = "option --" + name + " needs a value";
        return false;
      }
      values_[name] = words[++i];
    } else {
      error = "unknown option " + word;
      return false;
    }
  }
  return true;
}

std::string Args::Get(const std::string& name, const std::string& fallback) const {
  const auto found = values_.find(name);
  return found == values_.end() ? fallback : found->second;
}

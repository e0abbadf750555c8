#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

// The options of one subcommand: "--name value", "--flag" and plain
// arguments, in any order.
class Args {
 public:
  // False, with `error` set, on an unknown option or a value left out.
  bool Parse(const std::vector<std::string>& words, const std::set<std::string>& valued,
             const std::set<std::string>& flags, std::string& error);

  bool Has(const std::string& name) const { return values_.count(name) > 0; }
  std::string Get(const std::string& name, const std::string& fallback = "") const;
  const std::vector<std::string>& Plain() const { return plain_; }

 private:
  std::map<std::string, std::string> values_;
  std::vector<std::string> plain_;
};

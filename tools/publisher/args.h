#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

// One subcommand of the publisher: its options and its help text.
struct CommandSyntax {
  const char* name;
  const char* help;
  std::set<std::string> valued;  // "--name value"
  std::set<std::string> flags;   // "--name"
};

// The options of one subcommand: "--name value", "--flag" and plain
// arguments, in any order.
class Args {
 public:
  // False, with `error` set, on an unknown option or a value left out.
  // "--help" is a flag of every command.
  bool Parse(const CommandSyntax& syntax, const std::vector<std::string>& words, std::string& error);

  bool Has(const std::string& name) const { return values_.count(name) > 0; }
  // The last value given; `All` has every one, in order, for options that
  // may be repeated (one per host).
  std::string Get(const std::string& name, const std::string& fallback = "") const;
  std::vector<std::string> All(const std::string& name) const;
  const std::vector<std::string>& Plain() const { return plain_; }

  // The first of `names` that was not given, or empty when all were.
  std::string Missing(const std::vector<std::string>& names) const;

  // A whole decimal number in [min, max] ("4x", "+4", " 4" and "" are not);
  // `fallback` when the option was not given. False with `error`.
  bool Number(const std::string& name, long fallback, long min, long max, long& value,
              std::string& error) const;

 private:
  std::map<std::string, std::vector<std::string>> values_;
  std::vector<std::string> plain_;
};

// Prints "publisher: <error>" and the command's help to stderr; the exit
// status of a usage error.
int UsageError(const CommandSyntax& syntax, const std::string& error);

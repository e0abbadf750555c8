#include "app/commandline.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cwctype>

namespace {

std::wstring Lower(const std::wstring& text) {
  std::wstring lower = text;
  for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
  return lower;
}

// A folder or file as given, made full against the current folder (a
// deployment tool's relative path means where it runs). A path that ends
// in a backslash before its closing quote reaches us with the quote in it
// ("C:\Layout\" splits as C:\Layout"); the quote is no part of it.
std::wstring FullPath(std::wstring path) {
  while (!path.empty() && path.back() == L'"') path.pop_back();
  if (path.empty()) return path;
  const DWORD length = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (length == 0) return path;
  std::wstring full(length, L'\0');
  const DWORD written = ::GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
  if (written == 0 || written >= length) return path;
  full.resize(written);
  // No separator at the end: the names are joined to it.
  while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
  return full;
}

}  // namespace

std::vector<std::wstring> CommandLine::Arguments(const wchar_t* command_line) {
  std::vector<std::wstring> arguments;
  if (command_line == nullptr || *command_line == L'\0') return arguments;
  int count = 0;
  LPWSTR* split = ::CommandLineToArgvW(command_line, &count);
  if (split == nullptr) return arguments;
  // The first is the program's own name.
  for (int i = 1; i < count; ++i) arguments.emplace_back(split[i]);
  ::LocalFree(split);
  return arguments;
}

CommandOptions CommandLine::Parse(const std::vector<std::wstring>& arguments) {
  CommandOptions options;
  const auto fail = [&options](const std::wstring& text) {
    if (options.error.empty()) options.error = text;
  };
  bool seen_layout = false, seen_source = false, seen_log = false, seen_setup_arguments = false;
  std::vector<std::wstring> seen;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
    if (argument.size() < 2 || (argument[0] != L'/' && argument[0] != L'-')) {
      fail(L"Unexpected argument: " + argument);
      continue;
    }
    const std::wstring name = Lower(argument.substr(1));
    for (const std::wstring& earlier : seen) {
      if (earlier == name) fail(L"Option given twice: " + argument);
    }
    seen.push_back(name);
    const auto value = [&](bool& seen_value, std::wstring& target, bool is_path) {
      seen_value = true;
      if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
        fail(L"Option " + argument + L" needs a value");
        return;
      }
      target = is_path ? FullPath(arguments[++i]) : arguments[++i];
      if (target.empty()) fail(L"Option " + argument + L" needs a value");
    };
    if (name == L"quiet") {
      options.quiet = true;
    } else if (name == L"passive") {
      options.passive = true;
    } else if (name == L"noupload") {
      options.no_upload = true;
    } else if (name == L"?") {
      options.help = true;
    } else if (name == L"layout") {
      value(seen_layout, options.layout_folder, true);
    } else if (name == L"source") {
      value(seen_source, options.source_folder, true);
    } else if (name == L"log") {
      value(seen_log, options.log_file, true);
    } else if (name == L"setupargs") {
      // May be empty on purpose only when quoted: "" is a value.
      seen_setup_arguments = true;
      if (i + 1 >= arguments.size()) {
        fail(L"Option " + argument + L" needs a value");
      } else {
        options.setup_arguments = arguments[++i];
      }
    } else {
      fail(L"Unknown option: " + argument);
    }
  }
  if (options.quiet && options.passive) fail(L"/quiet and /passive exclude each other");
  if (seen_layout && seen_source) fail(L"/layout and /source exclude each other");
  if (seen_layout && seen_setup_arguments) {
    fail(L"/setupargs has no use with /layout, which starts nothing");
  }
  return options;
}

std::wstring CommandLine::Usage(const std::wstring& program_name, const std::wstring& problem) {
  std::wstring text;
  if (!problem.empty()) text = problem + L"\r\n\r\n";
  text += L"Usage: " + program_name +
          L" [options]\r\n\r\n"
          L"/quiet\tno window; ends with the setup's exit code\r\n"
          L"/passive\tprogress only; closes by itself\r\n"
          L"/layout DIR\tthe release into DIR, for installs without the internet\r\n"
          L"/source DIR\tinstall from the layout in DIR\r\n"
          L"/log FILE\tthe log into FILE\r\n"
          L"/noupload\tno log to the log service\r\n"
          L"/setupargs \"ARGS\"\tthe setup's arguments\r\n"
          L"/?\tthis text";
  return text;
}

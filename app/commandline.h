#pragma once

#include <string>
#include <vector>

// What the command line asks for. A start without arguments is the
// program as users know it; the options are for administrators who
// install a release on many machines or without the internet.
struct CommandOptions {
  // No window, box or web page; the setup is waited for (exit codes).
  bool quiet = false;
  // The window shows the progress and closes by itself; no box, no page.
  bool passive = false;
  // Nothing is sent to the log service.
  bool no_upload = false;
  // The usage was asked for.
  bool help = false;
  // Full paths; empty when not given.
  std::wstring layout_folder;
  std::wstring source_folder;
  std::wstring log_file;
  // Handed to the setup as its command line.
  std::wstring setup_arguments;
  // What is wrong with the command line; empty when nothing is.
  std::wstring error;

  bool Unattended() const { return quiet || passive; }
};

// Reads the options: "/quiet", "/passive", "/layout DIR", "/source DIR",
// "/log FILE", "/noupload", "/setupargs ARGS", "/?", each also with "-"
// and in any case. An unknown option, one given twice, a missing value or
// options that exclude each other make `error`; the options read before
// and after it are kept, so that a quiet run stays quiet while it says so.
class CommandLine {
 public:
  // The arguments after the program's own name, split as the system splits
  // them (CommandLineToArgvW); none for a null or empty line.
  static std::vector<std::wstring> Arguments(const wchar_t* command_line);
  static CommandOptions Parse(const std::vector<std::wstring>& arguments);
  // The text of the usage box; `problem` first when there is one.
  static std::wstring Usage(const std::wstring& program_name, const std::wstring& problem);
};

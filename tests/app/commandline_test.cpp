#include "app/commandline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

CommandOptions Parse(std::vector<std::wstring> arguments) { return CommandLine::Parse(arguments); }

}  // namespace

// What a deployment tool's command line becomes: any case, either prefix,
// the setup's arguments as one quoted value, paths made full, and a
// folder written with a backslash before its closing quote.
TEST(CommandLine, ReadsWhatDeploymentToolsWrite) {
  EXPECT_TRUE(CommandLine::Arguments(L"").empty());
  EXPECT_TRUE(CommandLine::Arguments(L"\"C:\\Program Files\\Veltra_R1_web.exe\"").empty());
  const std::vector<std::wstring> split = CommandLine::Arguments(
      L"Veltra_R1_web.exe -QUIET /SetupArgs \"/S /D=C:\\Veltra\" /source \"C:\\Lay out\\\"");
  ASSERT_EQ(5u, split.size());
  const CommandOptions options = CommandLine::Parse(split);
  EXPECT_TRUE(options.error.empty()) << std::string(options.error.begin(), options.error.end());
  EXPECT_TRUE(options.quiet);
  EXPECT_FALSE(options.passive);
  EXPECT_EQ(L"/S /D=C:\\Veltra", options.setup_arguments);
  EXPECT_EQ(L"C:\\Lay out", options.source_folder);
  // "" is a value: the setup gets no arguments on purpose.
  EXPECT_TRUE(Parse({L"/passive", L"/setupargs", L""}).error.empty());
}

// Nothing downloads on a line that says something else than it seems to:
// the error names it, and the quiet option read around it still holds.
TEST(CommandLine, RefusesWhatItCannotMeanAndStaysQuiet) {
  const std::vector<std::vector<std::wstring>> bad = {
      {L"/quiet", L"/bogus"},
      {L"/quiet", L"quiet"},
      {L"/quiet", L"/layout"},
      {L"/quiet", L"/log", L""},
      {L"/quiet", L"/setupargs"},
      {L"/quiet", L"/QUIET"},
      {L"/quiet", L"-quiet", L"/passive"},
      {L"/quiet", L"/layout", L"C:\\a", L"/source", L"C:\\b"},
      {L"/quiet", L"/layout", L"C:\\a", L"/setupargs", L"/S"},
      {L"/quiet", L"/"},
  };
  for (const auto& arguments : bad) {
    const CommandOptions options = Parse(arguments);
    EXPECT_FALSE(options.error.empty()) << arguments.back().size();
    EXPECT_TRUE(options.quiet);
  }
  EXPECT_NE(std::wstring::npos, Parse({L"/Bogus"}).error.find(L"/Bogus"));
  EXPECT_TRUE(Parse({L"-?"}).help);
}

#include "tools/publisher/secret.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "tools/publisher/args.h"
#include "tools/publisher/fileio.h"

namespace {

// No secret is anywhere near this; a larger file is the wrong file.
constexpr size_t kMaxSecretBytes = 64 * 1024;

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool ReadFrom(int fd, const std::string& what, std::string& secret, std::string& error) {
  std::string bytes(kMaxSecretBytes + 1, '\0');
  const ssize_t got = FileIo::ReadFull(fd, &bytes[0], bytes.size());
  if (got < 0) {
    error = "cannot read " + what + ": " + FileIo::ErrorText();
    return false;
  }
  if (static_cast<size_t>(got) > kMaxSecretBytes) {
    error = what + " is far longer than any secret";
    return false;
  }
  bytes.resize(static_cast<size_t>(got));
  secret = Trim(bytes);
  return true;
}

// The secret in the file `path`, or on standard input for "-".
bool ReadSecretFile(const std::string& path, std::string& secret, std::string& error) {
  if (path == "-") return ReadFrom(STDIN_FILENO, "standard input", secret, error);
  // Without O_NONBLOCK, opening a FIFO would wait for a writer forever.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat info;
  if (!fd || ::fstat(fd.Get(), &info) != 0) {
    error = "cannot open " + path + ": " + FileIo::ErrorText();
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    error = path +
            " is not a regular file; give the secret in a file, or on standard "
            "input with \"-\"";
    return false;
  }
  if (info.st_mode & (S_IRGRP | S_IROTH)) {
    error = path + " holds a secret but other users may read it; chmod 600 it first";
    return false;
  }
  return ReadFrom(fd.Get(), path, secret, error);
}

}  // namespace

std::string SecretForms(const SecretSource& source) {
  return std::string("--") + source.option + "-file FILE (\"-\": standard input), " +
         source.environment + " or --" + source.option + " VALUE";
}

bool ReadSecret(const Args& args, const SecretSource& source, bool optional, std::string& secret,
                std::string& error) {
  const std::string option = source.option;
  const std::string file_option = option + "-file";
  if (args.Has(option) && args.Has(file_option)) {
    error = "give --" + option + " or --" + file_option + ", not both";
    return false;
  }
  if (args.Has(file_option)) {
    if (!ReadSecretFile(args.Get(file_option), secret, error)) return false;
  } else if (args.Has(option)) {
    std::fprintf(stderr,
                 "publisher: warning: --%s on the command line is seen by every user of this "
                 "machine while the command runs (ps); use --%s FILE, --%s - (standard input) "
                 "or %s\n",
                 source.option, file_option.c_str(), file_option.c_str(), source.environment);
    secret = args.Get(option);
  } else if (const char* value = std::getenv(source.environment)) {
    secret = Trim(value);
  } else {
    secret.clear();
    if (optional) return true;
    error = "the " + option + " is needed: " + SecretForms(source);
    return false;
  }
  if (secret.empty()) {
    error = "the " + option + " given is empty";
    return false;
  }
  return true;
}

bool ReadSecrets(const Args& args, const SecretSource& source, size_t count, bool optional,
                 std::vector<std::string>& secrets, std::string& error) {
  secrets.assign(count, std::string());
  if (count == 1) return ReadSecret(args, source, optional, secrets[0], error);
  const std::string option = source.option;
  const std::vector<std::string> files = args.All(option + "-file");
  // One value or variable cannot tell which host it belongs to.
  if (args.Has(option) || (files.empty() && (!optional || std::getenv(source.environment))) ||
      (!files.empty() && files.size() != count)) {
    error = "with " + std::to_string(count) + " hosts, give each its own --" + option +
            "-file FILE, in the order of the hosts";
    return false;
  }
  if (std::count(files.begin(), files.end(), "-") > 1) {
    error = "standard input (\"-\") can hold the " + option + " of one host only";
    return false;
  }
  for (size_t i = 0; i < files.size(); ++i) {
    if (!ReadSecretFile(files[i], secrets[i], error)) return false;
    if (secrets[i].empty()) {
      error = "the " + option + " in " + files[i] + " is empty";
      return false;
    }
  }
  return true;
}

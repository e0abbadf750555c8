#pragma once

#include <string>
#include <vector>

class Args;

// A secret the tools take (the account key, a signature, the nginx secret),
// read so that no other user of the machine sees it: `--<name>-file FILE`
// (a file that only its owner may read, or "-" for standard input), else
// the environment variable, else `--<name> VALUE`, which `ps` shows to
// everyone and is therefore warned about.
struct SecretSource {
  const char* option;       // "key": --key VALUE and --key-file FILE
  const char* environment;  // "VELTRA_ACCOUNT_KEY"
};

inline constexpr SecretSource kAccountKey{"key", "VELTRA_ACCOUNT_KEY"};
inline constexpr SecretSource kSignature{"sas", "VELTRA_SAS"};
inline constexpr SecretSource kNginxSecret{"secret", "VELTRA_NGINX_SECRET"};

// True with the secret (surrounding blanks and line ends removed); false
// with `error` when it cannot be read safely, or none was given and it is
// not `optional` (then it is empty).
bool ReadSecret(const Args& args, const SecretSource& source, bool optional, std::string& secret,
                std::string& error);

// The secrets of `count` hosts: with one, ReadSecret's; with several, the
// i-th `--<name>-file FILE` is the i-th host's (none at all when
// `optional`: every host is unsigned). One value or variable is refused:
// it could not say which host it is for.
bool ReadSecrets(const Args& args, const SecretSource& source, size_t count, bool optional,
                 std::vector<std::string>& secrets, std::string& error);

// "--<name> VALUE, --<name>-file FILE or <ENV>": for usage messages.
std::string SecretForms(const SecretSource& source);

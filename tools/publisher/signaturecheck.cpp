#include "tools/publisher/signaturecheck.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>

#include "download/certificatetable.h"

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* value) const { Free(value); }
};
using Pkcs7 = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;
using Store = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using StoreContext = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX, X509_STORE_CTX_free>>;
void FreeCertStack(STACK_OF(X509) * stack) { sk_X509_free(stack); }
using CertStack = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), FreeCertStack>>;

// A folder of the check's own, removed with what it holds.
class ScratchFolder {
 public:
  ScratchFolder() {
    char name[] = "/tmp/publisher-signature.XXXXXX";
    if (::mkdtemp(name)) path = name;
  }
  ~ScratchFolder() {
    if (path.empty()) return;
    ::nftw(
        path.c_str(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); }, 8,
        FTW_DEPTH | FTW_PHYS);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  std::string path;
};

// Runs osslsigncode with `arguments`; its exit status (-1 if it did not
// run), and what it wrote, both streams.
int Osslsigncode(std::vector<std::string> arguments, std::string& output) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(pipe_ends[1], 1);
    ::dup2(pipe_ends[1], 2);
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    arguments.insert(arguments.begin(), "osslsigncode");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    std::fputs("osslsigncode could not be started (is it installed?)\n", stderr);
    ::_exit(127);
  }
  ::close(pipe_ends[1]);
  char chunk[4096];
  for (ssize_t got; (got = ::read(pipe_ends[0], chunk, sizeof(chunk))) > 0;) {
    output.append(chunk, static_cast<size_t>(got));
  }
  ::close(pipe_ends[0]);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The lines of osslsigncode's output that say what failed.
std::string Reasons(const std::string& output) {
  std::string reasons;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    const std::string line = output.substr(start, end - start);
    if (line.find("ailed") != std::string::npos || line.find("rror") != std::string::npos ||
        line.find("No signature") != std::string::npos) {
      reasons += "\n  " + line;
    }
    start = end + 1;
  }
  return reasons;
}

std::string Thumbprint(X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(cert, EVP_sha256(), digest, &size) != 1) return "";
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    text += kDigits[digest[i] >> 4];
    text += kDigits[digest[i] & 15];
  }
  return text;
}

std::string Subject(X509* cert) {
  char name[512];
  X509_NAME_oneline(X509_get_subject_name(cert), name, sizeof(name));
  return name;
}

// The program's check of the certificate table: a pinned signer's setup
// holds its signature and nothing besides.
bool TableHolds(const std::string& path, std::string& problem) {
  std::ifstream file(path, std::ios::binary);
  file.seekg(0, std::ios::end);
  const auto size = static_cast<uint64_t>(file.tellg());
  const auto read = [&file](uint64_t offset, void* out, size_t count) {
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(static_cast<char*>(out), static_cast<std::streamsize>(count));
    return static_cast<size_t>(file.gcount()) == count;
  };
  const std::string found = file ? CertificateTable::Problem(size, read) : "it cannot be read";
  if (found.empty()) return true;
  problem = "the certificate table of " + path + " does not hold: " + found;
  return false;
}

}  // namespace

bool SignatureCheck::SetPins(const std::string& text, std::string& error) {
  pins.clear();
  std::string digits;
  for (size_t i = 0; i <= text.size(); ++i) {
    const char c = i < text.size() ? text[i] : ',';
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    } else if (c == ',' || c == ';' || std::isspace(static_cast<unsigned char>(c))) {
      if (digits.empty()) continue;
      if (digits.size() != 64) {
        error = "\"" + digits + "\" is not a SHA-256 thumbprint (64 hexadecimal digits)";
        return false;
      }
      pins.push_back(digits);
      digits.clear();
    } else if (c != ':') {
      error = std::string("a thumbprint holds '") + c + "'";
      return false;
    }
  }
  if (pins.empty()) error = "no thumbprint given";
  return !pins.empty();
}

bool SignatureCheck::Check(const std::string& path, std::string& problem) const {
  std::string output;
  // Windows trusts a timestamp service through the same roots.
  const int verified =
      Osslsigncode({"verify", "-CAfile", roots, "-TSA-CAfile", roots, "-in", path}, output);
  if (verified != 0) {
    problem = "the signature of " + path + " does not hold (osslsigncode verify against " + roots +
              ")" + Reasons(output);
    return false;
  }
  ScratchFolder scratch;
  const std::string signature_file = scratch.path + "/signature.der";
  output.clear();
  if (scratch.path.empty() ||
      Osslsigncode({"extract-signature", "-in", path, "-out", signature_file}, output) != 0) {
    problem = "the signature of " + path + " could not be read" + Reasons(output);
    return false;
  }
  std::ifstream in(signature_file, std::ios::binary);
  const std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.data());
  Pkcs7 signature(d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size())));
  CertStack signers(signature && PKCS7_type_is_signed(signature.get())
                        ? PKCS7_get0_signers(signature.get(), nullptr, 0)
                        : nullptr);
  if (!signers || sk_X509_num(signers.get()) < 1) {
    problem = "the signature of " + path + " names no signing certificate";
    return false;
  }
  X509* signer = sk_X509_value(signers.get(), 0);
  // The validity at the right time was osslsigncode's check; here the chain
  // is only wanted for its certificates.
  Store store(X509_STORE_new());
  StoreContext context(X509_STORE_CTX_new());
  if (!store || !context || X509_STORE_load_file(store.get(), roots.c_str()) != 1 ||
      X509_STORE_CTX_init(context.get(), store.get(), signer, signature->d.sign->cert) != 1) {
    problem = "the trusted roots " + roots + " could not be read";
    return false;
  }
  X509_VERIFY_PARAM_set_flags(X509_STORE_CTX_get0_param(context.get()), X509_V_FLAG_NO_CHECK_TIME);
  if (X509_verify_cert(context.get()) != 1) {
    problem = "the signer of " + path + " (" + Subject(signer) + ") has no chain to a trusted root";
    return false;
  }
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get());
  for (int i = 0; i < sk_X509_num(chain); ++i) {
    const std::string thumbprint = Thumbprint(sk_X509_value(chain, i));
    for (const std::string& pin : pins) {
      if (pin == thumbprint) return TableHolds(path, problem);
    }
  }
  problem = "the signer of " + path + " (" + Subject(signer) + ", SHA-256 " + Thumbprint(signer) +
            ") is not pinned: no certificate of its chain has one of the given thumbprints";
  return false;
}

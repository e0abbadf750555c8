// The maker's publisher: turns a release folder into what the download host
// must hold, checks it, signs access to it and uploads it to blob storage.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/publisher/args.h"
#include "tools/publisher/fileio.h"
#include "tools/publisher/http.h"
#include "tools/publisher/nginx.h"
#include "tools/publisher/publish.h"
#include "tools/publisher/sas.h"
#include "tools/publisher/upload.h"
#include "tools/publisher/verify.h"

namespace {

constexpr int kUsage = 2;

const char kOverview[] =
    "usage: publisher <command> [options]   (publisher <command> --help for more)\n"
    "  publish  cut a release into the part objects and CRC info the host serves\n"
    "  verify   check a published folder, or a live host, against its CRC info\n"
    "  sas      make the read signature the program is built with, or a write signature\n"
    "  upload   put a published folder into blob storage\n"
    "  nginx-conf  an nginx server block serving a published folder with signatures\n"
    "  nginx-sig   the signature for that server that the program is built with\n";

const char kPublishHelp[] =
    "usage: publisher publish --release NAME --subdir FOLDER --out DIR [--no-setup]\n"
    "                         [--setup-signers PINS [--trusted-roots PEM]]\n"
    "                         (--from SRCDIR | FILE...)\n"
    "Writes into DIR, the host's document root, the release's part objects\n"
    "(FOLDER/<k>_<file name>, 10,000,000 bytes each) and, last, its CRC info\n"
    "FOLDER/NAME.txt. FOLDER is written in lower case, as the program requests it.\n"
    "A NAME holding \"2_5\" has the old layout: everything lies at DIR's top.\n"
    "  --from SRCDIR  every file directly inside SRCDIR (else the FILEs listed)\n"
    "  --no-setup     accept a release without a setup program (.exe)\n"
    "  --setup-signers PINS  the SHA-256 thumbprints the program is built with\n"
    "                 (VELTRA_SETUP_SIGNERS): the setup's signature must hold, its\n"
    "                 chain reach a trusted root and hold one of them\n"
    "  --trusted-roots PEM   the roots that check trusts (default: the system's)\n"
    "DIR must be empty, missing, or hold this same release (it is then replaced).\n"
    "Refused, with nothing written: names the program rejects, files of 4 GiB\n"
    "or more, an empty release, no .exe without --no-setup, a DIR holding\n"
    "anything else.\n";

const char kVerifyHelp[] =
    "usage: publisher verify --release NAME --subdir FOLDER --dir DIR\n"
    "       publisher verify --release NAME --subdir FOLDER --url BASE --sas SAS [--cacert FILE]\n"
    "Checks that every part the CRC info lists is there with its size and CRC-32:\n"
    "in a published folder DIR, or on a live host, fetching BASE + each object\n"
    "path the program requests + SAS (each must answer 200). Prints each\n"
    "difference; exit status 1 if there is any. The SAS is never printed.\n";

const char kSasHelp[] =
    "usage: publisher sas --account NAME --key KEY --container NAME --expiry DATE\n"
    "                     [--start DATE] [--write]\n"
    "Prints a shared access signature, signed with the storage account's KEY\n"
    "(base64), valid until DATE (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ, UTC):\n"
    "  default  read-only, for the container only: build the program with it\n"
    "           (-DVELTRA_SAS='<printed value>')\n"
    "  --write  read, write and create in the account's blob service, for upload\n"
    "           (it may create the container); keep it to yourself\n";

const char kUploadHelp[] =
    "usage: publisher upload --dir DIR --url BASE --sas SAS [--jobs N] [--cacert FILE]\n"
    "Puts every file of the published folder DIR at BASE/<its path in DIR> with\n"
    "Put Blob (the first folder is the container, made if missing), N at a time\n"
    "(default 4), retrying answers 5xx and broken connections. Objects already\n"
    "there with the same size and MD5 are skipped. Parts go first; the CRC info\n"
    "goes last and only when every part is there. SAS: publisher sas --write.\n";

const char kNginxConfHelp[] =
    "usage: publisher nginx-conf --root DIR --server-name HOST --cert FILE --key FILE\n"
    "                            --secret SECRET [--listen ADDRESS:PORT] [--out FILE]\n"
    "Writes an nginx server block (to FILE, else stdout) that serves the published\n"
    "folder DIR over HTTPS (port 443 unless --listen says otherwise), uncompressed,\n"
    "each object only with a valid, unexpired signature from nginx-sig (403\n"
    "otherwise). Include it in the http block of your nginx configuration.\n"
    "SECRET: at least 16 letters, digits, '-' or '_'; keep it to yourself.\n";

const char kNginxSigHelp[] =
    "usage: publisher nginx-sig --release NAME --subdir FOLDER --secret SECRET --expiry DATE\n"
    "Prints the signature (?se=...&sig=...) that nginx-conf's server accepts for\n"
    "every object of the release until DATE (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ,\n"
    "UTC): build the program with it (-DVELTRA_SAS='<printed value>').\n";

int Usage(const char* help, const std::string& error) {
  std::fprintf(stderr, "publisher: %s\n%s", error.c_str(), help);
  return kUsage;
}

bool Parse(const std::vector<std::string>& words, const std::set<std::string>& valued,
           const std::set<std::string>& flags, Args& args, std::string& error) {
  std::set<std::string> all_flags = flags;
  all_flags.insert("help");
  return args.Parse(words, valued, all_flags, error);
}

int RunPublish(const std::vector<std::string>& words) {
  Args args;
  std::string error;
  if (!Parse(words, {"release", "subdir", "out", "from", "setup-signers", "trusted-roots"},
             {"no-setup"}, args, error)) {
    return Usage(kPublishHelp, error);
  }
  if (args.Has("help")) return std::fputs(kPublishHelp, stdout), 0;
  if (!args.Has("release") || !args.Has("out"))
    return Usage(kPublishHelp, "--release and --out are needed");
  if (args.Has("from") == !args.Plain().empty()) {
    return Usage(kPublishHelp, "give either --from SRCDIR or a list of files");
  }
  PublishOptions options;
  options.release = args.Get("release");
  options.subdir = args.Get("subdir");
  options.out = args.Get("out");
  options.from = args.Get("from");
  options.files = args.Plain();
  options.no_setup = args.Has("no-setup");
  options.setup_signers = args.Get("setup-signers");
  options.trusted_roots = args.Get("trusted-roots");
  return Publish(options);
}

int RunVerify(const std::vector<std::string>& words) {
  Args args;
  std::string error;
  if (!Parse(words, {"release", "subdir", "dir", "url", "sas", "cacert"}, {}, args, error)) {
    return Usage(kVerifyHelp, error);
  }
  if (args.Has("help")) return std::fputs(kVerifyHelp, stdout), 0;
  if (!args.Has("release") || args.Has("dir") == args.Has("url") || !args.Plain().empty()) {
    return Usage(kVerifyHelp, "--release and one of --dir or --url are needed");
  }
  const CurlGlobal curl;
  if (!args.Has("subdir") && args.Get("release").find("2_5") == std::string::npos) {
    return Usage(kVerifyHelp, "--subdir is needed (only a \"2_5\" release has none)");
  }
  VerifyOptions options;
  options.release = args.Get("release");
  options.subdir = args.Get("subdir");
  options.dir = args.Get("dir");
  options.url = args.Get("url");
  options.sas = args.Get("sas");
  options.ca_file = args.Get("cacert");
  return Verify(options);
}

int RunSas(const std::vector<std::string>& words) {
  Args args;
  std::string error;
  if (!Parse(words, {"account", "key", "container", "expiry", "start"}, {"write"}, args, error)) {
    return Usage(kSasHelp, error);
  }
  if (args.Has("help")) return std::fputs(kSasHelp, stdout), 0;
  if (!args.Has("account") || !args.Has("key") || !args.Has("expiry") ||
      (!args.Has("container") && !args.Has("write")) || !args.Plain().empty()) {
    return Usage(kSasHelp, "--account, --key, --container and --expiry are needed");
  }
  SasRequest request{args.Get("account"), args.Get("key"), args.Get("container"), args.Get("start"),
                     args.Get("expiry")};
  std::string sas;
  const bool made =
      args.Has("write") ? MakeWriteSas(request, sas, error) : MakeReadSas(request, sas, error);
  if (!made) {
    std::fprintf(stderr, "sas: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", sas.c_str());
  return 0;
}

int RunUpload(const std::vector<std::string>& words) {
  Args args;
  std::string error;
  if (!Parse(words, {"dir", "url", "sas", "jobs", "cacert"}, {}, args, error)) {
    return Usage(kUploadHelp, error);
  }
  if (args.Has("help")) return std::fputs(kUploadHelp, stdout), 0;
  if (!args.Has("dir") || !args.Has("url") || !args.Has("sas") || !args.Plain().empty()) {
    return Usage(kUploadHelp, "--dir, --url and --sas are needed");
  }
  const CurlGlobal curl;
  UploadOptions options;
  options.dir = args.Get("dir");
  options.url = args.Get("url");
  options.sas = args.Get("sas");
  options.ca_file = args.Get("cacert");
  const int jobs = std::atoi(args.Get("jobs", "4").c_str());
  if (jobs < 1 || jobs > 64) return Usage(kUploadHelp, "--jobs takes 1 to 64");
  options.jobs = jobs;
  return Upload(options);
}

int RunNginxConf(const std::vector<std::string>& words) {
  Args args;
  std::string error;
  if (!Parse(words, {"root", "server-name", "cert", "key", "secret", "listen", "out"}, {}, args,
             error)) {
    return Usage(kNginxConfHelp, error);
  }
  if (args.Has("help")) return std::fputs(kNginxConfHelp, stdout), 0;
  if (!args.Has("root") || !args.Has("server-name") || !args.Has("cert") || !args.Has("key") ||
      !args.Has("secret") || !args.Plain().empty()) {
    return Usage(kNginxConfHelp, "--root, --server-name, --cert, --key and --secret are needed");
  }
  const NginxSite site{args.Get("root"), args.Get("server-name"), args.Get("listen", "443"),
                       args.Get("cert"), args.Get("key"),         args.Get("secret")};
  std::string block;
  if (!MakeNginxServerBlock(site, block, error)) {
    std::fprintf(stderr, "nginx-conf: %s\n", error.c_str());
    return 1;
  }
  if (!args.Has("out")) return std::fputs(block.c_str(), stdout), 0;
  if (!FileIo::WriteFileAtomically(args.Get("out"), block.data(), block.size(), error)) {
    std::fprintf(stderr, "nginx-conf: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

int RunNginxSig(const std::vector<std::string>& words) {
  Args args;
  std::string error;
  if (!Parse(words, {"release", "subdir", "secret", "expiry"}, {}, args, error)) {
    return Usage(kNginxSigHelp, error);
  }
  if (args.Has("help")) return std::fputs(kNginxSigHelp, stdout), 0;
  if (!args.Has("release") || !args.Has("secret") || !args.Has("expiry") || !args.Plain().empty()) {
    return Usage(kNginxSigHelp, "--release, --secret and --expiry are needed");
  }
  const NginxRequest request{args.Get("release"), args.Get("subdir"), args.Get("secret"),
                             args.Get("expiry")};
  std::string sas;
  if (!MakeNginxSignature(request, sas, error)) {
    std::fprintf(stderr, "nginx-sig: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", sas.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage(kOverview, "no command");
  const std::string command = argv[1];
  const std::vector<std::string> words(argv + 2, argv + argc);
  if (command == "publish") return RunPublish(words);
  if (command == "verify") return RunVerify(words);
  if (command == "sas") return RunSas(words);
  if (command == "upload") return RunUpload(words);
  if (command == "nginx-conf") return RunNginxConf(words);
  if (command == "nginx-sig") return RunNginxSig(words);
  if (command == "--help" || command == "help") return std::fputs(kOverview, stdout), 0;
  return Usage(kOverview, "unknown command " + command);
}

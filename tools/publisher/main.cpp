// The maker's publisher: turns a release folder into what the download host
// must hold, checks it, signs access to it and uploads it to blob storage.

#include <cstdio>
#include <string>
#include <vector>

#include "tools/publisher/args.h"
#include "tools/publisher/fileio.h"
#include "tools/publisher/http.h"
#include "tools/publisher/nginx.h"
#include "tools/publisher/publish.h"
#include "tools/publisher/sas.h"
#include "tools/publisher/secret.h"
#include "tools/publisher/upload.h"
#include "tools/publisher/verify.h"

namespace {

const char kOverview[] =
    "usage: publisher <command> [options]   (publisher <command> --help for more)\n"
    "  publish     cut a release into the part objects and CRC info the host serves\n"
    "  verify      check a published folder, or live hosts, against the CRC info\n"
    "  sas         make the read signature the program is built with, or a write signature\n"
    "  container   create a blob container for a release\n"
    "  upload      put a published folder into blob storage, on one host or several\n"
    "  nginx-conf  an nginx server block serving a published folder with signatures\n"
    "  nginx-sig   the signature for that server that the program is built with\n"
    "Secrets (the account KEY, a SAS, the nginx SECRET) are read from a file that\n"
    "only you may read (--key-file FILE, --sas-file FILE, --secret-file FILE; \"-\"\n"
    "is standard input) or from VELTRA_ACCOUNT_KEY, VELTRA_SAS, VELTRA_NGINX_SECRET.\n"
    "--key, --sas and --secret VALUE still work, with a warning: every user of the\n"
    "machine sees a command line.\n";

const CommandSyntax kPublish{
    "publish",
    "usage: publisher publish --release NAME --subdir FOLDER --out DIR [--no-setup] [--replace]\n"
    "                         [--setup-signers PINS [--trusted-roots PEM]]\n"
    "                         (--from SRCDIR | FILE...)\n"
    "Writes into DIR, the host's document root, the release's part objects\n"
    "(FOLDER/<k>_<file name>, 10,000,000 bytes each) and its CRC info\n"
    "FOLDER/NAME.txt. FOLDER is written in lower case, as the program requests it.\n"
    "A NAME holding \"2_5\" has the old layout: everything lies at DIR's top.\n"
    "The release is made whole beside FOLDER, then switched into its place at once.\n"
    "  --from SRCDIR  every file directly inside SRCDIR (else the FILEs listed)\n"
    "  --no-setup     accept a release without a setup program (.exe)\n"
    "  --replace      DIR holds this release already: replace it (a release that\n"
    "                 users may be downloading is otherwise never changed)\n"
    "  --setup-signers PINS  the SHA-256 thumbprints the program is built with\n"
    "                 (VELTRA_SETUP_SIGNERS): the setup's signature must hold, its\n"
    "                 chain reach a trusted root and hold one of them\n"
    "  --trusted-roots PEM   the roots that check trusts (default: the system's)\n"
    "Refused, with nothing written: names the program rejects, links, empty files,\n"
    "files of 4 GiB or more, an empty release, no .exe without --no-setup, a DIR\n"
    "holding anything else, this release without --replace.\n",
    {"release", "subdir", "out", "from", "setup-signers", "trusted-roots"},
    {"no-setup", "replace"}};

const CommandSyntax kVerify{
    "verify",
    "usage: publisher verify --release NAME --subdir FOLDER --dir DIR\n"
    "       publisher verify --release NAME --subdir FOLDER --url https://HOST\n"
    "                        [--sas-file FILE] [--cacert FILE] [--plain-http-loopback]\n"
    "       publisher verify --release NAME --subdir FOLDER --dir DIR\n"
    "                        --url https://HOST1 [--sas-file FILE1] --url https://HOST2\n"
    "                        [--sas-file FILE2] ... [--cacert FILE] [--plain-http-loopback]\n"
    "Checks that every part the CRC info lists is there with its size and CRC-32:\n"
    "in a published folder DIR, or on a live host, fetching BASE + each object\n"
    "path the program requests + the read signature (each must answer 200). Prints\n"
    "each difference; exit status 1 if there is any. The signature is never printed.\n"
    "With DIR and hosts (a blob container's service with its SAS, an nginx with its\n"
    "nginx-sig signature; each --url with its own --sas-file, in order), every host\n"
    "is checked against DIR's CRC info, and each line names its host.\n"
    "  --plain-http-loopback  allow http:// to a loopback test host\n",
    {"release", "subdir", "dir", "url", "sas", "sas-file", "cacert"},
    {"plain-http-loopback"}};

const CommandSyntax kSas{
    "sas",
    "usage: publisher sas --account NAME --key-file FILE --container NAME --expiry DATE\n"
    "                     [--start DATE]\n"
    "       publisher sas --account NAME --key-file FILE --container NAME --write\n"
    "                     [--expiry DATE] [--start DATE]\n"
    "Prints a shared access signature for one container, signed with the storage\n"
    "account's key (base64), valid until DATE (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ, UTC):\n"
    "  default  read-only: build the program with it (-DVELTRA_SAS='<printed value>')\n"
    "  --write  read, create, write, delete and list the container's blobs, for\n"
    "           upload;\n"
    "           valid 8 hours unless --expiry says otherwise (7 days at most);\n"
    "           keep it to yourself\n",
    {"account", "key", "key-file", "container", "expiry", "start"},
    {"write"}};

const CommandSyntax kContainer{
    "container",
    "usage: publisher container --account NAME --key-file FILE --container NAME\n"
    "                           --url https://HOST [--cacert FILE] [--plain-http-loopback]\n"
    "Creates the blob container NAME (nothing happens if it exists), with a\n"
    "signature of the account key that allows only that and lives minutes: a\n"
    "write signature (sas --write) covers one container and cannot create it.\n",
    {"account", "key", "key-file", "container", "url", "cacert"},
    {"plain-http-loopback"}};

const CommandSyntax kUpload{
    "upload",
    "usage: publisher upload --dir DIR --url https://HOST [--sas-file FILE] [--jobs N]\n"
    "                        [--replace] [--cacert FILE] [--plain-http-loopback]\n"
    "       publisher upload --dir DIR --url https://HOST1 --sas-file FILE1\n"
    "                        --url https://HOST2 --sas-file FILE2 ... [options as above]\n"
    "Puts every release of the published folder DIR at HOST/<its path in DIR> with\n"
    "Put Blob (the first folder is the container, which must exist), N at a time\n"
    "(default 4), retrying answers 5xx and broken connections. Objects already\n"
    "there with the same size and MD5 are skipped. A release whose CRC info is\n"
    "live on the host is never changed under its users: a part object holding\n"
    "other bytes than the live CRC info names is not overwritten, and nothing is\n"
    "uploaded (publish under a new release name). The CRC info goes last, and only\n"
    "when every part it names is on the host with its size and MD5.\n"
    "  --replace  replace the live release of the same name: its CRC info is taken\n"
    "             down first, so users see that the version can no longer be\n"
    "             downloaded until the upload puts the new one up. A part object\n"
    "             that another live release of the container names is never\n"
    "             rewritten: the upload is refused, naming that release\n"
    "Several destinations (each --url with its own --sas-file, in order): nothing\n"
    "goes anywhere unless each may take the release; then the parts go to every\n"
    "one, the CRC info last to each that holds them all, and the last lines say\n"
    "which destinations are complete (exit status 1 unless all are).\n"
    "The write signature: publisher sas --write.\n",
    {"dir", "url", "sas", "sas-file", "jobs", "cacert"},
    {"replace", "plain-http-loopback"}};

const CommandSyntax kNginxConf{
    "nginx-conf",
    "usage: publisher nginx-conf --root DIR --server-name HOST --cert FILE --key FILE\n"
    "                            --secret-file FILE [--listen ADDRESS:PORT] [--out FILE]\n"
    "Writes an nginx server block (to FILE, readable by you alone, else stdout) that\n"
    "serves the published folder DIR over HTTPS (port 443 unless --listen says\n"
    "otherwise), uncompressed, each object only with a valid, unexpired signature\n"
    "from nginx-sig (403 otherwise). Include it in the http block of your nginx\n"
    "configuration. --key is the TLS key's file.\n"
    "SECRET: at least 16 letters, digits, '-' or '_'; keep it to yourself.\n",
    {"root", "server-name", "cert", "key", "secret", "secret-file", "listen", "out"},
    {}};

const CommandSyntax kNginxSig{
    "nginx-sig",
    "usage: publisher nginx-sig --release NAME --subdir FOLDER --secret-file FILE --expiry DATE\n"
    "Prints the signature (?se=...&sig=...) that nginx-conf's server accepts for\n"
    "every object of the release until DATE (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ,\n"
    "UTC): build the program with it (-DVELTRA_SAS='<printed value>').\n",
    {"release", "subdir", "secret", "secret-file", "expiry"},
    {}};

int Fail(const char* command, const std::string& error) {
  std::fprintf(stderr, "%s: %s\n", command, error.c_str());
  return 1;
}

// Each command's work once its options are parsed; usage errors go through
// UsageError with the command's syntax.
int RunPublish(const Args& args) {
  const std::string missing = args.Missing({"release", "out"});
  if (!missing.empty()) return UsageError(kPublish, "--" + missing + " is needed");
  if (args.Has("from") == !args.Plain().empty()) {
    return UsageError(kPublish, "give either --from SRCDIR or a list of files");
  }
  PublishOptions options;
  options.release = args.Get("release");
  options.subdir = args.Get("subdir");
  options.out = args.Get("out");
  options.from = args.Get("from");
  options.files = args.Plain();
  options.no_setup = args.Has("no-setup");
  options.replace = args.Has("replace");
  options.setup_signers = args.Get("setup-signers");
  options.trusted_roots = args.Get("trusted-roots");
  return Publish(options);
}

int RunVerify(const Args& args) {
  const std::vector<std::string> urls = args.All("url");
  if (!args.Has("release") || (!args.Has("dir") && urls.empty()) || !args.Plain().empty()) {
    return UsageError(kVerify, "--release and --dir, --url or both are needed");
  }
  if (urls.size() > 1 && !args.Has("dir")) {
    return UsageError(kVerify, "several hosts are checked against the published folder: --dir");
  }
  if (!args.Has("subdir") && args.Get("release").find("2_5") == std::string::npos) {
    return UsageError(kVerify, "--subdir is needed (only a \"2_5\" release has none)");
  }
  VerifyOptions options;
  std::string error;
  std::vector<std::string> signatures;
  if (!urls.empty() && !ReadSecrets(args, kSignature, urls.size(), true, signatures, error)) {
    return Fail("verify", error);
  }
  for (size_t i = 0; i < urls.size(); ++i) options.hosts.push_back({urls[i], signatures[i]});
  const CurlGlobal curl;
  options.release = args.Get("release");
  options.subdir = args.Get("subdir");
  options.dir = args.Get("dir");
  options.ca_file = args.Get("cacert");
  options.plain_http_loopback = args.Has("plain-http-loopback");
  return Verify(options);
}

int RunSas(const Args& args) {
  const bool write = args.Has("write");
  const std::string missing =
      args.Missing(write ? std::vector<std::string>{"account", "container"}
                         : std::vector<std::string>{"account", "container", "expiry"});
  if (!missing.empty() || !args.Plain().empty()) {
    return UsageError(
        kSas, missing.empty() ? "unexpected " + args.Plain()[0] : "--" + missing + " is needed");
  }
  SasRequest request{args.Get("account"), "", args.Get("container"), args.Get("start"),
                     args.Get("expiry")};
  std::string error;
  if (!ReadSecret(args, kAccountKey, false, request.key, error)) return Fail("sas", error);
  std::string sas;
  if (!(write ? MakeWriteSas(request, sas, error) : MakeReadSas(request, sas, error))) {
    return Fail("sas", error);
  }
  std::printf("%s\n", sas.c_str());
  return 0;
}

int RunContainer(const Args& args) {
  const std::string missing = args.Missing({"account", "container", "url"});
  if (!missing.empty()) return UsageError(kContainer, "--" + missing + " is needed");
  const bool plain_http = args.Has("plain-http-loopback");
  SasRequest request{args.Get("account"), "", args.Get("container"), "", ""};
  std::string error;
  std::string sas;
  if (!CheckHostUrl(args.Get("url"), plain_http, error) ||
      !ReadSecret(args, kAccountKey, false, request.key, error) ||
      !MakeContainerCreateSas(request, sas, error)) {
    return Fail("container", error);
  }
  const CurlGlobal curl;
  HttpClient client(args.Get("cacert"), plain_http);
  HttpClient::Response response;
  client.Put(
      ObjectUrl(args.Get("url"), request.container, "") + "?restype=container&" + sas.substr(1),
      {std::string("x-ms-version: ") + kSasVersion}, "", 0, response);
  if (response.failure.empty() && (response.status == 201 || response.status == 409)) {
    std::fprintf(stderr, "container: %s %s\n", request.container.c_str(),
                 response.status == 201 ? "created" : "is there already");
    return 0;
  }
  return Fail("container",
              request.container + ": " +
                  (response.failure.empty() ? "answered " + std::to_string(response.status)
                                            : "no answer: " + response.failure));
}

int RunUpload(const Args& args) {
  const std::string missing = args.Missing({"dir", "url"});
  if (!missing.empty() || !args.Plain().empty()) {
    return UsageError(kUpload, "--dir and --url are needed");
  }
  UploadOptions options;
  std::string error;
  long jobs = 0;
  if (!args.Number("jobs", 4, 1, 64, jobs, error)) return UsageError(kUpload, error);
  const std::vector<std::string> urls = args.All("url");
  std::vector<std::string> signatures;
  if (!ReadSecrets(args, kSignature, urls.size(), false, signatures, error)) {
    return Fail("upload", error);
  }
  for (size_t i = 0; i < urls.size(); ++i) options.destinations.push_back({urls[i], signatures[i]});
  const CurlGlobal curl;
  options.dir = args.Get("dir");
  options.ca_file = args.Get("cacert");
  options.jobs = static_cast<int>(jobs);
  options.replace = args.Has("replace");
  options.plain_http_loopback = args.Has("plain-http-loopback");
  return Upload(options);
}

int RunNginxConf(const Args& args) {
  const std::string missing = args.Missing({"root", "server-name", "cert", "key"});
  if (!missing.empty() || !args.Plain().empty()) {
    return UsageError(kNginxConf, "--root, --server-name, --cert and --key are needed");
  }
  NginxSite site{args.Get("root"), args.Get("server-name"), args.Get("listen", "443"),
                 args.Get("cert"), args.Get("key"),         ""};
  std::string error;
  std::string block;
  if (!ReadSecret(args, kNginxSecret, false, site.secret, error) ||
      !MakeNginxServerBlock(site, block, error)) {
    return Fail("nginx-conf", error);
  }
  if (!args.Has("out")) return std::fputs(block.c_str(), stdout), 0;
  // It holds the secret: for its owner's eyes (and nginx's master) only.
  if (!FileIo::WriteFileAtomically(args.Get("out"), block.data(), block.size(), 0600, error)) {
    return Fail("nginx-conf", error);
  }
  return 0;
}

int RunNginxSig(const Args& args) {
  const std::string missing = args.Missing({"release", "expiry"});
  if (!missing.empty() || !args.Plain().empty()) {
    return UsageError(kNginxSig, "--release and --expiry are needed");
  }
  NginxRequest request{args.Get("release"), args.Get("subdir"), "", args.Get("expiry")};
  std::string error;
  std::string sas;
  if (!ReadSecret(args, kNginxSecret, false, request.secret, error) ||
      !MakeNginxSignature(request, sas, error)) {
    return Fail("nginx-sig", error);
  }
  std::printf("%s\n", sas.c_str());
  return 0;
}

struct Command {
  const CommandSyntax* syntax;
  int (*run)(const Args&);
};

const Command kCommands[] = {{&kPublish, RunPublish},  {&kVerify, RunVerify},
                             {&kSas, RunSas},          {&kContainer, RunContainer},
                             {&kUpload, RunUpload},    {&kNginxConf, RunNginxConf},
                             {&kNginxSig, RunNginxSig}};

}  // namespace

int main(int argc, char** argv) {
  const CommandSyntax overview{"", kOverview, {}, {}};
  if (argc < 2) return UsageError(overview, "no command");
  const std::string name = argv[1];
  if (name == "--help" || name == "help") return std::fputs(kOverview, stdout), 0;
  for (const Command& command : kCommands) {
    if (name != command.syntax->name) continue;
    Args args;
    std::string error;
    if (!args.Parse(*command.syntax, std::vector<std::string>(argv + 2, argv + argc), error)) {
      return UsageError(*command.syntax, error);
    }
    if (args.Has("help")) return std::fputs(command.syntax->help, stdout), 0;
    return command.run(args);
  }
  return UsageError(overview, "unknown command " + name);
}

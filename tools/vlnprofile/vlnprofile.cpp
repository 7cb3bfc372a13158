// vlnprofile: checks a session profile file with the service's own reader.
//
//   vlnprofile FILE             summary and failure reason; exit 0 when valid
//   vlnprofile --decrypt FILE   also "NAME = VALUE" for every enc_ element
//   vlnprofile --encrypt [TEXT] the enc_ form of TEXT, or of standard input
//                               (one line, its line end dropped) without TEXT
//
// The service's log lines (the summary at debug level) go to standard error;
// the verdict and the decrypted values go to standard output.
#include <apr_general.h>
#include <apr_pools.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "keva/log.h"
#include "keva/misc.h"
#include "keva/profile.h"

namespace {

const char* const kEncNames[] = {"enc_password", "enc_pin", "enc_proxyPassword"};

const char kUsage[] =
    "usage: vlnprofile [--decrypt] FILE\n"
    "       vlnprofile --encrypt [TEXT]\n"
    "       vlnprofile --help\n"
    "Without TEXT, --encrypt reads the secret from standard input: a secret on\n"
    "the command line is visible to every user in the process list.\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// The parse has already accepted the document, so it is well-formed here.
void print_decrypted(apr_pool_t* pool, const SessionProfile* profile) {
  xmlDocPtr doc = xmlReadMemory(profile->text, (int)profile->text_len, nullptr, nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!doc) return;
  xmlXPathContextPtr xp = xmlXPathNewContext(doc);
  for (const char* name : kEncNames) {
    char path[64];
    std::snprintf(path, sizeof(path), "/profile/%s", name);
    xmlXPathObjectPtr res = xp ? xmlXPathEvalExpression(BAD_CAST path, xp) : nullptr;
    if (res && res->nodesetval && res->nodesetval->nodeNr > 0) {
      xmlChar* s = xmlXPathCastNodeToString(res->nodesetval->nodeTab[0]);
      const char* plain = s ? profile_decrypt(pool, reinterpret_cast<const char*>(s)) : nullptr;
      if (plain) std::printf("%s = %s\n", name, plain);
      xmlFree(s);
    }
    if (res) xmlXPathFreeObject(res);
  }
  if (xp) xmlXPathFreeContext(xp);
  xmlFreeDoc(doc);
}

int check(apr_pool_t* pool, const char* file, bool decrypt) {
  size_t len = 0;
  const char* text = read_whole_file(file, pool, &len);
  if (!text) {
    std::printf("%s: cannot read the profile\n", file);
    return 1;
  }
  SessionProfile* profile = nullptr;
  if (profile_parse(pool, text, len, &profile) != 0) {
    std::printf("%s: invalid profile\n", file);
    return 1;
  }
  std::printf("%s: valid profile (%d server%s)\n", file, profile->servers->count,
              profile->servers->count == 1 ? "" : "s");
  if (decrypt) print_decrypted(pool, profile);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool decrypt = false;
  bool encrypt = false;
  int i = 1;
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (i < argc && std::strcmp(argv[i], "--decrypt") == 0) {
    decrypt = true;
    ++i;
  } else if (i < argc && std::strcmp(argv[i], "--encrypt") == 0) {
    encrypt = true;
    ++i;
  }
  if (argc - i != 1 && !(encrypt && argc == i)) return usage();

  apr_initialize();
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, nullptr);
  log_set_modes(true, true);

  int rc;
  if (encrypt) {
    std::string secret;
    if (i < argc) {
      secret = argv[i];
    } else {
      int c;
      while ((c = std::getchar()) != EOF && c != '\n') secret.push_back(static_cast<char>(c));
      if (!secret.empty() && secret.back() == '\r') secret.pop_back();
    }
    const char* enc = profile_encrypt(pool, secret.c_str());
    OPENSSL_cleanse(secret.data(), secret.size());
    if (enc) std::printf("%s\n", enc);
    rc = enc ? 0 : 1;
  } else {
    rc = check(pool, argv[i], decrypt);
  }
  std::fflush(stdout);
  apr_pool_destroy(pool);
  apr_terminate();
  return rc;
}

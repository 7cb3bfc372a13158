#include "connect_profile.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <memory>

namespace vlngui {

namespace {
struct DocFree {
  void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using Doc = std::unique_ptr<xmlDoc, DocFree>;

bool named(xmlNode* n, const char* name) {
  return n && n->type == XML_ELEMENT_NODE && std::strcmp(reinterpret_cast<const char*>(n->name), name) == 0;
}
}  // namespace

bool connect_profile_text(const std::string& path, std::string* text) {
  // No network, no entity expansion: the file may come from anyone.
  Doc doc(xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  if (!doc || !doc->version || std::strcmp(reinterpret_cast<const char*>(doc->version), "1.0") != 0)
    return false;
  xmlNode* root = xmlDocGetRootElement(doc.get());
  xmlNode* profile = nullptr;
  if (named(root, "profile")) {
    profile = root;
  } else if (named(root, "Velarn")) {
    for (xmlNode* c = root->children; c && !profile; c = c->next)
      if (named(c, "profile")) profile = c;
  }
  if (!profile) return false;
  Doc out(xmlNewDoc(BAD_CAST "1.0"));
  xmlDocSetRootElement(out.get(), xmlDocCopyNode(profile, out.get(), 1));
  xmlChar* mem = nullptr;
  int size = 0;
  xmlDocDumpFormatMemoryEnc(out.get(), &mem, &size, "UTF-8", 0);
  if (!mem) return false;
  text->assign(reinterpret_cast<const char*>(mem), static_cast<size_t>(size));
  xmlFree(mem);
  return true;
}

}  // namespace vlngui

#include "address.h"

#include <apr_strings.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "config.h"
#include "log.h"
#include "platform/addressing.h"
#include "platform/text.h"

struct AddressPlan {
  velarn::AddressingOptions options;
  bool fixed = false;
  velarn::FixedAddress address;
  // Media changes come from the session thread, a stop from the main one.
  std::mutex mutex;
  std::unique_ptr<velarn::AdapterAddressing> addressing;
};

namespace {

const char* const kDnsModes[] = {"auto", "resolved", "resolvconf", "file", "none"};

// The string value of /profile/<name>, trimmed; "" when absent.
std::string profile_value(xmlXPathContextPtr ctx, const char* name) {
  std::string path = std::string("string(/profile/") + name + ")";
  xmlXPathObjectPtr v = xmlXPathEval(reinterpret_cast<const xmlChar*>(path.c_str()), ctx);
  std::string out;
  if (v && v->type == XPATH_STRING && v->stringval) out = reinterpret_cast<const char*>(v->stringval);
  xmlXPathFreeObject(v);
  return velarn::trim(out);
}

apr_status_t plan_cleanup(void* data) {
  delete static_cast<AddressPlan*>(data);
  return APR_SUCCESS;
}

void forward_log(int level, const std::string& text) {
  switch (level) {
    case 1: log_error("%s", text.c_str()); break;
    case 2: log_warning("%s", text.c_str()); break;
    case 4: log_info("%s", text.c_str()); break;
    default: log_debug("%s", text.c_str()); break;
  }
}

}  // namespace

AddressPlan* address_plan(apr_pool_t* pool, const char* text, size_t len) {
  if (config_get_int("address.auto", 1) == 0) return nullptr;
  auto* plan = new (std::nothrow) AddressPlan();
  if (!plan) return nullptr;
  apr_pool_cleanup_register(pool, plan, plan_cleanup, apr_pool_cleanup_null);

  const char* dns = config_get_string("address.dns", "auto");
  plan->options.dns = "none";
  for (const char* m : kDnsModes)
    if (std::strcmp(dns, m) == 0) plan->options.dns = m;
  if (plan->options.dns != dns)
    log_warning("kevad.ini: [address] dns = %s is unknown: DNS servers are only logged", dns);
  plan->options.default_route = config_get_int("address.default_route", 0) != 0;
  plan->options.route_metric = static_cast<unsigned>(config_get_int("address.route_metric", 0));
  plan->options.log = forward_log;

  // The profile has been parsed already; a document that will not parse
  // here simply has no fixed address.
  xmlDocPtr doc = xmlReadMemory(text, static_cast<int>(len), "profile", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!doc) return plan;
  if (xmlXPathContextPtr ctx = xmlXPathNewContext(doc)) {
    std::string ip = profile_value(ctx, "ip");
    if (!ip.empty() && ip != "0.0.0.0") {
      plan->fixed = true;
      plan->address.address = ip;
      plan->address.mask = profile_value(ctx, "subnetmask");
      // The settings dialog shows this mask for any address it is given.
      if (plan->address.mask.empty()) plan->address.mask = "255.255.255.0";
      plan->address.gateway = profile_value(ctx, "gateway");
      if (plan->address.gateway == "0.0.0.0") plan->address.gateway.clear();
    }
    xmlXPathFreeContext(ctx);
  }
  xmlFreeDoc(doc);
  if (plan->fixed) {
    std::string why = velarn::check_fixed_address(plan->address);
    if (!why.empty()) {
      log_error("profile: %s: the adapter gets no address", why.c_str());
      return nullptr;
    }
  }
  return plan;
}

void address_up(AddressPlan* plan, const char* instance_id) {
  if (!plan) return;
  std::lock_guard<std::mutex> lock(plan->mutex);
  if (!plan->addressing) plan->addressing = velarn::make_adapter_addressing(instance_id, plan->options);
  plan->addressing->start(plan->fixed ? &plan->address : nullptr);
}

void address_down(AddressPlan* plan) {
  if (!plan) return;
  std::lock_guard<std::mutex> lock(plan->mutex);
  if (plan->addressing) plan->addressing->stop();
}

// The learning switch; its rules are in switch.h.
#include "switch.h"

#include "log.h"

namespace ks {

namespace {
// Per-frame destinations besides a slot number.
constexpr int16_t TO_NONE = -2;  // dropped: runt, or to an address behind its own port
constexpr int16_t TO_ALL = -1;   // flooded: group or unknown destination

uint64_t mac_key(const uint8_t* p) {
  return uint64_t(p[0]) << 40 | uint64_t(p[1]) << 32 | uint64_t(p[2]) << 24 | uint64_t(p[3]) << 16 |
         uint64_t(p[4]) << 8 | uint64_t(p[5]);
}
// Broadcast and multicast; never learnt as a source.
bool is_group(const uint8_t* mac) { return mac[0] & 1; }
}  // namespace

// Room for a typical network up front, so that learning rarely rehashes under
// the exclusive lock.
Switch::Switch() { table_.reserve(1024); }

bool Switch::attach(Port* p) {
  std::unique_lock<std::shared_mutex> lock(mu_);
  // The lowest free slot, so that top_ and the forwarding scan stay short.
  for (int i = 0; i < MAX_PORTS; ++i) {
    if (!ports_[i]) {
      ports_[i] = p;
      p->slot = i;
      if (i >= top_) top_ = i + 1;
      return true;
    }
  }
  return false;
}

void Switch::detach(Port* p) {
  std::unique_lock<std::shared_mutex> lock(mu_);
  if (p->slot < 0 || ports_[p->slot] != p) return;
  // Forget the addresses behind the port so that their frames flood until
  // they are seen again elsewhere.
  for (auto it = table_.begin(); it != table_.end();) {
    if (it->second == p->slot)
      it = table_.erase(it);
    else
      ++it;
  }
  ports_[p->slot] = nullptr;
  while (top_ > 0 && !ports_[top_ - 1]) --top_;
  p->slot = -1;
}

bool Switch::lookup(const Port* from, const BatchView& b, int16_t* dest) const {
  bool known = true;
  for (int i = 0; i < b.count; ++i) {
    const uint8_t* f = b.record + b.offset[i] + 2;  // past the frame's length field
    if (b.length[i] < ETH_HEADER) {
      dest[i] = TO_NONE;
      continue;
    }
    const uint8_t* src = f + 6;
    if (known && !is_group(src)) {
      // A new address counts as known once the table is full: learning would
      // change nothing, and asking for it would take the exclusive lock on
      // every batch.
      auto it = table_.find(mac_key(src));
      if (it == table_.end() ? table_.size() < MAX_MACS : it->second != from->slot) known = false;
    }
    if (is_group(f)) {
      dest[i] = TO_ALL;
    } else {
      auto it = table_.find(mac_key(f));
      if (it == table_.end())
        dest[i] = TO_ALL;
      else
        dest[i] = it->second == from->slot ? TO_NONE : static_cast<int16_t>(it->second);
    }
  }
  return known;
}

void Switch::learn(const Port* from, const BatchView& b) {
  for (int i = 0; i < b.count; ++i) {
    if (b.length[i] < ETH_HEADER) continue;
    const uint8_t* src = b.record + b.offset[i] + 2 + 6;
    if (is_group(src)) continue;
    uint64_t key = mac_key(src);
    auto it = table_.find(key);
    if (it == table_.end()) {
      if (table_.size() < MAX_MACS) {
        table_.emplace(key, from->slot);
        logf(LOG_DEBUG, "learned %02x:%02x:%02x:%02x:%02x:%02x on %s", src[0], src[1], src[2], src[3], src[4], src[5],
             from->port_name());
      }
    } else if (it->second != from->slot) {
      it->second = from->slot;
      logf(LOG_DEBUG, "%02x:%02x:%02x:%02x:%02x:%02x moved to %s", src[0], src[1], src[2], src[3], src[4], src[5],
           from->port_name());
    }
  }
}

// The common case (every source known) holds only the shared lock. Learning
// needs the exclusive one, which cannot be had by upgrading: the shared lock
// is let go, and the lookup is done again afterwards because the table and
// the ports may have changed in between.
void Switch::forward(Port* from, const BatchView& b) {
  int16_t dest[MAX_BATCH_FRAMES];  // on the stack: no allocation per batch
  bool sel[MAX_BATCH_FRAMES];
  std::shared_lock<std::shared_mutex> lock(mu_);
  if (!lookup(from, b, dest)) {
    lock.unlock();
    {
      std::unique_lock<std::shared_mutex> ex(mu_);
      learn(from, b);
    }
    lock.lock();
    // The port may have gone while the lock was free.
    if (from->slot < 0 || ports_[from->slot] != from) return;
    // Whatever changed since counts as it is now; no second round of learning.
    lookup(from, b, dest);
  }
  // One delivery per port, with the frames meant for it selected.
  for (int s = 0; s < top_; ++s) {
    Port* p = ports_[s];
    if (!p || p == from) continue;
    int n = 0;
    for (int i = 0; i < b.count; ++i) {
      sel[i] = dest[i] == TO_ALL || dest[i] == s;
      n += sel[i];
    }
    if (n) p->deliver(b, sel, n);
  }
}

}  // namespace ks

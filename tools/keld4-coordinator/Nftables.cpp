// SPDX-License-Identifier: Apache-2.0
#include "Nftables.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <libnftnl/common.h>
#include <libnftnl/gen.h>
#include <libnftnl/rule.h>
#include <libnftnl/set.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <nftables/libnftables.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <unordered_map>
#include <utility>

#include "Errors.h"
#include "Protocol.h"

namespace coord {

namespace {

// Elements in one netlink message: well under the kernel's and libnftnl's
// limits on one message, and few messages in a batch.
constexpr size_t kElementsPerMessage = 512;

// Two rules a service in each of the two chains.
constexpr int kRulesPerService = 4;

// Room for one request, and for one message of a batch: 2 * 512 elements of
// at most 64 bytes each, and the headers.
constexpr size_t kRequestRoom = 8192;
constexpr size_t kMessageRoom = size_t{128} * 1024;

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string Addr(uint32_t a) {
  char s[16];
  FormatAddr(a, s);
  return s;
}

// Every rule of a service carries "NAME VIP:PORT/PROTO" as its comment, so a
// table from an earlier run is known to match the file.
std::string RuleComment(const L4Service& s) {
  return s.name + " " + Addr(s.vip) + ":" + std::to_string(s.port) + (s.udp ? "/udp" : "/tcp");
}

// The comment in a rule's user data (type-length-value, the comment type 0).
std::string CommentOf(const nftnl_rule* r) {
  uint32_t len = 0;
  const auto* p = static_cast<const unsigned char*>(
      nftnl_rule_is_set(r, NFTNL_RULE_USERDATA) ? nftnl_rule_get_data(r, NFTNL_RULE_USERDATA, &len)
                                                : nullptr);
  for (uint32_t at = 0; p != nullptr && at + 2 <= len && at + 2 + p[at + 1] <= len;
       at += 2 + p[at + 1]) {
    if (p[at] == 0 && p[at + 1] > 0) {
      return std::string(reinterpret_cast<const char*>(p + at + 2), p[at + 1] - 1);
    }
  }
  return "";
}

// A map's value: the address and the port as the nat expression loads them
// (network order, the port padded to a register of 4 bytes).
void EncodeServer(const L4Server& v, unsigned char out[8]) {
  uint32_t a = htonl(v.addr);
  uint16_t p = htons(v.port);
  std::memset(out, 0, 8);
  std::memcpy(out, &a, 4);
  std::memcpy(out + 4, &p, 2);
}

void AddElement(nftnl_set* s, uint32_t slot, const unsigned char* data, bool end) {
  nftnl_set_elem* e = nftnl_set_elem_alloc();
  // The rule turns numgen's host-order number to network order before the
  // lookup, so intervals sort as numbers.
  uint32_t key = htonl(slot);
  nftnl_set_elem_set(e, NFTNL_SET_ELEM_KEY, &key, sizeof(key));
  if (end) {
    nftnl_set_elem_set_u32(e, NFTNL_SET_ELEM_FLAGS, NFT_SET_ELEM_INTERVAL_END);
  } else {
    nftnl_set_elem_set(e, NFTNL_SET_ELEM_DATA, data, 8);
  }
  nftnl_set_elem_add(s, e);
}

// Appends one netlink message built by fill to a batch.
void Append(std::vector<char>* batch, const std::function<nlmsghdr*(char*)>& fill) {
  size_t at = batch->size();
  batch->resize(at + kMessageRoom);
  nlmsghdr* nlh = fill(batch->data() + at);
  batch->resize(at + NLMSG_ALIGN(nlh->nlmsg_len));
}

}  // namespace

std::vector<NftInterval> NftIntervals(const std::vector<int>& weights) {
  uint64_t total = 0;
  for (int w : weights) total += static_cast<uint64_t>(std::max(w, 0));
  std::vector<NftInterval> out;
  if (total == 0) return out;
  uint64_t sum = 0;
  uint32_t first = 0;
  for (size_t j = 0; j < weights.size(); ++j) {
    sum += static_cast<uint64_t>(std::max(weights[j], 0));
    auto end = static_cast<uint32_t>(sum * kNftSlots / total);
    if (end > first) out.push_back({first, end - 1, static_cast<int>(j)});
    first = end;
  }
  return out;
}

std::string NftTableText(const std::string& table, const std::vector<L4Service>& services,
                         const std::vector<std::vector<int>>& weights) {
  const std::string mod = " numgen random mod " + std::to_string(kNftSlots);
  std::string t =
      "add table ip " + table + "\ndelete table ip " + table + "\ntable ip " + table + " {\n";
  std::string rules;
  for (size_t i = 0; i < services.size(); ++i) {
    const L4Service& s = services[i];
    const char* proto = s.udp ? "udp" : "tcp";
    t += "  map s" + std::to_string(i) + " {\n    typeof" + mod + " : ip daddr . " + proto +
         " dport\n    flags interval\n";
    std::vector<NftInterval> iv =
        NftIntervals(i < weights.size() ? weights[i] : std::vector<int>{});
    if (!iv.empty()) {
      t += "    elements = { ";
      for (size_t k = 0; k < iv.size(); ++k) {
        const L4Server& v = s.servers[iv[k].server];
        if (k > 0) t += ",\n      ";
        t += std::to_string(iv[k].first) + "-" + std::to_string(iv[k].last) + " : " + Addr(v.addr) +
             " . " + std::to_string(v.port);
      }
      t += " }\n";
    }
    t += "  }\n";
    std::string match =
        "    ip daddr " + Addr(s.vip) + " " + proto + " dport " + std::to_string(s.port);
    std::string comment = " comment \"" + RuleComment(s) + "\"\n";
    rules.append(match).append(" dnat ip to").append(mod).append(" map @s");
    rules.append(std::to_string(i)).append(comment);
    // Only what the map left: every server at weight 0.
    rules.append(match).append(s.udp ? " reject" : " reject with tcp reset").append(comment);
  }
  // prerouting for clients elsewhere, output for clients on this host.
  t += "  chain prerouting {\n    type nat hook prerouting priority dstnat; policy accept;\n" +
       rules + "  }\n";
  t += "  chain output {\n    type nat hook output priority -100; policy accept;\n" + rules +
       "  }\n";
  return t + "}\n";
}

CNftTable::CNftTable(std::string table, std::vector<L4Service> services)
    : table_(std::move(table)), services_(std::move(services)) {}

CNftTable::~CNftTable() {
  if (nft_ != nullptr) nft_ctx_free(nft_);
  if (nl_ != nullptr) mnl_socket_close(nl_);
}

int CNftTable::Open(std::string* err) {
  nft_ = nft_ctx_new(NFT_CTX_DEFAULT);
  if (nft_ == nullptr) {
    *err = "libnftables: cannot make a context";
    return -1;
  }
  nft_ctx_buffer_output(nft_);
  nft_ctx_buffer_error(nft_);
  nl_ = mnl_socket_open(NETLINK_NETFILTER);
  if (nl_ == nullptr || mnl_socket_bind(nl_, 0, MNL_SOCKET_AUTOPID) < 0) {
    *err = std::string("netlink: ") + ErrorText(errno);
    return -1;
  }
  portid_ = mnl_socket_get_portid(nl_);
  int fd = mnl_socket_get_fd(nl_);
  timeval tv{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  // Errors without a copy of the (large) message they answer.
  int on = 1;
  setsockopt(fd, SOL_NETLINK, NETLINK_CAP_ACK, &on, sizeof(on));
  return 0;
}

// Sends one batch (or one request) and reads the answers up to the end of a
// dump, or until acks acknowledgements arrived. each sees every other
// answer.
namespace {

int ReadAnswers(mnl_socket* nl, uint32_t first_seq, int acks, bool dump,
                const std::function<void(const nlmsghdr*)>& each, std::string* err) {
  std::vector<char> buf(size_t{64} * 1024);
  for (;;) {
    ssize_t n = mnl_socket_recvfrom(nl, buf.data(), buf.size());
    if (n < 0) {
      *err = std::string("netlink: ") + (errno == EAGAIN ? "no answer" : ErrorText(errno));
      return -1;
    }
    int len = static_cast<int>(n);
    for (auto* nlh = reinterpret_cast<const nlmsghdr*>(buf.data()); mnl_nlmsg_ok(nlh, len);
         nlh = mnl_nlmsg_next(nlh, &len)) {
      if (nlh->nlmsg_seq < first_seq) continue;  // a late answer to an exchange that gave up
      if (nlh->nlmsg_type == NLMSG_ERROR) {
        const auto* e = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(nlh));
        if (e->error != 0) {
          errno = -e->error;
          *err = std::string("netlink: ") + ErrorText(-e->error);
          return -1;
        }
        if (--acks <= 0 && !dump) return 0;
        continue;
      }
      if (nlh->nlmsg_type == NLMSG_DONE) return 0;
      each(nlh);
      if (!dump && acks <= 0) return 0;
    }
  }
}

}  // namespace

int CNftTable::Exchange(const std::vector<char>& batch, int acks, std::string* err) {
  int fd = mnl_socket_get_fd(nl_);
  // A fleet's batch is larger than the default socket buffer, and the kernel
  // takes a batch in one send.
  int size = static_cast<int>(batch.size()) + 65536;
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof(size)) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
  }
  uint32_t first = reinterpret_cast<const nlmsghdr*>(batch.data())->nlmsg_seq;
  if (mnl_socket_sendto(nl_, batch.data(), batch.size()) < 0) {
    *err = std::string("netlink: ") + ErrorText(errno);
    return -1;
  }
  return ReadAnswers(
      nl_, first, acks, false, [](const nlmsghdr*) {}, err);
}

int CNftTable::ReadGeneration(uint32_t* gen, std::string* err) {
  char buf[kRequestRoom];
  uint32_t seq = seq_++;
  nlmsghdr* nlh = nftnl_nlmsg_build_hdr(buf, NFT_MSG_GETGEN, AF_UNSPEC, 0, seq);
  if (mnl_socket_sendto(nl_, nlh, nlh->nlmsg_len) < 0) {
    *err = std::string("netlink: ") + ErrorText(errno);
    return -1;
  }
  bool got = false;
  int rc = ReadAnswers(
      nl_, seq, 0, false,
      [&](const nlmsghdr* m) {
        nftnl_gen* g = nftnl_gen_alloc();
        if (nftnl_gen_nlmsg_parse(m, g) >= 0) {
          *gen = nftnl_gen_get_u32(g, NFTNL_GEN_ID);
          got = true;
        }
        nftnl_gen_free(g);
      },
      err);
  if (rc == 0 && !got) *err = "netlink: no generation in the answer";
  return rc == 0 && got ? 0 : -1;
}

int CNftTable::DumpMap(size_t service, std::vector<NftInterval>* intervals, std::string* err) {
  char buf[kRequestRoom];
  uint32_t seq = seq_++;
  nlmsghdr* nlh = nftnl_nlmsg_build_hdr(buf, NFT_MSG_GETSETELEM, NFPROTO_IPV4, NLM_F_DUMP, seq);
  nftnl_set* s = nftnl_set_alloc();
  nftnl_set_set_str(s, NFTNL_SET_TABLE, table_.c_str());
  nftnl_set_set_str(s, NFTNL_SET_NAME, MapName(service).c_str());
  nftnl_set_elems_nlmsg_build_payload(nlh, s);
  nftnl_set_free(s);
  if (mnl_socket_sendto(nl_, nlh, nlh->nlmsg_len) < 0) {
    *err = std::string("netlink: ") + ErrorText(errno);
    return -1;
  }
  // {key, flags}: the elements sorted, then each start element runs to the next.
  struct Element {
    uint32_t key;
    bool end;
    int server;
  };
  std::vector<Element> elements;
  // The servers by their values in the map.
  std::unordered_map<uint64_t, int> by_value;
  const L4Service& svc = services_[service];
  for (size_t j = 0; j < svc.servers.size(); ++j) {
    unsigned char want[8];
    EncodeServer(svc.servers[j], want);
    uint64_t v;
    std::memcpy(&v, want, 8);
    by_value.emplace(v, static_cast<int>(j));
  }
  int rc = ReadAnswers(
      nl_, seq, 1, true,
      [&](const nlmsghdr* m) {
        nftnl_set* got = nftnl_set_alloc();
        if (nftnl_set_elems_nlmsg_parse(m, got) >= 0) {
          nftnl_set_elems_iter* it = nftnl_set_elems_iter_create(got);
          for (nftnl_set_elem* e = nftnl_set_elems_iter_cur(it); e != nullptr;
               e = nftnl_set_elems_iter_next(it)) {
            uint32_t len = 0;
            const void* key = nftnl_set_elem_get(e, NFTNL_SET_ELEM_KEY, &len);
            if (key == nullptr || len != 4) continue;
            uint32_t k;
            std::memcpy(&k, key, 4);
            bool end =
                nftnl_set_elem_is_set(e, NFTNL_SET_ELEM_FLAGS) &&
                (nftnl_set_elem_get_u32(e, NFTNL_SET_ELEM_FLAGS) & NFT_SET_ELEM_INTERVAL_END);
            int server = -1;
            const void* data = nftnl_set_elem_get(e, NFTNL_SET_ELEM_DATA, &len);
            if (!end && data != nullptr && len == 8) {
              uint64_t v;
              std::memcpy(&v, data, 8);
              auto found = by_value.find(v);
              if (found != by_value.end()) server = found->second;
            }
            elements.push_back({ntohl(k), end, server});
          }
          nftnl_set_elems_iter_destroy(it);
        }
        nftnl_set_free(got);
      },
      err);
  if (rc != 0) return -1;
  std::stable_sort(elements.begin(), elements.end(), [](const Element& a, const Element& b) {
    return a.key != b.key ? a.key < b.key : a.end > b.end;
  });
  // A dump that spans messages may repeat the element at a boundary.
  elements.erase(std::unique(elements.begin(), elements.end(),
                             [](const Element& a, const Element& b) {
                               return a.key == b.key && a.end == b.end;
                             }),
                 elements.end());
  intervals->clear();
  for (size_t k = 0; k < elements.size(); ++k) {
    if (elements[k].end) continue;
    uint32_t last = k + 1 < elements.size() ? elements[k + 1].key - 1 : kNftSlots - 1;
    intervals->push_back({elements[k].key, last, elements[k].server});
  }
  return 0;
}

int CNftTable::ReadRules(std::vector<std::string>* comments, std::string* err) {
  char buf[kRequestRoom];
  uint32_t seq = seq_++;
  nlmsghdr* nlh = nftnl_nlmsg_build_hdr(buf, NFT_MSG_GETRULE, NFPROTO_IPV4, NLM_F_DUMP, seq);
  nftnl_rule* r = nftnl_rule_alloc();
  nftnl_rule_set_str(r, NFTNL_RULE_TABLE, table_.c_str());
  nftnl_rule_nlmsg_build_payload(nlh, r);
  nftnl_rule_free(r);
  if (mnl_socket_sendto(nl_, nlh, nlh->nlmsg_len) < 0) {
    *err = std::string("netlink: ") + ErrorText(errno);
    return -1;
  }
  comments->clear();
  return ReadAnswers(
      nl_, seq, 1, true,
      [&](const nlmsghdr* m) {
        nftnl_rule* got = nftnl_rule_alloc();
        if (nftnl_rule_nlmsg_parse(m, got) >= 0) comments->push_back(CommentOf(got));
        nftnl_rule_free(got);
      },
      err);
}

int CNftTable::InPlace(std::string* err) {
  std::vector<std::string> rules, want_rules;
  if (ReadRules(&rules, err) != 0) return errno == ENOENT ? 0 : -1;
  for (const L4Service& s : services_) {
    for (int k = 0; k < kRulesPerService; ++k) want_rules.push_back(RuleComment(s));
  }
  std::sort(rules.begin(), rules.end());
  std::sort(want_rules.begin(), want_rules.end());
  if (rules != want_rules) return 0;
  for (size_t i = 0; i < services_.size(); ++i) {
    std::vector<NftInterval> got;
    if (DumpMap(i, &got, err) != 0) return errno == ENOENT ? 0 : -1;
    if (!written_) {
      // Adopting: any intervals of this service's servers that cover the range.
      uint32_t next = 0;
      for (const NftInterval& x : got) {
        if (x.server < 0 || x.first != next) return 0;
        next = x.last + 1;
      }
      if (!got.empty() && next != kNftSlots) return 0;
      continue;
    }
    std::vector<NftInterval> want = NftIntervals(weights_[i]);
    if (got.size() != want.size()) return 0;
    for (size_t k = 0; k < got.size(); ++k) {
      if (got[k].first != want[k].first || got[k].last != want[k].last ||
          got[k].server != want[k].server) {
        return 0;
      }
    }
  }
  return 1;
}

int CNftTable::Adopt(int max_weight, std::vector<std::vector<int>>* weights, std::string* err) {
  written_ = false;
  int in = InPlace(err);
  if (in != 1) return in;
  weights->assign(services_.size(), {});
  weights_.clear();
  for (size_t i = 0; i < services_.size(); ++i) {
    std::vector<NftInterval> got;
    if (DumpMap(i, &got, err) != 0) return -1;
    std::vector<int> slots(services_[i].servers.size(), 0);
    for (const NftInterval& x : got) slots[x.server] += static_cast<int>(x.last - x.first + 1);
    int64_t most = *std::max_element(slots.begin(), slots.end());
    for (int64_t s : slots) {
      (*weights)[i].push_back(most == 0 ? 0 : static_cast<int>((s * max_weight + most / 2) / most));
    }
    // Taken as written, slot for slot: the intervals of an earlier run are in
    // the servers' order, so Check finds them in place.
    weights_.push_back(slots);
  }
  written_ = true;
  gen_known_ = ReadGeneration(&gen_, err) == 0;
  return 1;
}

int CNftTable::WriteWhole(const std::vector<std::vector<int>>& weights, std::string* err) {
  std::string text = NftTableText(table_, services_, weights);
  if (nft_run_cmd_from_buffer(nft_, text.c_str()) != 0) {
    *err = "nftables: " + std::string(nft_ctx_get_error_buffer(nft_));
    while (!err->empty() && err->back() == '\n') err->pop_back();
    return -1;
  }
  return 0;
}

int CNftTable::WriteMaps(const std::vector<std::vector<int>>& weights, std::string* err) {
  std::vector<char> batch;
  batch.reserve(1 << 16);
  int acks = 0;
  Append(&batch, [&](char* at) { return nftnl_batch_begin(at, seq_++); });
  for (size_t i = 0; i < services_.size(); ++i) {
    if (weights[i] == weights_[i]) continue;
    std::vector<NftInterval> iv = NftIntervals(weights[i]);
    std::vector<NftInterval> before = NftIntervals(weights_[i]);
    bool same = iv.size() == before.size();
    for (size_t k = 0; same && k < iv.size(); ++k) {
      same = iv[k].first == before[k].first && iv[k].last == before[k].last &&
             iv[k].server == before[k].server;
    }
    if (same) continue;
    auto message = [&](uint16_t type, uint16_t flags, size_t from, size_t to) {
      Append(&batch, [&](char* at) {
        nlmsghdr* nlh = nftnl_nlmsg_build_hdr(at, type, NFPROTO_IPV4, flags | NLM_F_ACK, seq_++);
        nftnl_set* s = nftnl_set_alloc();
        nftnl_set_set_str(s, NFTNL_SET_TABLE, table_.c_str());
        nftnl_set_set_str(s, NFTNL_SET_NAME, MapName(i).c_str());
        for (size_t k = from; k < to; ++k) {
          unsigned char data[8];
          EncodeServer(services_[i].servers[iv[k].server], data);
          // An end element where the next interval does not start, as
          // nftables' own tool writes them: at the next start and after the last.
          AddElement(s, iv[k].first, data, false);
          AddElement(s, iv[k].last + 1, data, true);
        }
        nftnl_set_elems_nlmsg_build_payload(nlh, s);
        nftnl_set_free(s);
        return nlh;
      });
      ++acks;
    };
    message(NFT_MSG_DELSETELEM, 0, 0, 0);  // no elements: the whole map
    for (size_t from = 0; from < iv.size(); from += kElementsPerMessage) {
      message(NFT_MSG_NEWSETELEM, NLM_F_CREATE, from,
              std::min(iv.size(), from + kElementsPerMessage));
    }
  }
  if (acks == 0) return 0;
  Append(&batch, [&](char* at) { return nftnl_batch_end(at, seq_++); });
  return Exchange(batch, acks, err);
}

int CNftTable::Write(const std::vector<std::vector<int>>& weights, std::string* err) {
  if (weights.size() != services_.size()) {
    *err = "nftables: weights for " + std::to_string(weights.size()) + " services, not " +
           std::to_string(services_.size());
    return -1;
  }
  for (size_t i = 0; i < services_.size(); ++i) {
    if (weights[i].size() != services_[i].servers.size()) {
      *err = "nftables: weights for " + std::to_string(weights[i].size()) + " servers of " +
             services_[i].name + ", not " + std::to_string(services_[i].servers.size());
      return -1;
    }
  }
  int64_t start = NowUs();
  uint32_t before = gen_;
  bool sure = gen_known_ && written_;
  int rc = -1;
  if (written_) {
    std::string why;
    rc = WriteMaps(weights, &why);
    // The table may have gone since the last check: write it whole.
  }
  if (rc != 0) {
    sure = false;
    rc = WriteWhole(weights, err);
  }
  if (rc != 0) return -1;
  weights_ = weights;
  written_ = true;
  ++writes_;
  last_write_us_ = NowUs() - start;
  // Ours was the only transaction since the last known generation when the
  // generation moved by one (none at all when nothing changed).
  uint32_t now = 0;
  std::string why;
  gen_known_ = ReadGeneration(&now, &why) == 0 && sure && (now == before + 1 || now == before);
  gen_ = now;
  return 0;
}

int CNftTable::Check(std::string* err) {
  if (!written_) return 0;
  uint32_t now = 0;
  if (ReadGeneration(&now, err) != 0) return -1;
  if (gen_known_ && now == gen_) return 0;
  int in = InPlace(err);
  if (in < 0) return -1;
  if (in == 1) {
    gen_ = now;
    gen_known_ = true;
    return 0;
  }
  if (WriteWhole(weights_, err) != 0) return -1;
  ++restores_;
  gen_known_ = ReadGeneration(&gen_, err) == 0;
  // Someone else may have written between the two reads: checked again next time.
  if (gen_known_ && gen_ != now + 1) gen_known_ = false;
  return 1;
}

}  // namespace coord

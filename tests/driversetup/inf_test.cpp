#include "platform/inf.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using velarn::InfInfo;
using velarn::RegType;

namespace {

TEST(InfReader, ShippedInfGivesClassHardwareIdServiceAndDefaults) {
  InfInfo inf;
  std::string err;
  ASSERT_TRUE(velarn::read_inf(VLNCARD_INF_SOURCE, inf, err)) << err;
  EXPECT_EQ(inf.class_name, "Net");
  EXPECT_EQ(inf.class_guid, "{4D36E972-E325-11CE-BFC1-08002BE10318}");
  EXPECT_EQ(inf.provider, "Velarn");
  EXPECT_EQ(inf.device_desc, "Velarn Virtual Ethernet Adapter");
  EXPECT_EQ(inf.hardware_ids, std::vector<std::string>{"vlncard"});
  EXPECT_EQ(inf.service_name, "vlncard");
  // Only the adapter's own values (HKR with no subkey), not the Ndi pages.
  ASSERT_EQ(inf.parameters.size(), 4u);
  const std::pair<const char*, const char*> want[] = {
      {"MTU", "1500"}, {"LinkSpeed", "1"}, {"ReceiveLength", "128"}, {"DelayedSend", "0"}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(inf.parameters[i].name, want[i].first);
    EXPECT_EQ(inf.parameters[i].value.type, RegType::Sz);
    EXPECT_EQ(inf.parameters[i].value.sz, want[i].second);
  }
}

const char* const kMinimal =
    "[version]\n"
    "signature=\"$Windows NT$\"\n"
    "CLASS = Net ; trailing comment\n"
    "ClassGuid={4D36E972-E325-11CE-BFC1-08002BE10318}\n"
    "[Manufacturer]\n"
    "%Mfg%=Models\n"
    "[Models]\n"
    "\"Desc, with comma\" = Inst, HW1, \\\n"
    "    Compat1\n"
    "[Inst.NT]\n"
    "AddReg = R1, R2\n"
    "[Inst.NT.Services]\n"
    "AddService = svc, 2, svc_section\n"
    "[R1]\n"
    "HKR,,Text,0,\"a \"\"quoted\"\" ; not a comment\"\n"
    "HKR,,Num,0x00010001,0x20\n"
    "HKR,,List,0x00010000,\"x\",\"y\"\n"
    "HKLM,Software\\X,Other,0,\"ignored\"\n"
    "[R2]\n"
    "HKR,,text,0,%Over%\n"
    "[Strings]\n"
    "Mfg=\"Maker\"\n"
    "over = \"second\"\n";

TEST(InfReader, SyntaxCornersAreHandled) {
  InfInfo inf;
  std::string err;
  ASSERT_TRUE(velarn::parse_inf(kMinimal, inf, err)) << err;
  EXPECT_EQ(inf.class_name, "Net");
  EXPECT_EQ(inf.device_desc, "Desc, with comma");
  EXPECT_EQ(inf.hardware_ids, (std::vector<std::string>{"HW1", "Compat1"}));
  EXPECT_EQ(inf.service_name, "svc");
  ASSERT_EQ(inf.parameters.size(), 3u);
  EXPECT_EQ(inf.parameters[0].name, "Text");  // later AddReg replaces, first spelling stays
  EXPECT_EQ(inf.parameters[0].value.sz, "second");
  EXPECT_EQ(inf.parameters[1].value.type, RegType::Dword);
  EXPECT_EQ(inf.parameters[1].value.dword, 0x20u);
  EXPECT_EQ(inf.parameters[2].value.type, RegType::MultiSz);
  EXPECT_EQ(inf.parameters[2].value.multi, (std::vector<std::string>{"x", "y"}));
}

TEST(InfReader, UnusableFilesAreRefusedWithTheReason) {
  std::string base = kMinimal;
  auto with = [&](const std::string& from, const std::string& to) {
    std::string s = base;
    auto at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return s.replace(at, from.size(), to);
  };
  struct Case {
    std::string text, reason;
  } cases[] = {
      {"", "no [Version]"},
      {"Class=Net\n", "before the first section"},
      {with("signature=\"$Windows NT$\"\n", ""), "no Signature"},
      {with("CLASS = Net", "CLASS = "), "no usable Class"},
      {with("{4D36E972-E325-11CE-BFC1-08002BE10318}", "4D36E972"), "no usable ClassGUID"},
      {with("%Mfg%=Models", "%Nope%=Models"), "unknown string %Nope%"},
      {with("\"Desc, with comma\"", "\"Desc"), "unterminated quote"},
      {with("[Models]\n", "[Models\n"), "bad section header"},
      {with("= Inst, HW1, \\\n    Compat1", "= Inst"), "without a hardware id"},
      {with("[Inst.NT]", "[Other]"), "install section [Inst] is missing"},
      {with("AddReg = R1, R2", "AddReg = R1, R9"), "AddReg section [R9] is missing"},
      {with("HKR,,Num,0x00010001,0x20", "HKR,,Num,0x00010001,lots"), "bad DWORD"},
      {with("HKR,,Num,0x00010001,0x20", "HKR,,Num,flags,1"), "bad AddReg flags"},
      {with("AddService = svc", "AddService = ../svc"), "unusable service name"},
  };
  for (auto& c : cases) {
    InfInfo inf;
    std::string err;
    EXPECT_FALSE(velarn::parse_inf(c.text, inf, err)) << c.reason;
    EXPECT_NE(err.find(c.reason), std::string::npos) << "want \"" << c.reason << "\", got \"" << err << "\"";
  }
  InfInfo inf;
  std::string err;
  EXPECT_FALSE(velarn::read_inf("/nonexistent/vlncard.inf", inf, err));
  EXPECT_NE(err.find("cannot open /nonexistent/vlncard.inf"), std::string::npos);
}

// Random damage to a good file is read or refused, never a crash or hang.
TEST(InfReader, DamagedTextNeverCrashes) {
  std::mt19937 rng(7);
  std::string good = kMinimal;
  for (int i = 0; i < 3000; ++i) {
    std::string t = good;
    for (int k = int(rng() % 4); k >= 0; --k) {
      size_t at = rng() % t.size();
      switch (rng() % 3) {
        case 0: t[at] = "[]=,;\"%\\\n x"[rng() % 12]; break;
        case 1: t.erase(at, rng() % 8); break;
        default: t.insert(at, 1, char(rng() % 256));
      }
      if (t.empty()) t = "x";
    }
    InfInfo inf;
    std::string err;
    if (!velarn::parse_inf(t, inf, err))
      EXPECT_FALSE(err.empty());
    else
      EXPECT_FALSE(inf.hardware_ids.empty());
  }
}

}  // namespace

#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "registry_fixture.h"

using velarn::Registry;
using velarn::RegNamedValue;
using velarn::RegType;
using velarn::RegValue;

namespace {

class RegistryTest : public RootTest {};

TEST_F(RegistryTest, ValuesOfEveryTypeRoundTripThroughTheFiles) {
  Registry w;
  EXPECT_EQ(w.dir(), root + "/etc/velarn/registry");
  const std::string awkward = "tab\there\nnew line\\back\rslash \x01 caf\xc3\xa9 %2F";
  ASSERT_TRUE(w.set_sz("SOFTWARE\\Velarn", "Text", awkward));
  ASSERT_TRUE(w.set_sz("SOFTWARE\\Velarn", "Empty", ""));
  ASSERT_TRUE(w.set_sz("SOFTWARE\\Velarn", "", "default value"));
  ASSERT_TRUE(w.set_dword("SOFTWARE\\Velarn", "Max", 0xFFFFFFFFu));
  ASSERT_TRUE(w.set_dword("SOFTWARE\\Velarn", "Zero", 0));
  ASSERT_TRUE(w.set_multi("SOFTWARE\\Velarn", "List", {"vlncard", "", "a\tb"}));
  ASSERT_TRUE(w.set_multi("SOFTWARE\\Velarn", "None", {}));

  Registry r;  // a fresh instance reads only what is on disk
  EXPECT_EQ(r.get_sz("SOFTWARE\\Velarn", "Text"), awkward);
  EXPECT_EQ(r.get_sz("SOFTWARE\\Velarn", "Empty"), "");
  EXPECT_EQ(r.get_sz("SOFTWARE\\Velarn", ""), "default value");
  EXPECT_EQ(r.get_dword("SOFTWARE\\Velarn", "Max"), 0xFFFFFFFFu);
  EXPECT_EQ(r.get_dword("SOFTWARE\\Velarn", "Zero"), 0u);
  EXPECT_EQ(r.get_multi("SOFTWARE\\Velarn", "List"), (std::vector<std::string>{"vlncard", "", "a\tb"}));
  EXPECT_EQ(r.get_multi("SOFTWARE\\Velarn", "None"), std::vector<std::string>{});
  EXPECT_EQ(r.value_names("SOFTWARE\\Velarn"),
            (std::vector<std::string>{"Text", "Empty", "", "Max", "Zero", "List", "None"}));

  // A value of another type does not answer a typed read.
  EXPECT_FALSE(r.get_dword("SOFTWARE\\Velarn", "Text"));
  EXPECT_FALSE(r.get_sz("SOFTWARE\\Velarn", "Max"));
  EXPECT_FALSE(r.get_sz("SOFTWARE\\Velarn", "List"));
  EXPECT_FALSE(r.get_multi("SOFTWARE\\Velarn", "Text"));
  EXPECT_FALSE(r.get("SOFTWARE\\Velarn", "Missing"));
  EXPECT_FALSE(r.get("SOFTWARE\\Nowhere", "Text"));

  // Changing a value's type replaces it in place.
  ASSERT_TRUE(w.set_dword("SOFTWARE\\Velarn", "Text", 7));
  EXPECT_EQ(r.get_dword("SOFTWARE\\Velarn", "Text"), 7u);
  EXPECT_EQ(r.value_names("SOFTWARE\\Velarn").front(), "Text");
}

TEST_F(RegistryTest, NamesMatchWithoutCaseAndKeepTheFirstSpelling) {
  Registry reg;
  ASSERT_TRUE(reg.create_key("SYSTEM\\CurrentControlSet\\Services\\vlncard"));
  EXPECT_TRUE(reg.key_exists("system\\currentcontrolset\\SERVICES\\VLNCARD"));
  EXPECT_TRUE(reg.key_exists("\\SYSTEM\\\\CurrentControlSet\\"));  // stray separators

  ASSERT_TRUE(reg.set_dword("SYSTEM\\CURRENTCONTROLSET\\services\\VlnCard", "VLN_CNT", 1));
  EXPECT_EQ(reg.sub_keys("SYSTEM\\CurrentControlSet\\Services"), std::vector<std::string>{"vlncard"});
  EXPECT_EQ(reg.sub_keys("SYSTEM"), std::vector<std::string>{"CurrentControlSet"});

  ASSERT_TRUE(reg.set_dword("SYSTEM\\CurrentControlSet\\Services\\vlncard", "vln_cnt", 2));
  EXPECT_EQ(reg.get_dword("system\\currentcontrolset\\services\\vlncard", "Vln_Cnt"), 2u);
  EXPECT_EQ(reg.value_names("SYSTEM\\CurrentControlSet\\Services\\vlncard"), std::vector<std::string>{"VLN_CNT"});

  EXPECT_TRUE(reg.delete_value("SYSTEM\\CurrentControlSet\\Services\\VLNCARD", "vln_CNT"));
  EXPECT_FALSE(reg.delete_value("SYSTEM\\CurrentControlSet\\Services\\VLNCARD", "vln_CNT"));
  EXPECT_EQ(reg.last_error(), "value not found");
  EXPECT_TRUE(reg.value_names("SYSTEM\\CurrentControlSet\\Services\\vlncard").empty());
}

TEST_F(RegistryTest, SubKeysAreSortedAndOddNamesStayKeys) {
  Registry reg;
  const std::string base = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
  for (const char* n : {"0010", "0002", "Properties", "0000", "beta", "Alpha", "a/b", ".values", "..", "%41", ".lock"})
    ASSERT_TRUE(reg.create_key(base + "\\" + n)) << n << ": " << reg.last_error();
  ASSERT_TRUE(reg.set_sz(base + "\\.values", "x", "y"));
  ASSERT_TRUE(reg.set_sz(base, "ClassName", "Net"));
  EXPECT_EQ(reg.sub_keys(base), (std::vector<std::string>{"%41", "..", ".lock", ".values", "0000", "0002", "0010",
                                                          "a/b", "Alpha", "beta", "Properties"}));
  EXPECT_EQ(reg.get_sz(base + "\\.VALUES", "X"), "y");
  EXPECT_EQ(reg.get_sz(base, "ClassName"), "Net");
  EXPECT_TRUE(reg.key_exists(base + "\\A/B"));
  EXPECT_FALSE(reg.key_exists(base + "\\a"));
  EXPECT_FALSE(reg.key_exists(base + "\\A"));  // "%41" is not an encoded "A"

  EXPECT_FALSE(reg.create_key("SOFTWARE\\" + std::string(300, 'k')));
  EXPECT_NE(reg.last_error().find("too long"), std::string::npos);
}

TEST_F(RegistryTest, DeletingAKeyTakesEverythingUnderIt) {
  Registry reg;
  ASSERT_TRUE(reg.set_sz("A\\B\\C", "v", "1"));
  ASSERT_TRUE(reg.set_sz("A\\B", "v", "2"));
  ASSERT_TRUE(reg.set_sz("A\\D", "v", "3"));
  EXPECT_TRUE(reg.delete_key("a\\b"));
  EXPECT_FALSE(reg.key_exists("A\\B"));
  EXPECT_FALSE(reg.key_exists("A\\B\\C"));
  EXPECT_EQ(reg.get_sz("A\\D", "v"), "3");
  EXPECT_TRUE(reg.delete_key("A\\B"));  // already gone is success
  EXPECT_EQ(reg.sub_keys("A"), std::vector<std::string>{"D"});
  EXPECT_FALSE(reg.delete_key(""));
  EXPECT_FALSE(reg.delete_key("\\"));
  EXPECT_TRUE(reg.key_exists("A"));
}

TEST_F(RegistryTest, DamagedValuesFileIsReportedAndNeverOverwritten) {
  Registry reg;
  ASSERT_TRUE(reg.set_sz("K", "a", "1"));
  const std::string file = reg.dir() + "/K/.values";
  ASSERT_FALSE(read_file(file).empty());

  const char* damaged[] = {
      "",                                               // empty
      "garbage\n",                                      // bad header
      "velarn-registry 1\na\tREG_SZ\t1",                // truncated last line
      "velarn-registry 1\na\tREG_BINARY\t00\n",         // unknown type
      "velarn-registry 1\na\tREG_DWORD\t4294967296\n",  // out of range
      "velarn-registry 1\na\tREG_DWORD\t-1\n",
      "velarn-registry 1\na\tREG_SZ\tbad\\q\n",           // unknown escape
      "velarn-registry 1\na\tREG_SZ\tx\\\n",              // dangling backslash
      "velarn-registry 1\na\tREG_SZ\t\\x4\n",             // short hex escape
      "velarn-registry 1\na\tREG_SZ\n",                   // no data
      "velarn-registry 1\na\tREG_SZ\t1\t2\n",             // too much data
      "velarn-registry 1\na\n",                           // no type
      "velarn-registry 1\na\tREG_SZ\t1\nA\tREG_SZ\t2\n",  // same name twice
  };
  for (const char* text : damaged) {
    SCOPED_TRACE(::testing::PrintToString(std::string(text)));
    write_file(file, text);
    EXPECT_FALSE(reg.get("K", "a"));
    EXPECT_NE(reg.last_error().find("damaged registry values file"), std::string::npos) << reg.last_error();
    EXPECT_NE(reg.last_error().find(file), std::string::npos);
    EXPECT_TRUE(reg.value_names("K").empty());
    EXPECT_FALSE(reg.set_sz("K", "b", "2"));
    EXPECT_FALSE(reg.delete_value("K", "a"));
    EXPECT_EQ(read_file(file), text);  // what could not be read is kept for repair
  }
  // The key itself stays usable: deleting and re-creating it recovers.
  EXPECT_TRUE(reg.delete_key("K"));
  EXPECT_TRUE(reg.set_sz("K", "a", "fresh"));
  EXPECT_EQ(reg.get_sz("K", "a"), "fresh");
}

TEST_F(RegistryTest, ConcurrentWritersInSeveralProcessesLoseNothing) {
  constexpr int kProcs = 4, kWrites = 40;
  Registry reg;
  ASSERT_TRUE(reg.create_key("Shared"));
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      Registry mine;
      int bad = 0;
      for (int i = 0; i < kWrites; ++i) {
        // Same key for everyone: a lost update would drop another's value.
        if (!mine.set_dword("Shared", "p" + std::to_string(p) + "_" + std::to_string(i), uint32_t(i))) ++bad;
        if (!mine.set_sz("Shared\\Own" + std::to_string(p), "last", std::to_string(i))) ++bad;
        // Every read sees a whole file, never a half-written one.
        if (mine.value_names("Shared").empty() && i > 0) ++bad;
        if (!mine.last_error().empty()) ++bad;
      }
      _exit(bad == 0 ? 0 : 1);
    }
    kids.push_back(pid);
  }
  for (pid_t k : kids) {
    int st = 0;
    ASSERT_EQ(waitpid(k, &st, 0), k);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  }
  EXPECT_EQ(reg.value_names("Shared").size(), size_t(kProcs * kWrites));
  for (int p = 0; p < kProcs; ++p) {
    EXPECT_EQ(reg.get_dword("Shared", "p" + std::to_string(p) + "_" + std::to_string(kWrites - 1)),
              uint32_t(kWrites - 1));
    EXPECT_EQ(reg.get_sz("Shared\\Own" + std::to_string(p), "last"), std::to_string(kWrites - 1));
  }
  EXPECT_EQ(reg.sub_keys("Shared").size(), size_t(kProcs));
}

// Random values survive format/parse unchanged, and random damage to a
// formatted file is either read as some valid file or refused with a
// message: never a crash or a hang.
TEST(ValuesFileFormat, RandomRoundTripsAndMutations) {
  std::mt19937 rng(20240611);
  auto rnd_text = [&](size_t max) {
    std::string s(rng() % (max + 1), '\0');
    for (auto& c : s) c = char(rng() % 4 == 0 ? rng() % 256 : "aZ09\\\t\n\r%x"[rng() % 11]);
    return s;
  };
  for (int round = 0; round < 2000; ++round) {
    std::vector<RegNamedValue> vals;
    int n = int(rng() % 6);
    for (int i = 0; i < n; ++i) {
      RegNamedValue nv;
      nv.name = rnd_text(8) + "#" + std::to_string(i);  // unique names
      switch (rng() % 3) {
        case 0:
          nv.value.type = RegType::Sz;
          nv.value.sz = rnd_text(20);
          break;
        case 1:
          nv.value.type = RegType::Dword;
          nv.value.dword = uint32_t(rng());
          break;
        default:
          nv.value.type = RegType::MultiSz;
          for (int k = int(rng() % 4); k > 0; --k) nv.value.multi.push_back(rnd_text(6));
      }
      vals.push_back(nv);
    }
    std::string text = velarn::format_values(vals);
    std::vector<RegNamedValue> back;
    std::string err;
    ASSERT_TRUE(velarn::parse_values(text, back, err)) << err;
    ASSERT_EQ(back.size(), vals.size());
    for (size_t i = 0; i < vals.size(); ++i) {
      EXPECT_EQ(back[i].name, vals[i].name);
      EXPECT_EQ(back[i].value.type, vals[i].value.type);
      EXPECT_EQ(back[i].value.sz, vals[i].value.sz);
      EXPECT_EQ(back[i].value.dword, vals[i].value.dword);
      EXPECT_EQ(back[i].value.multi, vals[i].value.multi);
    }
    EXPECT_EQ(velarn::format_values(back), text);

    for (int m = 0; m < 4; ++m) {
      std::string bad = text;
      switch (rng() % 3) {
        case 0:
          if (!bad.empty()) bad[rng() % bad.size()] = char(rng() % 256);
          break;
        case 1: bad.resize(rng() % (bad.size() + 1)); break;
        default: bad.insert(rng() % (bad.size() + 1), rnd_text(3));
      }
      std::vector<RegNamedValue> out;
      std::string why;
      if (velarn::parse_values(bad, out, why)) {
        // Whatever was accepted must be a fixed point of the format.
        std::vector<RegNamedValue> again;
        EXPECT_TRUE(velarn::parse_values(velarn::format_values(out), again, why));
        EXPECT_EQ(again.size(), out.size());
      } else {
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(why.rfind("line ", 0) == 0 || why == "empty values file", true) << why;
      }
    }
  }
}

}  // namespace

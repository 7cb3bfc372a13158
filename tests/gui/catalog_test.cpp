// Catalog lookup rules and the shipped catalogs of both languages.
#include <gtest/gtest.h>

#include <regex>

#include "catalog.h"
#include "catalog_ids.h"
#include "gui_test_support.h"

using namespace vlngui;

namespace {

Catalog make(std::initializer_list<const char*> lines) {
  Catalog c;
  for (const char* l : lines) c.add_line(l);
  return c;
}

std::string placeholders(const std::string& text) {
  std::string seq;
  for (size_t i = 0; i + 1 < text.size(); ++i)
    if (text[i] == '%' && (text[i + 1] == 's' || text[i + 1] == 'd')) seq += text.substr(i++, 2);
  return seq;
}

TEST(CatalogText, LookupRules) {
  Catalog c = make({
      "123\tone two three",
      "7\tcontains 12 in its text",
      "12x\tnot twelve",
      "12\ttwelve  \tignored\tignored too",
      "40\tfirst\\r\\nsecond\\nthird",
      "41",
      "12\ta second twelve is never reached",
  });
  struct Case {
    int id;
    const char* want;
  } cases[] = {
      {12, "twelve"},  // field 1 must equal the key; trailing blanks go
      {123, "one two three"},
      {40, "first\r\nsecond\nthird"},  // escapes become line breaks
      {41, ""},                        // an id without a text field
      {1, ""},                         // occurs in lines, matches none
      {0, ""},
  };
  for (const Case& k : cases) EXPECT_EQ(k.want, CatalogText(k.id, c)) << k.id;
}

TEST(TranslateServiceText, PairsApplyInFileOrder) {
  Catalog s = make({"no tab here", "alpha\tbeta", "\tempty key is ignored", " beta \t gamma ", "x\t"});
  EXPECT_EQ("gamma gamma", TranslateServiceText("alpha beta", s));
  EXPECT_EQ("", TranslateServiceText("xxx", s));  // a pair may delete text
  EXPECT_EQ("", TranslateServiceText("", s));
  EXPECT_EQ("plain", TranslateServiceText("  plain \n", s));
}

TEST(FormatText, FillsInOrderAndNeverInterprets) {
  EXPECT_EQ("to h (switch s)", format_text("to %s (switch %s)", {"h", "s"}));
  EXPECT_EQ("error 17", format_text("error %d", {"17"}));
  EXPECT_EQ("%n %x and ", format_text("%n %x and %s", {}));
}

TEST(Catalogs, LoadFailsWhenAnyFileIsMissing) {
  guitest::TempDir dir;
  for (const char* f : {"TravixID.txt", "VLNTokenID.txt", "APIMessageID.txt"}) {
    FILE* fp = std::fopen((dir.path() + "/" + f).c_str(), "w");
    std::fputs(
        "\xEF\xBB\xBF"
        "5\tfive\r\n",
        fp);
    std::fclose(fp);
  }
  Catalogs c;
  EXPECT_FALSE(c.load(dir.path()));
  EXPECT_TRUE(c.travix.lines().empty());
  std::fclose(std::fopen((dir.path() + "/ServiceMessage.txt").c_str(), "w"));
  ASSERT_TRUE(c.load(dir.path()));
  EXPECT_EQ("five", c.text(5));  // byte-order mark and CR gone
}

TEST(Catalogs, LanguageFollowsTheMessageLocale) {
  struct Case {
    const char *all, *messages, *lang, *want;
  } cases[] = {
      {"", "", "ja_JP.UTF-8", "ja"},
      {"", "en_US.UTF-8", "ja_JP.UTF-8", "en"},
      {"ja_JP.UTF-8", "en_US.UTF-8", "", "ja"},
      {"", "", "", "en"},
      {"", "", "C.UTF-8", "en"},
  };
  for (const Case& k : cases) {
    setenv("LC_ALL", k.all, 1);
    setenv("LC_MESSAGES", k.messages, 1);
    setenv("LANG", k.lang, 1);
    EXPECT_EQ(k.want, catalog_language()) << k.all << "/" << k.messages << "/" << k.lang;
  }
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  unsetenv("LANG");
}

TEST(ShippedCatalogs, EveryIdHasItsTextAndPlaceholders) {
  for (const char* lang : {"en", "ja"}) {
    Catalogs c = guitest::shipped(lang);
    for (int i = 0; i < kCatalogIdCount; ++i) {
      const CatalogId& e = kCatalogIds[i];
      const Catalog& file = e.file == CatalogFile::Travix ? c.travix : e.file == CatalogFile::Api ? c.api : c.token;
      std::string text = CatalogText(e.id, file);
      EXPECT_FALSE(text.empty()) << lang << " " << e.id;
      EXPECT_EQ(e.placeholders, placeholders(text)) << lang << " " << e.id << ": " << text;
    }
    // File names are shared with the service and must not be translated.
    EXPECT_EQ("kevad.ini", c.text(29012)) << lang;
    EXPECT_EQ("5711", c.text(11080)) << lang;
  }
  Catalogs en = guitest::shipped("en"), ja = guitest::shipped("ja");
  for (int id : {29011, 29014}) EXPECT_EQ(en.text(id), ja.text(id));
  // The window recognises an abnormal end by the Japanese wording.
  EXPECT_EQ("サーバーへの接続は異常に終了しました (reset)",
            TranslateServiceText("disconnected from the peer unexpectedly (reset)", ja.service));
}

}  // namespace

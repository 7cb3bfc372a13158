#include <cstdio>
#include <cstring>
#include <string>

#include "codec/value_codec.h"
#include "files.h"
#include "profile_fixture.h"

namespace {

// Runs a shell pipeline and returns its standard output.
std::string run(const std::string& cmd) {
  std::string out;
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return out;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  pclose(f);
  return out;
}

// The enc_ form made by the openssl command line alone: SHA-1 of the key
// text, first 16 bytes as the RC4 key, Base64 of the cipher text.
// printf_args are the shell words given to printf for the plain bytes.
std::string openssl_encrypt_raw(const std::string& printf_args, bool one_line) {
  std::string key = "$(printf %s 3c9d0e7a51b2f4860d1e2a3b4c5d6e7f80919a2b | openssl dgst -sha1 -r | cut -c1-32)";
  std::string out = run("printf " + printf_args + " | openssl enc -rc4 -nosalt -K " + key +
                        " -provider legacy -provider default | openssl base64" + (one_line ? " -A" : ""));
  // Keep inner line breaks of the multi-line form; drop only the last one.
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}
std::string openssl_encrypt(const std::string& plain, bool one_line) {
  return openssl_encrypt_raw("%s " + shell_quote(plain), one_line);
}

}  // namespace

using EncTest = ProfileTest;

TEST_F(EncTest, RoundTripKeepsEveryText) {
  std::string long_text(700, 'x');
  for (size_t i = 0; i < long_text.size(); ++i) long_text[i] = (char)(' ' + i % 90);
  for (const std::string& s : {std::string(""), std::string("a"), std::string("pässwört €"),
                               std::string("with space and <xml> & \"quotes\""), long_text}) {
    char* enc = profile_encrypt(pool_, s.c_str());
    ASSERT_NE(enc, nullptr);
    EXPECT_EQ(std::string(enc).find_first_of("\r\n"), std::string::npos);
    if (!s.empty()) {
      EXPECT_NE(std::string(enc), s);
    }
    char* dec = profile_decrypt(pool_, enc);
    ASSERT_NE(dec, nullptr);
    EXPECT_EQ(std::string(dec), s);
  }
}

TEST_F(EncTest, ValuesFromTheOpensslCommandLineDecrypt) {
  std::string long_text(150, 'q');  // long enough for multi-line Base64
  for (const std::string& s : {std::string("hunter2"), std::string("pin 0000"), long_text, std::string("ünïcödé")}) {
    std::string one = openssl_encrypt(s, true);
    ASSERT_FALSE(one.empty()) << "openssl enc -rc4 unavailable";
    EXPECT_STREQ(profile_decrypt(pool_, one.c_str()), s.c_str());
    EXPECT_EQ(std::string(profile_encrypt(pool_, s.c_str())), one);
    // The Base64 filter also takes the 64-column form other tools write.
    std::string lines = openssl_encrypt(s, false);
    EXPECT_STREQ(profile_decrypt(pool_, lines.c_str()), s.c_str());
  }
}

TEST_F(EncTest, UndecodableTextGivesAValueNotACrash) {
  for (const char* bad : {"", "!!!!", "====", "QQ", "A", "QUJD\nREVG", "\xff\xfe"}) {
    char* dec = profile_decrypt(pool_, bad);
    ASSERT_NE(dec, nullptr) << bad;
    EXPECT_LE(strlen(dec), strlen(bad));
  }
  // A zero byte in the plain text ends the value there.
  std::string with_zero = openssl_encrypt_raw("'ab\\000cd'", true);
  ASSERT_FALSE(with_zero.empty());
  EXPECT_STREQ(profile_decrypt(pool_, with_zero.c_str()), "ab");
}

// Long secrets used to come back empty or garbled once their Base64 ran past
// one long line; each length is checked against the openssl tool both ways and
// through a parsed profile.
TEST_F(EncTest, SecretsOfAnyLengthAndLayout) {
  for (size_t n : {0, 1, 63, 64, 767, 768, 2000, 4000}) {
    std::string s(n, 'x');
    for (size_t i = 0; i < n; ++i) s[i] = (char)(' ' + (i * 7) % 95);
    std::string flat = openssl_encrypt(s, true), lines = openssl_encrypt(s, false);
    ASSERT_EQ(flat.empty(), n == 0) << "openssl enc -rc4 unavailable";
    EXPECT_EQ(std::string(profile_encrypt(pool_, s.c_str())), flat) << n;
    EXPECT_EQ(std::string(profile_decrypt(pool_, flat.c_str())), s) << n;
    EXPECT_EQ(std::string(profile_decrypt(pool_, lines.c_str())), s) << n;
    std::string crlf;
    for (char c : lines) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(std::string(profile_decrypt(pool_, crlf.c_str())), s) << n;

    SessionProfile* p =
        parse(doc("<host>h</host><switch>s</switch><authtype>password</authtype>"
                  "<username>u</username><enc_password>" +
                  lines + "</enc_password>"));
    ASSERT_EQ(rc_, 0) << log_.all();
    EXPECT_EQ(std::string(p->auth.password), s) << n;
  }
  CapturedLog log{CapturedLog::kDebugMode};
  profile_decrypt(pool_, "QUJD!!");
  EXPECT_TRUE(log.contains("invalid encoded value: not Base64 after 0 bytes")) << log.all();
}

// The codec writes into buffers it is handed: one byte short is refused and
// left as it was past the first byte, never overrun.
TEST(ValueCodec, RefusesBuffersShorterThanItNeeds) {
  namespace codec = velarn::codec;
  char out[200];
  std::memset(out, 'x', sizeof out);
  size_t need = codec::encoded_size(6);
  EXPECT_EQ(-1, codec::encode("s3cret", 6, out, need - 1));
  EXPECT_EQ('x', out[need - 1]);
  ASSERT_EQ(8, codec::encode("s3cret", 6, out, need));

  std::string enc(out);
  char back[200];
  std::memset(back, 'x', sizeof back);
  size_t got = 99;
  size_t cap = codec::decoded_capacity(enc.size());
  ASSERT_LE(cap, sizeof back);
  EXPECT_EQ(codec::DecodeResult::Failed, codec::decode(enc.data(), enc.size(), back, cap - 1, &got));
  EXPECT_EQ(0u, got);
  EXPECT_EQ('x', back[1]);
  ASSERT_EQ(codec::DecodeResult::Ok, codec::decode(enc.data(), enc.size(), back, cap, &got));
  EXPECT_EQ("s3cret", std::string(back, got));
}

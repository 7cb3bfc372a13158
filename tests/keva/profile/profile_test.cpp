#include <cstring>

#include "profile_fixture.h"
#include "test_certs.h"

TEST_F(ProfileTest, MinimalPasswordProfileTakesEveryDefault) {
  SessionProfile* p = parse(minimal());
  ASSERT_EQ(rc_, 0) << log_.all();
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(p->servers->count, 1);
  EXPECT_STREQ(server(p, 0)->host, "vpn.example.net");
  EXPECT_EQ(server(p, 0)->port, 5711);
  EXPECT_EQ(p->change_type, CHANGE_ROUND_ROBIN);
  EXPECT_EQ(p->proxy_host, nullptr);
  EXPECT_EQ(p->proxy_port, 8080);
  EXPECT_EQ(p->proxy_username, nullptr);
  EXPECT_EQ(p->auth.type, AUTH_PASSWORD);
  EXPECT_STREQ(p->auth.switch_name, "office");
  EXPECT_STREQ(p->auth.username, "alice");
  EXPECT_STREQ(p->auth.password, "pw1");
  EXPECT_STREQ(p->ciphers, "DEFAULT:NULL-MD5");
  EXPECT_EQ(p->device_type, DEVICE_TAP);
  EXPECT_EQ(p->device_name, nullptr);
  EXPECT_EQ(p->reconnect, 0);
  EXPECT_EQ(p->trust->count, 0);
  EXPECT_EQ(p->allow->count, 0);
  EXPECT_EQ(p->deny->count, 0);
  EXPECT_EQ(std::string(p->text, p->text_len), minimal());

  // The summary, in order, with the password masked.
  std::vector<std::string> want = {"Session Profile:",     " host = vpn.example.net", " port = 5711",
                                   " authtype = password", " switch = office",        " username = alice",
                                   " password = ********"};
  EXPECT_EQ(log_.messages(), want);
}

TEST_F(ProfileTest, ServerListKeepsNumberOrderAndSkipsGaps) {
  SessionProfile* p =
      parse(minimal("<port>abc</port><host99>last</host99><host05>five</host05><port05>6000</port05>"
                    "<port07>7000</port07><host10>ten</host10><port10>-1</port10><host1>ignored</host1>"));
  ASSERT_EQ(rc_, 0) << log_.all();
  ASSERT_EQ(p->servers->count, 4);
  EXPECT_EQ(server(p, 0)->port, 0);  // leading text is not a number
  EXPECT_STREQ(server(p, 1)->host, "five");
  EXPECT_EQ(server(p, 1)->port, 6000);
  EXPECT_STREQ(server(p, 2)->host, "ten");
  EXPECT_EQ(server(p, 2)->port, 5711);  // -1 selects the default
  EXPECT_STREQ(server(p, 3)->host, "last");
  EXPECT_TRUE(log_.has(" host05 = five"));
  EXPECT_TRUE(log_.has(" port05 = 6000"));
  EXPECT_TRUE(log_.has(" port = 0"));
  EXPECT_FALSE(log_.contains("port07"));

  p = parse(minimal("<port>65535</port><proxyPort>0</proxyPort>"));
  ASSERT_EQ(rc_, 0) << log_.all();
  EXPECT_EQ(server(p, 0)->port, 65535);
  EXPECT_EQ(p->proxy_port, 0);
}

TEST_F(ProfileTest, DocumentAndRequiredElementFailures) {
  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {doc("<switch>s</switch><authtype>password</authtype>"), "element missing: /profile/host"},
      {"<other><host>h</host></other>", "element missing: /profile/host"},
      {doc("<host>h</host><switch>s</switch>"), "element missing: /profile/authtype"},
      {doc("<host>h</host><authtype>password</authtype><username>u</username>"
           "<password>p</password>"),
       "element missing: /profile/switch"},
      {doc("<host>h</host><switch>s</switch><authtype>password</authtype><password>p</password>"),
       "element missing: /profile/username"},
      {doc("<host>h</host><switch>s</switch><authtype>password</authtype><username>u</username>"),
       "element missing: /profile/password"},
      {doc("<host>h</host><switch>s</switch><authtype>token</authtype><pin>1</pin>"),
       "element missing: /profile/driver"},
      {doc("<host>h</host><switch>s</switch><authtype>token</authtype><driver>d</driver>"),
       "element missing: /profile/pin"},
      {doc("<host>h</host><authtype>ticket</authtype>"), "element missing: /profile/ticket"},
      {doc("<host>h</host><switch>s</switch><authtype>x509</authtype>"), "element missing: /profile/privatekey"},
      {doc("<host>h</host><switch>s</switch><authtype>Password</authtype>"), "invalid authtype: Password"},
      {minimal("<changeType>random </changeType>"), "invalid value for changeType: random "},
      {minimal("<deviceType>TAP</deviceType>"), "invalid value for deviceType: TAP"},
      {minimal("<proxyHost>p</proxyHost><proxyUsername>u</proxyUsername>"), "element missing: /profile/proxyPassword"},
      // Ports are refused, never wrapped into another port.
      {minimal("<port>99999</port>"), "invalid value for port: 99999"},
      {minimal("<port>-2</port>"), "invalid value for port: -2"},
      {minimal("<host02>b</host02><port02>65536</port02>"), "invalid value for port02: 65536"},
      {minimal("<proxyPort>99999999999</proxyPort>"), "invalid value for proxyPort: 99999999999"},
  };
  for (const auto& c : cases) {
    CapturedLog log{CapturedLog::kDebugMode};
    SessionProfile* p = parse(c.text);
    EXPECT_EQ(rc_, -1) << c.text;
    EXPECT_EQ(p, nullptr);
    EXPECT_TRUE(log.has(c.message)) << c.text << "\n" << log.all();
  }
}

TEST_F(ProfileTest, MalformedXmlIsReportedWithTheParserText) {
  for (std::string text : {std::string(""), std::string("<profile><host>h</profile>"), std::string("not xml at all"),
                           std::string("<profile>\0</profile>", 20)}) {
    CapturedLog log{CapturedLog::kDebugMode};
    parse(text);
    EXPECT_EQ(rc_, -1);
    ASSERT_EQ(log.messages().size(), 1u) << log.all();
    const std::string m = log.messages()[0];
    EXPECT_EQ(m.rfind("xml error: ", 0), 0u) << m;
    EXPECT_GT(m.size(), strlen("xml error: ")) << m;
    EXPECT_EQ(m.find('\n'), std::string::npos);
  }
}

TEST_F(ProfileTest, ProxyAndChoiceSettings) {
  SessionProfile* p =
      parse(minimal("<proxyPort>3128</proxyPort><proxyPassword>x</proxyPassword>"
                    "<changeType>random</changeType>"));
  ASSERT_EQ(rc_, 0) << log_.all();
  EXPECT_EQ(p->proxy_host, nullptr);
  EXPECT_EQ(p->proxy_port, 3128);         // stored though it has no effect
  EXPECT_EQ(p->proxy_password, nullptr);  // not read without a user name
  EXPECT_EQ(p->change_type, CHANGE_RANDOM);
  EXPECT_TRUE(log_.has(" changeType = random"));

  CapturedLog log{CapturedLog::kDebugMode};
  char* enc = profile_encrypt(pool_, "proxy-secret");
  p = parse(minimal(std::string("<proxyHost>proxy.lan</proxyHost><proxyUsername>bob</proxyUsername>"
                                "<proxyPassword>plain</proxyPassword><enc_proxyPassword>") +
                    enc + "</enc_proxyPassword>"));
  ASSERT_EQ(rc_, 0) << log.all();
  EXPECT_STREQ(p->proxy_host, "proxy.lan");
  EXPECT_EQ(p->proxy_port, 8080);
  EXPECT_STREQ(p->proxy_username, "bob");
  EXPECT_STREQ(p->proxy_password, "proxy-secret");
  EXPECT_TRUE(log.has(" proxyPassword = ********"));
  EXPECT_FALSE(log.contains("proxyPort"));
}

TEST_F(ProfileTest, EncodedSecretsWinAndNoSecretReachesTheLog) {
  std::string enc_pw = profile_encrypt(pool_, "S3cret-pw");
  std::string enc_pin = profile_encrypt(pool_, "4711");
  SessionProfile* p = parse(minimal("<enc_password>" + enc_pw + "</enc_password>"));
  ASSERT_EQ(rc_, 0);
  EXPECT_STREQ(p->auth.password, "S3cret-pw");

  p =
      parse(doc("<host>h</host><switch>s</switch><authtype>token</authtype>"
                "<driver>/usr/lib/softhsm/libsofthsm2.so</driver><pin>0000</pin><enc_pin>" +
                enc_pin + "</enc_pin>"));
  ASSERT_EQ(rc_, 0) << log_.all();
  EXPECT_EQ(p->auth.type, AUTH_TOKEN);
  EXPECT_STREQ(p->auth.driver, "/usr/lib/softhsm/libsofthsm2.so");
  EXPECT_STREQ(p->auth.pin, "4711");
  EXPECT_TRUE(log_.has(" pin = ********"));

  p = parse(doc("<host>h</host><authtype>ticket</authtype><ticket>TKT-0123456789</ticket>"));
  ASSERT_EQ(rc_, 0) << log_.all();
  EXPECT_EQ(p->auth.type, AUTH_TICKET);
  EXPECT_EQ(p->auth.switch_name, nullptr);
  EXPECT_STREQ(p->auth.password, "TKT-0123456789");
  EXPECT_TRUE(log_.has(" ticket = ********"));

  for (const char* secret : {"S3cret-pw", "pw1", "4711", "0000", "TKT-0123456789"})
    EXPECT_FALSE(log_.contains(secret)) << secret << "\n" << log_.all();
}

TEST_F(ProfileTest, EmptyElementsArePresent) {
  SessionProfile* p =
      parse(doc("<host>h</host><switch/><authtype>password</authtype>"
                "<username></username><password/>"));
  ASSERT_EQ(rc_, 0) << log_.all();
  EXPECT_STREQ(p->auth.username, "");
  EXPECT_STREQ(p->auth.password, "");
  EXPECT_STREQ(p->auth.switch_name, "");
}

TEST_F(ProfileTest, DeviceAndReconnectSettings) {
  SessionProfile* p =
      parse(minimal("<deviceType>bridge</deviceType><deviceName>Velarn</deviceName>"
                    "<reconnect>2</reconnect><ciphers>HIGH</ciphers>"));
  ASSERT_EQ(rc_, 0) << log_.all();
  EXPECT_EQ(p->device_type, DEVICE_BRIDGE);
  EXPECT_STREQ(p->device_name, "Velarn");
  EXPECT_EQ(p->reconnect, 2);
  EXPECT_STREQ(p->ciphers, "HIGH");
  EXPECT_TRUE(log_.has(" deviceType = bridge"));
  EXPECT_TRUE(log_.has(" deviceName = Velarn"));
  EXPECT_TRUE(log_.has(" ciphers = HIGH"));
  EXPECT_FALSE(log_.contains("reconnect"));
}

TEST_F(ProfileTest, MacListsAndTheirFailures) {
  SessionProfile* p =
      parse(minimal("<allow>00:0c:29:3A:b1:7f</allow><deny>0:1:2:3:4:5</deny>"
                    "<allow> 1:2:3:4:5:6</allow>"));
  ASSERT_EQ(rc_, 0) << log_.all();
  ASSERT_EQ(p->allow->count, 2);
  ASSERT_EQ(p->deny->count, 1);
  const unsigned char a0[6] = {0x00, 0x0c, 0x29, 0x3a, 0xb1, 0x7f};
  const unsigned char d0[6] = {0, 1, 2, 3, 4, 5};
  EXPECT_EQ(memcmp(ptrlist_get(p->allow, 0), a0, 6), 0);
  EXPECT_EQ(memcmp(ptrlist_get(p->deny, 0), d0, 6), 0);
  const unsigned char a1[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(memcmp(ptrlist_get(p->allow, 1), a1, 6), 0);

  for (const char* bad : {"00:11:22:33:44:55:66", "00:11:22:33:44", "00:11:22:33:44:5g", "zz",
                          // Bytes without a digit would otherwise read as zeros.
                          "", "::::::", "000c293ab180"}) {
    CapturedLog log{CapturedLog::kDebugMode};
    parse(minimal(std::string("<deny>") + bad + "</deny>"));
    EXPECT_EQ(rc_, -1) << bad;
    EXPECT_TRUE(log.has(std::string("invalid mac address: ") + bad)) << bad << log.all();
  }
}

TEST_F(ProfileTest, TrustReadsEveryBlockOfTheFirstElementOnly) {
  testcerts::Key k1, k2, k3;
  testcerts::Cert c1("ca1", k1, nullptr, nullptr, true), c2("ca2", k2, nullptr, nullptr, true),
      c3("ca3", k3, nullptr, nullptr, true);
  SessionProfile* p =
      parse(minimal("<trust>" + c1.pem() + c2.pem() + c3.pem() + "</trust><trust>" + c1.pem() + "</trust>"));
  ASSERT_EQ(rc_, 0) << log_.all();
  EXPECT_EQ(p->trust->count, 3);
  int ok_lines = 0;
  for (const auto& m : log_.messages()) ok_lines += m == " trust = (ok)";
  EXPECT_EQ(ok_lines, 3);

  p = parse(minimal("<trust>no certificate here</trust>"));
  ASSERT_EQ(rc_, 0);
  EXPECT_EQ(p->trust->count, 0);
}

TEST_F(ProfileTest, X509KeyAndCertificate) {
  testcerts::Key key, other;
  testcerts::Cert cert("client", key, nullptr, nullptr, false);
  auto x509 = [&](const std::string& k, const std::string& c) {
    return doc("<host>h</host><switch>s</switch><authtype>x509</authtype><privatekey>" + k +
               "</privatekey><certificate>" + c + "</certificate>");
  };
  SessionProfile* p = parse(x509(key.pem(), cert.pem()));
  ASSERT_EQ(rc_, 0) << log_.all();
  EXPECT_EQ(p->auth.type, AUTH_X509);
  EXPECT_NE(p->auth.private_key, nullptr);
  EXPECT_NE(p->auth.certificate, nullptr);
  EXPECT_TRUE(log_.has(" privatekey = (ok)"));
  EXPECT_TRUE(log_.has(" certificate = (ok)"));
  EXPECT_FALSE(log_.contains("BEGIN"));

  {
    CapturedLog log{CapturedLog::kDebugMode};
    parse(x509(other.pem(), cert.pem()));
    EXPECT_EQ(rc_, -1);
    EXPECT_TRUE(log.has("key/certificate mismatch")) << log.all();
  }
  {
    CapturedLog log{CapturedLog::kDebugMode};
    parse(x509("garbage", cert.pem()));
    EXPECT_EQ(rc_, -1);
    EXPECT_TRUE(log.contains("/profile/privatekey: ")) << log.all();
  }
  {
    // An encrypted key must fail at once instead of asking for a passphrase.
    CapturedLog log{CapturedLog::kDebugMode};
    parse(x509(key.encrypted_pem("passphrase"), cert.pem()));
    EXPECT_EQ(rc_, -1);
    EXPECT_TRUE(log.contains("/profile/privatekey: ")) << log.all();
  }
  {
    CapturedLog log{CapturedLog::kDebugMode};
    parse(x509(key.pem(), "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"));
    EXPECT_EQ(rc_, -1);
    EXPECT_TRUE(log.contains("/profile/certificate: ")) << log.all();
  }
}

TEST_F(ProfileTest, ReparsingInOnePoolAfterFailureIsClean) {
  // A failed parse leaves nothing that a pool clear cannot release; repeated
  // use must not leak or crash under the sanitizers of the fuzz build.
  testcerts::Key key;
  testcerts::Cert cert("client", key, nullptr, nullptr, false);
  for (int i = 0; i < 20; ++i) {
    parse(doc("<host>h</host><switch>s</switch><authtype>x509</authtype><privatekey>" + key.pem() +
              "</privatekey><certificate>" + cert.pem() + "</certificate><trust>" + cert.pem() +
              "</trust><deny>bad</deny>"));
    EXPECT_EQ(rc_, -1);
    apr_pool_clear(pool_);
  }
}

// The tag list kestrane-browse writes, read back by the console's own CSV reader, and the
// command's argument checks.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "KestraneBrowse/browse_command.h"
#include "KestraneBrowse/tag_list_writer.h"
#include "config/tag_csv.h"
#include "temp_dir.h"

namespace {

using kestrane_browse::BrowseArgs;
using kestrane_browse::parse_browse_args;
using kestrane_browse::TagListWriter;
using kestrane_browse::UsageError;

std::vector<kestrane_config::TagEntry> read_back(const std::string& csv) {
  std::vector<kestrane_config::TagEntry> tags;
  kestrane_config::parse_tag_csv(csv, tags);
  return tags;
}

TEST(TagListCleaning, InvalidUtf8BecomesReplacementCharacters) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(TagListWriter::clean("a\xFF"
                                 "b"),
            "a" + fffd + "b");
  EXPECT_EQ(TagListWriter::clean("\xC0\xAF"), fffd + fffd);             // overlong '/'
  EXPECT_EQ(TagListWriter::clean("\xED\xA0\x80"), fffd + fffd + fffd);  // a surrogate
  EXPECT_EQ(TagListWriter::clean("\xF4\x90\x80\x80").find('\xF4'), std::string::npos);
  EXPECT_EQ(TagListWriter::clean("end\xE2\x82"), "end" + fffd + fffd);  // cut short
  // Valid multi-byte text is kept as it is.
  EXPECT_EQ(TagListWriter::clean("Kessel \xE6\xB8\xA9\xE5\xBA\xA6 \xF0\x9F\x94\xA5"),
            "Kessel \xE6\xB8\xA9\xE5\xBA\xA6 \xF0\x9F\x94\xA5");
}

TEST(TagListCleaning, ControlCharactersBecomeSpacesSoEveryRowIsOneLine) {
  EXPECT_EQ(TagListWriter::clean(std::string("a\nb\rc\td\0e\x7F"
                                             "f",
                                             11)),
            "a b c d e f");
  EXPECT_EQ(TagListWriter::clean("x\xC2\x85y"), "x y");  // C1 next-line
}

TEST(TagListWriting, HostileDescriptionsReadBackAsOneRowEach) {
  std::ostringstream out;
  TagListWriter writer(out);
  const std::vector<std::string> descriptions = {
      "plain", "with, comma", "\"quoted\"", "line\nbreak", "bad \xFF byte", "", ",\"\n\","};
  for (std::size_t i = 0; i < descriptions.size(); ++i) {
    EXPECT_TRUE(writer.write("nsu=urn:a,b;s=T" + std::to_string(i), descriptions[i]));
  }
  const auto tags = read_back(out.str());
  ASSERT_EQ(tags.size(), descriptions.size()) << out.str();
  for (std::size_t i = 0; i < tags.size(); ++i) {
    EXPECT_EQ(tags[i].name, "nsu=urn:a,b;s=T" + std::to_string(i));
    EXPECT_EQ(tags[i].description,
              kestrane_config::trim_unicode(TagListWriter::clean(descriptions[i])));
  }
  EXPECT_EQ(tags[2].description, "\"quoted\"");
}

TEST(TagListWriting, TheDataTypeIsAThirdColumnTheReaderIgnores) {
  std::ostringstream out;
  TagListWriter writer(out);
  EXPECT_TRUE(writer.write("nsu=urn:a;s=T", "Temp", "Double"));
  EXPECT_TRUE(writer.write("nsu=urn:a,b;s=S", "Drive", "nsu=urn:a,b;i=3001"));
  EXPECT_TRUE(writer.write("ns=2;s=U", "no type"));
  EXPECT_EQ(out.str(),
            "FullTagName,Description,DataType\nnsu=urn:a;s=T,Temp,Double\n"
            "\"nsu=urn:a,b;s=S\",Drive,\"nsu=urn:a,b;i=3001\"\nns=2;s=U,no type,\n");
  const auto tags = read_back(out.str());
  ASSERT_EQ(tags.size(), 3u);
  EXPECT_EQ(tags[1].name, "nsu=urn:a,b;s=S");
  EXPECT_EQ(tags[1].description, "Drive");
}

TEST(TagListWriting, RefusesNamesThatWouldNotReadBackUnchanged) {
  std::ostringstream out;
  TagListWriter writer(out);
  const std::string header = out.str();
  for (const std::string& name : {std::string("s=a\nb"), std::string("s=a\xFF"),
                                  std::string(" s=a"), std::string("s=a "), std::string()}) {
    EXPECT_FALSE(writer.write(name, "x")) << name;
  }
  EXPECT_EQ(out.str(), header);
  EXPECT_TRUE(writer.write("ns=2;s=\"odd\",name", "x"));
  EXPECT_EQ(read_back(out.str()).at(0).name, "ns=2;s=\"odd\",name");
}

TEST(BrowseArguments, TakesEveryOption) {
  const BrowseArgs a = parse_browse_args({"opc.tcp://h:4840", "--root", "nsu=urn:x;s=A", "--depth",
                                          "3", "--all-types", "--index", "-o", "t.csv"});
  EXPECT_EQ(a.url, "opc.tcp://h:4840");
  EXPECT_EQ(a.root, "nsu=urn:x;s=A");
  EXPECT_EQ(a.depth, 3);
  EXPECT_TRUE(a.all_types && a.index);
  EXPECT_EQ(a.output, std::filesystem::path("t.csv"));
  const BrowseArgs defaults = parse_browse_args({"opc.tcp://h:4840"});
  EXPECT_TRUE(defaults.root.empty() && !defaults.output && !defaults.index);
  EXPECT_EQ(defaults.security.policy, pyqar::UaSecurityPolicy::None);
  EXPECT_EQ(defaults.security.pki_dir, "pki");
  EXPECT_FALSE(defaults.security.skip_hostname_check);
}

TEST(BrowseArguments, TakesTheSecuritySettingsWithThePasswordFromAFile) {
  const kestrane_test::TempDir dir;
  const auto password = dir.write("password", "s3cret word\r\nignored\n");
  const BrowseArgs a = parse_browse_args(
      {"opc.tcp://h:4840", "--security-policy", "Aes256_Sha256_RsaPss", "--security-mode",
       "SignAndEncrypt", "--username", "op", "--password-file", password.string(), "--pki-dir",
       "/etc/kestrane/pki", "--skip-hostname-check"});
  EXPECT_EQ(a.security.policy, pyqar::UaSecurityPolicy::Aes256_Sha256_RsaPss);
  EXPECT_EQ(a.security.mode, pyqar::UaSecurityMode::SignAndEncrypt);
  EXPECT_EQ(a.security.username, "op");
  EXPECT_EQ(a.security.password, "s3cret word");
  EXPECT_EQ(a.security.pki_dir, "/etc/kestrane/pki");
  EXPECT_TRUE(a.security.skip_hostname_check);
  // A password without a user is a mistake, not anonymous.
  EXPECT_THROW(parse_browse_args({"opc.tcp://h:4840", "--password-file", password.string()}),
               UsageError);
}

TEST(BrowseArguments, RefusesBadInputNamingIt) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"opc.tcp://h:1", "--depth", "0"}, "--depth '0'"},
      {{"opc.tcp://h:1", "--security-policy", "Basic128"}, "--security-policy 'Basic128'"},
      {{"opc.tcp://h:1", "--security-mode", "Encrypt"}, "--security-mode 'Encrypt'"},
      {{"opc.tcp://h:1", "--security-policy", "Basic256Sha256"}, "security policy Basic256Sha256"},
      {{"opc.tcp://h:1", "--security-mode", "Sign"}, "security mode Sign"},
      {{"opc.tcp://h:1", "--password-file", "/nonexistent/pw"}, "'/nonexistent/pw'"},
      {{"opc.tcp://h:1", "--depth", "-2"}, "--depth '-2'"},
      {{"opc.tcp://h:1", "--depth", "2x"}, "--depth '2x'"},
      {{"opc.tcp://h:1", "--depth"}, "--depth"},
      {{"opc.tcp://h:1", "--colour"}, "--colour"},
      {{"opc.tcp://h:1", "-o"}, "-o"},
      {{"opc.tcp://h:1", "opc.tcp://h:2"}, "opc.tcp://h:2"},
      {{"http://h:1"}, "http://h:1"},
      {{}, "no server address"},
  };
  for (const auto& [args, named] : cases) {
    try {
      parse_browse_args(args);
      ADD_FAILURE() << named << " accepted";
    } catch (const UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(named), std::string::npos) << e.what();
    }
  }
}

}  // namespace

#include "journel/ini_file.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "journel/errors.h"
#include "test_support.h"

namespace journel {
namespace {

using test::TempDir;

// The message of the IniError that `parse(text)` throws, or "" when it parses.
std::string parse_error(const std::string& text) {
  try {
    IniFile::parse(text, "cfg.ini");
  } catch (const IniError& e) {
    return e.what();
  }
  return "";
}

class IniSyntax : public ::testing::Test {};

TEST_F(IniSyntax, AcceptsEqualsAndColonSeparatorsAndStripsBlanks) {
  const auto ini = IniFile::parse("[s]\na = 1\nb:2\nc   =   three words  \nd: x = y\ne = a:b\n");
  EXPECT_EQ(ini.get("s", "a"), "1");
  EXPECT_EQ(ini.get("s", "b"), "2");
  EXPECT_EQ(ini.get("s", "c"), "three words");
  EXPECT_EQ(ini.get("s", "d"), "x = y");  // the first separator splits
  EXPECT_EQ(ini.get("s", "e"), "a:b");
}

TEST_F(IniSyntax, KeysAreCaseInsensitiveAndStoredLowerCase) {
  const auto ini = IniFile::parse("[Sec]\nLog_Dir = logs\n");
  EXPECT_EQ(ini.get("Sec", "log_dir"), "logs");
  EXPECT_EQ(ini.get("Sec", "LOG_DIR"), "logs");
  EXPECT_EQ(ini.keys("Sec"), std::vector<std::string>{"log_dir"});
  EXPECT_EQ(ini.to_string(), "[Sec]\nlog_dir = logs\n\n");
}

TEST_F(IniSyntax, SectionNamesAreCaseSensitive) {
  const auto ini = IniFile::parse("[Kestrane]\na = 1\n[kestrane]\na = 2\n");
  EXPECT_EQ(ini.sections(), (std::vector<std::string>{"Kestrane", "kestrane"}));
  EXPECT_EQ(ini.get("Kestrane", "a"), "1");
  EXPECT_EQ(ini.get("kestrane", "a"), "2");
  EXPECT_FALSE(ini.has_section("KESTRANE"));
}

TEST_F(IniSyntax, SkipsHashAndSemicolonCommentLinesButKeepsInlineText) {
  const auto ini =
      IniFile::parse("# top\n[s]\n  ; indented comment\na = 1 ; not a comment\n#b = 2\n");
  EXPECT_EQ(ini.get("s", "a"), "1 ; not a comment");
  EXPECT_FALSE(ini.get("s", "b").has_value());
}

TEST_F(IniSyntax, IndentedLinesContinueTheValue) {
  const auto ini = IniFile::parse("[s]\nlist = one\n  two\n\n    three\nnext = x\n   \n");
  EXPECT_EQ(ini.get("s", "list"), "one\ntwo\n\nthree");
  EXPECT_EQ(ini.get("s", "next"), "x");
}

TEST_F(IniSyntax, ReadsWindowsLineEndingsAndByteOrderMark) {
  const auto ini = IniFile::parse("\xEF\xBB\xBF[s]\r\na = 1\r\nb = 2\r\n");
  EXPECT_EQ(ini.get("s", "a"), "1");
  EXPECT_EQ(ini.get("s", "b"), "2");
}

TEST_F(IniSyntax, EmptyValueIsEmptyText) {
  const auto ini = IniFile::parse("[TSDBConnection]\npassword =\n");
  EXPECT_EQ(ini.get("TSDBConnection", "password"), "");
  EXPECT_EQ(ini.get_string("TSDBConnection", "password", "fallback"), "");
}

TEST_F(IniSyntax, AbsentKeysAndSectionsGiveTheFallback) {
  const auto ini = IniFile::parse("[TSDBConnection]\n");
  EXPECT_FALSE(ini.get("TSDBConnection", "host").has_value());
  EXPECT_EQ(ini.get_string("TSDBConnection", "host", "localhost"), "localhost");
  EXPECT_EQ(ini.get_int("TSDBConnection", "port", 5432), 5432);
  EXPECT_EQ(ini.get_real("Kestrane", "collection_interval", 1.0), 1.0);
  EXPECT_FALSE(ini.get_bool("Kestrane", "autocommit", false));
}

class IniDefaultSection : public ::testing::Test {};

TEST_F(IniDefaultSection, SuppliesKeysToEverySectionButIsNotListed) {
  const auto ini = IniFile::parse("[DEFAULT]\nhost = db\n[a]\nport = 1\n[b]\nhost = other\n");
  EXPECT_EQ(ini.sections(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(ini.get("a", "host"), "db");
  EXPECT_EQ(ini.get("b", "host"), "other");
  EXPECT_EQ(ini.keys("a"), std::vector<std::string>{"port"});
  EXPECT_FALSE(ini.has_section("DEFAULT"));
}

TEST_F(IniDefaultSection, IsNotConsultedForAMissingSection) {
  const auto ini = IniFile::parse("[DEFAULT]\nhost = db\n");
  EXPECT_FALSE(ini.get("missing", "host").has_value());
}

class IniInterpolation : public ::testing::Test {};

TEST_F(IniInterpolation, ReplacesReferencesFromSectionAndDefault) {
  const auto ini =
      IniFile::parse("[DEFAULT]\nroot = /srv\n[s]\nname = app\ndir = %(root)s/%(NAME)s/log\n");
  EXPECT_EQ(ini.get("s", "dir"), "/srv/app/log");
}

TEST_F(IniInterpolation, SectionValueWinsOverDefault) {
  const auto ini = IniFile::parse("[DEFAULT]\nx = d\n[s]\nx = s\ny = %(x)s\n");
  EXPECT_EQ(ini.get("s", "y"), "s");
}

TEST_F(IniInterpolation, ResolvesNestedReferences) {
  const auto ini = IniFile::parse("[s]\na = A\nb = %(a)s-B\nc = %(b)s-C\n");
  EXPECT_EQ(ini.get("s", "c"), "A-B-C");
}

TEST_F(IniInterpolation, DoublePercentIsOnePercent) {
  const auto ini = IniFile::parse("[s]\npassword = 50%%off\nref = %(password)s!\n");
  EXPECT_EQ(ini.get("s", "password"), "50%off");
  EXPECT_EQ(ini.get("s", "ref"), "50%off!");
}

TEST_F(IniInterpolation, LonePercentFailsOnlyWhenThatKeyIsRead) {
  const auto ini = IniFile::parse("[TSDBConnection]\npassword = 50%off\nuser = u\n", "cfg.ini");
  EXPECT_EQ(ini.get("TSDBConnection", "user"), "u");
  try {
    ini.get("TSDBConnection", "password");
    FAIL() << "a lone percent sign must fail";
  } catch (const IniError& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("cfg.ini, line 2"), std::string::npos) << what;
    EXPECT_NE(what.find("[TSDBConnection] password"), std::string::npos) << what;
    EXPECT_NE(what.find("'%' must be followed by '%' or '('"), std::string::npos) << what;
  }
}

TEST_F(IniInterpolation, BadReferencesFail) {
  const auto ini = IniFile::parse(
      "[s]\nnos = %(a)\nempty = %()s\nmissing = %(nothere)s\ntrailing = 5%\na = 1\n", "cfg.ini");
  for (const char* key : {"nos", "empty", "missing", "trailing"}) {
    EXPECT_THROW(ini.get("s", key), IniError) << key;
    EXPECT_THROW(ini.get_int("s", key, 0), IniError) << key;
  }
  try {
    ini.get("s", "missing");
  } catch (const IniError& e) {
    EXPECT_NE(std::string(e.what()).find("nothere"), std::string::npos) << e.what();
  }
}

TEST_F(IniInterpolation, CircularReferencesFailInsteadOfLooping) {
  const auto ini = IniFile::parse("[s]\na = %(b)s\nb = %(a)s\nself = x%(self)s\n");
  EXPECT_THROW(ini.get("s", "a"), IniError);
  EXPECT_THROW(ini.get("s", "self"), IniError);
}

class IniTypedValues : public ::testing::Test {
 protected:
  static std::string error_of(const std::function<void()>& read) {
    try {
      read();
    } catch (const IniError& e) {
      return e.what();
    }
    return "";
  }
};

TEST_F(IniTypedValues, ReadsDecimalIntegersAndReals) {
  const auto ini = IniFile::parse("[s]\np = 5432\nn = -3\nplus = +7\nr = 0.001\ne = 1e3\nri = 2\n");
  EXPECT_EQ(ini.get_int("s", "p", 0), 5432);
  EXPECT_EQ(ini.get_int("s", "n", 0), -3);
  EXPECT_EQ(ini.get_int("s", "plus", 0), 7);
  EXPECT_DOUBLE_EQ(ini.get_real("s", "r", 0), 0.001);
  EXPECT_DOUBLE_EQ(ini.get_real("s", "e", 0), 1000.0);
  EXPECT_DOUBLE_EQ(ini.get_real("s", "ri", 0), 2.0);
}

TEST_F(IniTypedValues, BadIntegerNamesFileSectionKeyAndValueAndDoesNotFallBack) {
  const auto ini = IniFile::parse("[TSDBConnection]\nport = 54x32\n", "config.ini");
  const std::string what = error_of([&] { ini.get_int("TSDBConnection", "port", 5432); });
  EXPECT_EQ(what, "config.ini, line 2: [TSDBConnection] port: invalid integer value '54x32'");
}

TEST_F(IniTypedValues, RejectsMalformedNumbers) {
  const auto ini = IniFile::parse(
      "[s]\nempty =\nreal = 1.5\nsign = +-1\nbig = 99999999999999999999\nhex = 0x10\n"
      "word = seven\ninf = inf\nnan = nan\ntwo = 1.2.3\n");
  for (const char* key : {"empty", "real", "sign", "big", "hex", "word"}) {
    EXPECT_THROW(ini.get_int("s", key, 0), IniError) << key;
  }
  for (const char* key : {"empty", "sign", "hex", "word", "inf", "nan", "two"}) {
    EXPECT_THROW(ini.get_real("s", key, 0), IniError) << key;
  }
  EXPECT_NE(error_of([&] { ini.get_int("s", "big", 0); }).find("out of range"), std::string::npos);
}

TEST_F(IniTypedValues, BooleansAcceptTheEightWordsInAnyCase) {
  const auto ini = IniFile::parse(
      "[s]\na = 1\nb = YES\nc = True\nd = on\ne = 0\nf = No\ng = FALSE\nh = Off\nbad = maybe\n",
      "config.ini");
  for (const char* key : {"a", "b", "c", "d"}) EXPECT_TRUE(ini.get_bool("s", key, false)) << key;
  for (const char* key : {"e", "f", "g", "h"}) EXPECT_FALSE(ini.get_bool("s", key, true)) << key;
  const std::string what = error_of([&] { ini.get_bool("s", "bad", true); });
  EXPECT_NE(what.find("config.ini, line 10: [s] bad: invalid boolean value 'maybe'"),
            std::string::npos)
      << what;
}

TEST_F(IniTypedValues, InterpolatedTextIsConverted) {
  const auto ini = IniFile::parse("[DEFAULT]\nbase = 5432\n[s]\nport = %(base)s\n");
  EXPECT_EQ(ini.get_int("s", "port", 0), 5432);
}

class IniSyntaxErrors : public ::testing::Test {};

TEST_F(IniSyntaxErrors, DuplicateSectionFailsTheWholeFile) {
  EXPECT_EQ(parse_error("[a]\nx = 1\n[b]\n[a]\n"), "cfg.ini, line 4: section [a] already exists");
  EXPECT_NE(parse_error("[DEFAULT]\n[DEFAULT]\n"), "");
}

TEST_F(IniSyntaxErrors, DuplicateKeyInOneSectionFails) {
  EXPECT_EQ(parse_error("[a]\nPort = 1\nport: 2\n"),
            "cfg.ini, line 3: key 'port' already exists in section [a] (line 2)");
  EXPECT_EQ(parse_error("[a]\nport = 1\n[b]\nport = 2\n"), "");
}

TEST_F(IniSyntaxErrors, MalformedLinesNameTheLine) {
  EXPECT_EQ(parse_error("x = 1\n"),
            "cfg.ini, line 1: entry 'x = 1' before the first section header");
  EXPECT_EQ(parse_error("[a]\njust words\n"),
            "cfg.ini, line 2: expected 'key = value' or 'key: value', found 'just words'");
  EXPECT_EQ(parse_error("[a]\n= value\n"), "cfg.ini, line 2: missing key before '=' in '= value'");
  EXPECT_EQ(parse_error("[a\n"), "cfg.ini, line 1: malformed section header '[a'");
  EXPECT_EQ(parse_error("[]\n"), "cfg.ini, line 1: malformed section header '[]'");
}

TEST_F(IniSyntaxErrors, InvalidUtf8IsRejected) {
  EXPECT_EQ(parse_error("[a]\nname = \xC0\xAF\n"),
            "cfg.ini, line 2: invalid UTF-8 byte 0xC0 at column 8");
  EXPECT_EQ(parse_error("[a]\nname = 测试\n"), "");
}

class IniFileReading : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(IniFileReading, MissingFileIsFileNotFound) {
  EXPECT_THROW(IniFile::read_file(dir_ / "absent.ini"), FileNotFoundError);
  EXPECT_THROW(IniFile::read_file(dir_.path()), FileNotFoundError);
}

TEST_F(IniFileReading, ErrorsNameTheFile) {
  test::write_text(dir_ / "config.ini", "[a]\nx = 1\nx = 2\n");
  try {
    IniFile::read_file(dir_ / "config.ini");
    FAIL() << "duplicate key must fail";
  } catch (const IniError& e) {
    EXPECT_EQ(std::string(e.what()).rfind((dir_ / "config.ini").string() + ", line 3: ", 0), 0u)
        << e.what();
  }
}

class IniWriting : public ::testing::Test {};

TEST_F(IniWriting, WritesSectionsInOrderWithBlankLineAfterEach) {
  IniFile ini;
  ini.add_section("TSDBConnection");
  ini.set("TSDBConnection", "DBName", "tsdb_default");
  ini.set("Kestrane", "opc_host", "localhost");
  ini.set("Kestrane", "password", "");
  ini.set("TSDBConnection", "dbname", "other");
  EXPECT_EQ(
      ini.to_string(),
      "[TSDBConnection]\ndbname = other\n\n[Kestrane]\nopc_host = localhost\npassword = \n\n");
}

TEST_F(IniWriting, RewriteKeepsEverySectionAndRawValues) {
  const std::string text =
      "; comment dropped\n[DEFAULT]\nroot = /r\n[KestraneLogging]\nLog_Dir = %(root)s/log\n"
      "Level: INFO\n[Kestrane]\nlist = a\n  b\nrate = 50%%\n";
  const auto ini = IniFile::parse(text);
  const std::string written = ini.to_string();
  EXPECT_EQ(written,
            "[DEFAULT]\nroot = /r\n\n[KestraneLogging]\nlog_dir = %(root)s/log\nlevel = INFO\n\n"
            "[Kestrane]\nlist = a\n\tb\nrate = 50%%\n\n");
  const auto again = IniFile::parse(written);
  EXPECT_EQ(again.get("KestraneLogging", "log_dir"), "/r/log");
  EXPECT_EQ(again.get("Kestrane", "list"), "a\nb");
  EXPECT_EQ(again.get("Kestrane", "rate"), "50%");
}

TEST_F(IniWriting, RefusesValuesThatCouldNotBeReadBack) {
  IniFile ini;
  EXPECT_THROW(ini.set("s", "password", "50%off"), IniError);
  EXPECT_THROW(ini.set("s", "bad key=", "x"), IniError);
  EXPECT_THROW(ini.set("s", "", "x"), IniError);
  EXPECT_THROW(ini.set("s", "k", "a\r\nb"), IniError);
  EXPECT_THROW(ini.add_section("a]b"), IniError);
  EXPECT_NO_THROW(ini.set("s", "password", "50%%off"));
  EXPECT_EQ(ini.get("s", "password"), "50%off");
}

// Messages end up in logs that more people read than config.ini: they never show a password,
// and never more than a screenful of any line.
class IniErrorMessages : public ::testing::Test {
 protected:
  template <typename Read>
  static std::string error_of(Read read) {
    try {
      read();
    } catch (const IniError& e) {
      return e.what();
    }
    return "";
  }
};

TEST_F(IniErrorMessages, APasswordLineWithoutSeparatorIsNamedNotQuoted) {
  EXPECT_EQ(parse_error("[Kestrane]\nopc_user = u\nOPC_Password hunter2\n"),
            "cfg.ini, line 3: a line for opc_password without '=' or ':' (its text is not "
            "shown)");
  EXPECT_EQ(parse_error("password = hunter2\n[s]\n"),
            "cfg.ini, line 1: a line for password before the first section header (its text "
            "is not shown)");
  // The first word may be the password itself: then the key is not named either.
  for (const char* line :
       {"hunter2 opc_password", "[hunter2 password", "= hunter2Password", "hunter2password"}) {
    const std::string what = parse_error(std::string("[s]\n") + line + "\n");
    EXPECT_NE(what.find("cfg.ini, line 2: "), std::string::npos) << what;
    EXPECT_NE(what.find("(its text is not shown)"), std::string::npos) << what;
    EXPECT_EQ(what.find("hunter2"), std::string::npos) << what;
  }
}

TEST_F(IniErrorMessages, ALongLineIsCutTo200BytesWithItsLength) {
  const std::string megabyte(1 << 20, 'x');
  const std::string what = parse_error("[s]\n" + megabyte + "\n");
  EXPECT_EQ(what, "cfg.ini, line 2: expected 'key = value' or 'key: value', found '" +
                      std::string(200, 'x') + "\xE2\x80\xA6' (1048576 bytes in all)");
  EXPECT_NE(parse_error(megabyte + "=1\n").find("(1048578 bytes in all)"), std::string::npos);
  EXPECT_LT(parse_error("[" + megabyte + "\n").size(), 300u);
  EXPECT_LT(parse_error("[s]\n=" + megabyte + "\n").size(), 300u);
  EXPECT_LT(parse_error("[" + megabyte + "]\n[" + megabyte + "]\n").size(), 300u);

  const auto ini = IniFile::parse("[s]\nport = " + megabyte + "\nref = %(" + megabyte + ")s\n");
  EXPECT_LT(error_of([&] { ini.get_int("s", "port", 0); }).size(), 300u);
  EXPECT_LT(error_of([&] { ini.get_real("s", "port", 0); }).size(), 300u);
  EXPECT_LT(error_of([&] { ini.get_bool("s", "port", false); }).size(), 400u);
  EXPECT_LT(error_of([&] { ini.get("s", "ref"); }).size(), 700u);
}

TEST_F(IniErrorMessages, ACutNeverSplitsACharacter) {
  // "a" then two-byte characters: byte 200 is the middle of one.
  std::string line = "a";
  for (int i = 0; i < 300; ++i) line += "\xC3\xA9";
  const std::string what = parse_error("[s]\n" + line + "\n");
  std::string kept = "a";
  for (int i = 0; i < 99; ++i) kept += "\xC3\xA9";
  EXPECT_NE(what.find("found '" + kept + "\xE2\x80\xA6' (601 bytes in all)"), std::string::npos)
      << what;
}

TEST_F(IniErrorMessages, AValueThatIsOrDrawsOnAPasswordIsNeverQuoted) {
  const auto ini = IniFile::parse(
      "[s]\npassword = Hunter%Secret\nopc_password = HunterSecret\nDB_Password = Hunter%(x)s\n"
      "user = %(password)s\nport = %(opc_password)s\n"
      "name = plain\nplain_ref = %(name)s\n");
  const std::vector<std::function<void()>> reads = {
      [&] { ini.get("s", "password"); },
      [&] { ini.get("s", "db_password"); },
      [&] { ini.get("s", "user"); },
      [&] { ini.get_int("s", "opc_password", 0); },
      [&] { ini.get_real("s", "opc_password", 0); },
      [&] { ini.get_bool("s", "opc_password", false); },
      [&] { ini.get_int("s", "port", 0); },
  };
  for (const auto& read : reads) {
    const std::string what = error_of(read);
    EXPECT_NE(what, "");
    EXPECT_EQ(what.find("Secret"), std::string::npos) << what;
    EXPECT_EQ(what.find("Hunter"), std::string::npos) << what;
    EXPECT_NE(what.find("(hidden)"), std::string::npos) << what;
  }
  // A plain value is still quoted, so the operator sees what is wrong.
  EXPECT_NE(error_of([&] { ini.get_int("s", "name", 0); }).find("'plain'"), std::string::npos);
  EXPECT_TRUE(ini.is_secret("s", "password"));
  EXPECT_TRUE(ini.is_secret("s", "user"));
  EXPECT_TRUE(ini.is_secret("s", "port"));
  EXPECT_TRUE(ini.is_secret("s", "absent_password"));
  EXPECT_FALSE(ini.is_secret("s", "plain_ref"));
  EXPECT_FALSE(ini.is_secret("s", "absent"));
}

TEST_F(IniErrorMessages, WritingAPasswordThatCannotBeReadBackDoesNotQuoteIt) {
  IniFile ini;
  for (const char* value : {"Hunter%Secret", "Hunter\r\nSecret"}) {
    const std::string what = error_of([&] { ini.set("s", "opc_password", value); });
    EXPECT_NE(what, "");
    EXPECT_EQ(what.find("Secret"), std::string::npos) << what;
  }
}

}  // namespace
}  // namespace journel

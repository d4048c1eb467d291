#include "journel/ini_file_editor.h"

#include <gtest/gtest.h>

#include <string>

#include "journel/errors.h"
#include "journel/ini_file.h"
#include "test_support.h"

namespace journel {
namespace {

// A commented file shaped like the shipped config.ini.
constexpr char kCommented[] =
    "# Read from the base directory.\n"
    "\n"
    "[TSDBConnection]\n"
    "# The embedded TSDB.\n"
    "driver = sqlite\n"
    "DBName = kestrane_demo\n"
    "password = 50%%off\n"
    "\n"
    "[Kestrane]\n"
    "tag_csv_path = tags.csv\n"
    "# For OPC UA use e.g.\n"
    "#   opc_schema = opc.tcp://127.0.0.1:46011\n"
    "opc_schema = opc.da://localhost/OstrevoV2.1.0\n"
    "opc_type: OPC DA\n"
    "batch_size = 200\n"
    "\n"
    "# Logging of both programs.\n"
    "[KestraneLogging]\n"
    "level = INFO\n";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const auto pos = text.find(from);
  EXPECT_NE(pos, std::string::npos) << from;
  if (pos != std::string::npos) text.replace(pos, from.size(), to);
  return text;
}

class IniEditing : public ::testing::Test {};

TEST_F(IniEditing, ChangesOnlyTheValueOfAnExistingKey) {
  IniFileEditor editor(kCommented);
  EXPECT_TRUE(editor.set("Kestrane", "opc_schema", "opc.tcp://plant:4840"));
  // Key spelling and separator stay as written.
  EXPECT_TRUE(editor.set("Kestrane", "OPC_TYPE", "OPC UA"));
  EXPECT_TRUE(editor.set("TSDBConnection", "dbname", "plant"));
  std::string expected = replaced(kCommented, "opc_schema = opc.da://localhost/OstrevoV2.1.0",
                                  "opc_schema = opc.tcp://plant:4840");
  expected = replaced(expected, "opc_type: OPC DA", "opc_type: OPC UA");
  expected = replaced(expected, "DBName = kestrane_demo", "DBName = plant");
  EXPECT_EQ(editor.text(), expected);
}

TEST_F(IniEditing, ValueThatAlreadyReadsTheSameLeavesTheTextAlone) {
  IniFileEditor editor(kCommented);
  EXPECT_FALSE(editor.set("Kestrane", "opc_type", "OPC DA"));
  // Stored as 50%%off, read as 50%off.
  EXPECT_FALSE(editor.set("TSDBConnection", "password", "50%off"));
  EXPECT_EQ(editor.text(), kCommented);

  IniFileEditor interpolated("[DEFAULT]\nroot = /srv\n[s]\ndir = %(root)s/log\n");
  EXPECT_FALSE(interpolated.set("s", "dir", "/srv/log"));
  // Read through [DEFAULT] already: nothing to add to [s].
  EXPECT_FALSE(interpolated.set("s", "root", "/srv"));
  EXPECT_TRUE(interpolated.set("s", "root", "/opt"));
  EXPECT_EQ(interpolated.text(), "[DEFAULT]\nroot = /srv\n[s]\ndir = %(root)s/log\nroot = /opt\n");
}

TEST_F(IniEditing, MissingKeyFollowsTheLastEntryOfItsSection) {
  IniFileEditor editor(kCommented);
  EXPECT_TRUE(editor.set("Kestrane", "opc_port", "4841"));
  // Before the blank line and the comment that introduce the next section.
  EXPECT_EQ(editor.text(),
            replaced(kCommented, "batch_size = 200\n", "batch_size = 200\nopc_port = 4841\n"));

  IniFileEditor empty_section("[a]\n# nothing yet\n[b]\nx = 1\n");
  EXPECT_TRUE(empty_section.set("a", "k", "v"));
  EXPECT_EQ(empty_section.text(), "[a]\nk = v\n# nothing yet\n[b]\nx = 1\n");
}

TEST_F(IniEditing, MissingSectionIsAppendedAfterABlankLine) {
  IniFileEditor editor("[a]\nx = 1");  // no final line break
  EXPECT_TRUE(editor.set("Kestrane", "opc_host", "localhost"));
  EXPECT_EQ(editor.text(), "[a]\nx = 1\n\n[Kestrane]\nopc_host = localhost\n");

  IniFileEditor blank_end("[a]\nx = 1\n\n");
  blank_end.set("b", "y", "2");
  EXPECT_EQ(blank_end.text(), "[a]\nx = 1\n\n[b]\ny = 2\n");

  IniFileEditor nothing("");
  nothing.set("b", "y", "");
  EXPECT_EQ(nothing.text(), "[b]\ny =\n");
}

TEST_F(IniEditing, SectionNamesAreCaseSensitiveKeysAreNot) {
  IniFileEditor editor("[Kestrane]\nOpc_Host = a\n");
  editor.set("Kestrane", "OPC_HOST", "b");
  editor.set("kestrane", "opc_host", "c");
  EXPECT_EQ(editor.text(), "[Kestrane]\nOpc_Host = b\n\n[kestrane]\nopc_host = c\n");
}

TEST_F(IniEditing, PercentSignsAreWrittenSoThatTheyReadBack) {
  IniFileEditor editor("[s]\npassword = old\n");
  editor.set("s", "password", "100% %(x)s %%");
  EXPECT_EQ(editor.text(), "[s]\npassword = 100%% %%(x)s %%%%\n");
  EXPECT_EQ(IniFile::parse(editor.text()).get("s", "password"), "100% %(x)s %%");
}

TEST_F(IniEditing, ContinuedValuesAreReplacedWholeAndWrittenIndented) {
  IniFileEditor editor("[s]\n  list = one\n    two\n\n    ; about three\n    three\nnext = x\n");
  editor.set("s", "list", "alpha\nbeta");
  // The old continuation lines go; the comment between them stays.
  EXPECT_EQ(editor.text(), "[s]\n  list = alpha\n  \tbeta\n    ; about three\nnext = x\n");
  editor.set("s", "next", "first\n\n  second  ");
  const IniFile ini = IniFile::parse(editor.text());
  EXPECT_EQ(ini.get("s", "list"), "alpha\nbeta");
  EXPECT_EQ(ini.get("s", "next"), "first\n\nsecond");
}

TEST_F(IniEditing, LineBreaksAndByteOrderMarkAreKept) {
  IniFileEditor editor("\xEF\xBB\xBF[s]\r\n# note\r\na = 1\r\n");
  editor.set("s", "a", "2");
  editor.set("s", "b", "3");
  editor.set("t", "c", "4");
  EXPECT_EQ(editor.text(), "\xEF\xBB\xBF[s]\r\n# note\r\na = 2\r\nb = 3\r\n\r\n[t]\r\nc = 4\r\n");
}

TEST_F(IniEditing, EmptyValuesLoseTheirTrailingBlank) {
  IniFileEditor editor("[s]\npassword = secret\nuser =\n");
  editor.set("s", "password", "");
  editor.set("s", "user", "postgres");
  EXPECT_EQ(editor.text(), "[s]\npassword =\nuser = postgres\n");
}

TEST_F(IniEditing, RefusesWhatCouldNotBeReadBack) {
  IniFileEditor editor("[s]\na = 1\n");
  EXPECT_THROW(editor.set("s", "k", "a\r\nb"), IniError);
  EXPECT_THROW(editor.set("s", "k", "a\n# b"), IniError);
  EXPECT_THROW(editor.set("s", "bad key=", "x"), IniError);
  EXPECT_THROW(editor.set("s", "", "x"), IniError);
  EXPECT_THROW(editor.set("", "k", "x"), IniError);
  EXPECT_THROW(editor.set("a\nb", "k", "x"), IniError);
  EXPECT_EQ(editor.text(), "[s]\na = 1\n");
}

TEST_F(IniEditing, APasswordThatCannotBeWrittenIsNotQuoted) {
  IniFileEditor editor("[s]\na = 1\n");
  for (const char* value : {"Hunter\r\nSecret", "Hunter\n# Secret"}) {
    try {
      editor.set("s", "opc_password", value);
      ADD_FAILURE() << "must be refused";
    } catch (const IniError& e) {
      EXPECT_EQ(std::string(e.what()).find("Secret"), std::string::npos) << e.what();
    }
  }
}

TEST_F(IniEditing, MalformedFileIsRefusedBeforeAnyEdit) {
  EXPECT_THROW(IniFileEditor("[a]\nx = 1\nX = 2\n"), IniError);
  EXPECT_THROW(IniFileEditor("orphan = 1\n"), IniError);
  EXPECT_THROW(IniFileEditor("[a]\nname = \xC0\xAF\n"), IniError);
}

class IniEditorFile : public ::testing::Test {
 protected:
  test::TempDir dir_;
};

TEST_F(IniEditorFile, ReadsTheFileItEdits) {
  test::write_text(dir_ / "config.ini", kCommented);
  IniFileEditor editor = IniFileEditor::read_file(dir_ / "config.ini");
  EXPECT_EQ(editor.text(), kCommented);
  EXPECT_THROW(IniFileEditor::read_file(dir_ / "absent.ini"), FileNotFoundError);
  test::write_text(dir_ / "broken.ini", "[a]\n[a]\n");
  try {
    IniFileEditor::read_file(dir_ / "broken.ini");
    FAIL() << "a duplicate section must fail";
  } catch (const IniError& e) {
    EXPECT_NE(std::string(e.what()).find("broken.ini, line 2"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace journel

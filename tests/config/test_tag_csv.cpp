#include "config/tag_csv.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "database_readback.h"
#include "journel/errors.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace kestrane_config {
namespace {

using kestrane_test::TempDir;

std::vector<TagEntry> parse(std::string_view text) {
  std::vector<TagEntry> tags;
  parse_tag_csv(text, tags);
  return tags;
}

std::string format_error(std::string_view text) {
  try {
    parse(text);
  } catch (const TagCsvFormatError& e) {
    return e.what();
  }
  return "no error";
}

// "温度" (temperature) and "压力" (pressure) in UTF-8 and in GBK.
constexpr char kWenduUtf8[] = "\xE6\xB8\xA9\xE5\xBA\xA6";
constexpr char kWenduGbk[] = "\xCE\xC2\xB6\xC8";
constexpr char kYaliUtf8[] = "\xE5\x8E\x8B\xE5\x8A\x9B";
constexpr char kYaliGbk[] = "\xD1\xB9\xC1\xA6";

TEST(TagCsvParsing, ReadsRowsInFileOrderTrimmed) {
  EXPECT_EQ(parse("FullTagName,Description\n  Channel1.Device1.Temperature , Boiler temp \n"
                  "Channel1.Device1.Pressure,\n"),
            (std::vector<TagEntry>{{"Channel1.Device1.Temperature", "Boiler temp"},
                                   {"Channel1.Device1.Pressure", ""}}));
}

TEST(TagCsvParsing, ColumnOrderIsFreeAndOtherColumnsAreIgnored) {
  EXPECT_EQ(parse("Unit,Description,FullTagName\nbar,Pressure,P1,extra,fields\n"),
            (std::vector<TagEntry>{{"P1", "Pressure"}}));
}

TEST(TagCsvParsing, TheBrowseToolsDataTypeColumnIsIgnored) {
  // Standard types by name, others as quoted NodeId text, none for a variable without one; a
  // row cut before the column (edited by hand) still reads.
  EXPECT_EQ(parse("FullTagName,Description,DataType\nnsu=urn:a;s=T,Temp,Double\n"
                  "\"nsu=urn:a,b;s=S\",Drive,\"nsu=urn:a,b;i=3001\"\nns=2;s=U,,\nns=2;s=V,v\n"),
            (std::vector<TagEntry>{{"nsu=urn:a;s=T", "Temp"},
                                   {"nsu=urn:a,b;s=S", "Drive"},
                                   {"ns=2;s=U", ""},
                                   {"ns=2;s=V", "v"}}));
  // Beside the subscription columns, which keep their meaning.
  const auto tags = parse("DataType,FullTagName,Deadband,Description\nFloat,A,0.5,a\n");
  ASSERT_EQ(tags.size(), 1u);
  EXPECT_EQ(tags[0].deadband, 0.5);
  EXPECT_TRUE(tags[0].monitor_problem.empty());
}

TEST(TagCsvParsing, QuotedFieldsHoldCommasQuotesAndLineBreaks) {
  const auto tags = parse(
      "FullTagName,Description\r\n\"A,1\",\"say \"\"hi\"\"\"\r\n\"B\",\"two\r\nlines\"\r\nC,x\r\n");
  ASSERT_EQ(tags.size(), 3u);
  EXPECT_EQ(tags[0], (TagEntry{"A,1", "say \"hi\""}));
  EXPECT_EQ(tags[1], (TagEntry{"B", "two\nlines"}));
  EXPECT_EQ(tags[2], (TagEntry{"C", "x"}));
}

TEST(TagCsvParsing, QuoteInsideAnUnquotedFieldIsKept) {
  EXPECT_EQ(parse("FullTagName,Description\nA\"b,5\" pipe\n"),
            (std::vector<TagEntry>{{"A\"b", "5\" pipe"}}));
}

TEST(TagCsvParsing, EveryLineBreakConventionIsAccepted) {
  EXPECT_EQ(parse("FullTagName,Description\rA,1\rB,2"),
            (std::vector<TagEntry>{{"A", "1"}, {"B", "2"}}));
}

TEST(TagCsvParsing, DuplicatesAreKept) {
  EXPECT_EQ(parse("FullTagName,Description\nA,1\nA,2\n"),
            (std::vector<TagEntry>{{"A", "1"}, {"A", "2"}}));
}

TEST(TagCsvParsing, EmptyLinesAndBlankNamesAreSkipped) {
  EXPECT_EQ(parse("FullTagName,Description\n\nA,1\n\n   ,described but unnamed\n\"\",x\nB,2\n"),
            (std::vector<TagEntry>{{"A", "1"}, {"B", "2"}}));
}

TEST(TagCsvParsing, UnicodeWhiteSpaceIsTrimmed) {
  // U+3000 ideographic space and U+00A0 no-break space around the values.
  EXPECT_EQ(parse("FullTagName,Description\n\xE3\x80\x80T1\xC2\xA0,\xE3\x80\x80" +
                  std::string(kWenduUtf8) + "\xE3\x80\x80\n"),
            (std::vector<TagEntry>{{"T1", kWenduUtf8}}));
}

TEST(TagCsvParsing, HeaderOnlyGivesNoTags) {
  EXPECT_TRUE(parse("FullTagName,Description\n").empty());
  EXPECT_TRUE(parse("FullTagName,Description").empty());
}

class TagCsvRejects : public ::testing::Test {};

TEST_F(TagCsvRejects, EmptyTextHasNoHeader) {
  EXPECT_EQ(format_error(""), "the file is empty: no header row");
}

TEST_F(TagCsvRejects, MissingColumnsAreNamed) {
  for (const char* header :
       {"FullTagName\nA\n", "Description,Other\nx,y\n", "FullTagName, Description\nA,b\n",
        "fulltagname,description\n", "\nFullTagName,Description\n"}) {
    EXPECT_THROW(parse(header), TagCsvColumnsError) << header;
  }
  EXPECT_STREQ(TagCsvColumnsError().what(),
               "CSV file missing required columns: FullTagName, Description");
}

TEST_F(TagCsvRejects, ShortRowNamesTheLineAndTheMissingColumn) {
  EXPECT_EQ(format_error("FullTagName,Description\nA,1\n\"B\nb\",2\nC\nD,4\n"),
            "line 5 has no value for column 'Description' (1 of 2 fields)");
  EXPECT_EQ(format_error("Description,FullTagName\nonly\n"),
            "line 2 has no value for column 'FullTagName' (1 of 2 fields)");
}

TEST_F(TagCsvRejects, LineOfBlanksIsAShortRow) {
  EXPECT_EQ(format_error("FullTagName,Description\nA,1\n   \n"),
            "line 3 has no value for column 'Description' (1 of 2 fields)");
}

TEST_F(TagCsvRejects, RowsBeforeTheFailureStayAppended) {
  std::vector<TagEntry> tags;
  EXPECT_THROW(parse_tag_csv("FullTagName,Description\nA,1\nB\n", tags), TagCsvFormatError);
  EXPECT_EQ(tags, (std::vector<TagEntry>{{"A", "1"}}));
}

TEST_F(TagCsvRejects, UnclosedQuoteNamesWhereItOpened) {
  EXPECT_EQ(format_error("FullTagName,Description\nA,\"open\nstill open\n"),
            "line 2: quoted field is not closed before the end of the file");
}

TEST_F(TagCsvRejects, NulCharacter) {
  EXPECT_EQ(format_error(std::string("FullTagName,Description\nA,x\0y\n", 30)),
            "line 2 contains a NUL character");
}

class TagFileEncoding : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(TagFileEncoding, Utf8FileWithChineseIsReadAsUtf8) {
  const std::string body =
      std::string("FullTagName,Description\nT1,") + kWenduUtf8 + "\nT2," + kYaliUtf8 + "\n";
  const auto file = load_tag_csv_file(dir_.write("utf8.csv", body));
  EXPECT_EQ(file.encoding, "utf-8");
  EXPECT_EQ(file.tags, (std::vector<TagEntry>{{"T1", kWenduUtf8}, {"T2", kYaliUtf8}}));
}

TEST_F(TagFileEncoding, Utf8TextThatIsAlsoValidGbkStillReadsAsUtf8) {
  // These bytes also decode as GBK (into other characters); UTF-8 must win.
  const auto file = load_tag_csv_file(
      dir_.write("both.csv", std::string("FullTagName,Description\nT1,") + kWenduUtf8 + "\n"));
  EXPECT_EQ(file.encoding, "utf-8");
  EXPECT_EQ(file.tags.at(0).description, kWenduUtf8);
}

TEST_F(TagFileEncoding, GbkFileIsConvertedToUtf8) {
  const std::string body =
      std::string("FullTagName,Description\nT1,") + kWenduGbk + "\nT2," + kYaliGbk + "\n";
  const auto file = load_tag_csv_file(dir_.write("gbk.csv", body));
  EXPECT_EQ(file.encoding, "gbk");
  EXPECT_EQ(file.tags, (std::vector<TagEntry>{{"T1", kWenduUtf8}, {"T2", kYaliUtf8}}));
}

TEST_F(TagFileEncoding, LeadingByteOrderMarkIsDropped) {
  const auto file = load_tag_csv_file(
      dir_.write("bom.csv", std::string("\xEF\xBB\xBF") + "FullTagName,Description\nT1,x\n"));
  EXPECT_EQ(file.encoding, "utf-8");
  EXPECT_EQ(file.tags, (std::vector<TagEntry>{{"T1", "x"}}));
}

TEST_F(TagFileEncoding, BytesThatAreNeitherUtf8NorGbkFailToDecode) {
  const auto path = dir_.write("bad.csv", "FullTagName,Description\nT1,\xFF\xFF\n");
  try {
    read_tag_file(path);
    FAIL() << "decoded";
  } catch (const TagFileDecodeError& e) {
    EXPECT_EQ(std::string(e.what()), "Failed to decode CSV file: " + path.string());
  }
}

TEST_F(TagFileEncoding, GbkCutInTheMiddleOfACharacterFailsToDecode) {
  EXPECT_THROW(
      read_tag_file(dir_.write("cut.csv", std::string("FullTagName,Description\nT1,") + "\xCE")),
      TagFileDecodeError);
}

TEST_F(TagFileEncoding, MissingFileIsAnIoError) {
  EXPECT_THROW(read_tag_file(dir_.path() / "absent.csv"), journel::FileNotFoundError);
}

TEST_F(TagFileEncoding, LargeFileLoadsEveryRow) {
  std::string body = "FullTagName,Description\n";
  for (int i = 1; i <= 20000; ++i) body += "Demo.Tag" + std::to_string(i) + ",d\n";
  EXPECT_EQ(load_tag_csv_file(dir_.write("big.csv", body)).tags.size(), 20000u);
}

}  // namespace
}  // namespace kestrane_config

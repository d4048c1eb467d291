// The check of a tag list before import: which lines it names for duplicate, missing and
// over-long tag names and for bytes that are no text, and how it words them.

#include <QTest>
#include <string>
#include <vector>

#include "Kestrane/taglistcheck.h"
#include "config/tag_csv.h"
#include "testsupport.h"

namespace {

std::vector<TagListProblem> problems_of(const std::string& text) {
  std::vector<kestrane_config::TagEntry> tags;
  kestrane_config::parse_tag_csv(text, tags);
  return find_tag_list_problems(text, tags);
}

std::vector<std::size_t> lines_of(const std::vector<TagListProblem>& problems) {
  std::vector<std::size_t> lines;
  for (const TagListProblem& problem : problems) lines.push_back(problem.line);
  return lines;
}

}  // namespace

class TestTagListCheck : public QObject {
  Q_OBJECT

 private slots:
  void CleanListHasNoProblems() {
    QVERIFY(problems_of("FullTagName,Description\nA,x\nB,\n\n\"C,1\",\"two\nlines\"\n").empty());
    QVERIFY(problems_of("FullTagName,Description\n").empty());
  }

  void NamesTheLinesOfEachProblem() {
    const std::string long_name(kMaxTagNameLength + 1, 'x');
    const auto problems = problems_of(
        "FullTagName,Description\n"  // 1
        "A,first\n"                  // 2
        "  ,no name\n"               // 3
        "\n"                         // 4
        "A,again\n" +                // 5
        long_name +
        ",long\n" +  // 6
        "B,\n");     // 7
    QCOMPARE(lines_of(problems), (std::vector<std::size_t>{3, 5, 6}));
    QCOMPARE(problems[0].what, std::string("no FullTagName"));
    QCOMPARE(problems[1].what, std::string("'A' is listed again (first on line 2)"));
    QCOMPARE(problems[2].what, std::string("the tag name is longer than 255 characters"));
  }

  void LinesCountInsideQuotedFieldsAndEveryLineBreak() {
    const auto problems = problems_of(
        "Description,FullTagName\r\n"    // 1
        "\"spans\r\ntwo lines\",A\r\n"   // 2-3
        "\"quote \"\" and, comma\",A\r"  // 4
        "x,\"\"\n");                     // 5
    QCOMPARE(lines_of(problems), (std::vector<std::size_t>{4, 5}));
  }

  void NameLengthCountsCharactersNotBytes() {
    std::string chinese;
    for (std::size_t i = 0; i < kMaxTagNameLength; ++i) chinese += "温";
    QVERIFY(problems_of("FullTagName,Description\n" + chinese + ",\n").empty());
    QCOMPARE(problems_of("FullTagName,Description\n" + chinese + "度,\n").size(), std::size_t{1});
  }

  void UndecodableLinesAreNamed() {
    const auto problems =
        find_undecodable_lines("FullTagName,Description\r\nA,\xFF\nB,ok\rC,\xC0\xAF\n");
    QCOMPARE(lines_of(problems), (std::vector<std::size_t>{2, 4}));
    // Bytes that fail only as a whole (a cut-off sequence at the very end) still say so.
    QCOMPARE(find_undecodable_lines("A\n\xE6\x97").front().line, std::size_t{2});
  }

  void DescriptionListsTheFirstFewAndCountsTheRest() {
    std::vector<TagListProblem> problems;
    for (std::size_t line = 2; line < 10; ++line) problems.push_back({line, "bad"});
    QCOMPARE(describe_tag_list_problems(problems, 3),
             std::string("line 2: bad\nline 3: bad\nline 4: bad\n... and 5 more"));
    QCOMPARE(describe_tag_list_problems({{0, "whole file"}}, 3), std::string("whole file"));
  }
};

KESTRANE_TEST_MAIN(TestTagListCheck)
#include "tst_taglistcheck.moc"

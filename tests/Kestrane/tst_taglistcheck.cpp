// What the desktop says about a tag list beside importing it: which lines it names for a
// repeated tag name (and that it names nothing else), the lines of bytes that are no text, and
// how it words them.

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
  return find_repeated_names(text, tags);
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
  void ListWithoutRepeatsHasNoProblems() {
    QVERIFY(problems_of("FullTagName,Description\nA,x\nB,\n\n\"C,1\",\"two\nlines\"\n").empty());
    QVERIFY(problems_of("FullTagName,Description\n").empty());
    // Rows without a name are skipped as the loader skips them, and a name has no length
    // limit: neither is named.
    QVERIFY(problems_of("FullTagName,Description\n  ,no name\n,\n" +
                        std::string(kMaxTagNameLength + 100, 'x') + ",long\n")
                .empty());
  }

  void NamesEachRepeatWithItsFirstLine() {
    const std::string long_name(kMaxTagNameLength + 1, 'x');
    std::string text = "FullTagName,Description\n";  // 1
    text += "A,first\n";                             // 2
    text += "  ,no name\n";                          // 3
    text += "\n";                                    // 4
    text += "A,again\n";                             // 5
    text += long_name + ",long\n";                   // 6
    text += "B,\n";                                  // 7
    text += long_name + ",again\n";                  // 8
    text += " A ,third\n";                           // 9
    const auto problems = problems_of(text);
    QCOMPARE(lines_of(problems), (std::vector<std::size_t>{5, 8, 9}));
    QCOMPARE(problems[0].what, std::string("'A' is listed again (first on line 2)"));
    QCOMPARE(problems[2].what, std::string("'A' is listed again (first on line 2)"));
  }

  void LinesCountInsideQuotedFieldsAndEveryLineBreak() {
    const auto problems = problems_of(
        "Description,FullTagName\r\n"    // 1
        "\"spans\r\ntwo lines\",A\r\n"   // 2-3
        "x,\"\"\n"                       // 4: no name
        "\"quote \"\" and, comma\",A\r"  // 5
        "y,B\n");                        // 6
    QCOMPARE(lines_of(problems), (std::vector<std::size_t>{5}));
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
    QCOMPARE(describe_tag_list_problems(problems, 2, "; "),
             std::string("line 2: bad; line 3: bad; ... and 6 more"));
  }
};

KESTRANE_TEST_MAIN(TestTagListCheck)
#include "tst_taglistcheck.moc"

#pragma once
// TagListWriter: writes Kestrane's CSV tag list (FullTagName,Description,DataType; the reader
// ignores the data type, there for people) to a stream, in
// UTF-8 and quoted as the tag-list reader expects, whatever bytes a server's names hold.
// Borrows the stream; one thread.

#include <ostream>
#include <string>
#include <string_view>

namespace kestrane_browse {

class TagListWriter {
 public:
  // Writes the header row at once.
  explicit TagListWriter(std::ostream& out);

  // Writes one row. Returns false, writing nothing, when `full_tag_name` would not read
  // back as the same text (invalid UTF-8, control characters, surrounding white space).
  bool write(std::string_view full_tag_name, std::string_view description,
             std::string_view data_type = {});

  // `text` as valid UTF-8 on one line: invalid bytes become U+FFFD, control characters
  // (C0, DEL, C1) a space.
  static std::string clean(std::string_view text);
  // Whether `name` survives writing and reading back unchanged.
  static bool writable_name(std::string_view name);

 private:
  void field(std::string_view text);

  std::ostream& out_;
};

}  // namespace kestrane_browse

#pragma once
// Writes a `ConfigValue` object as config text (see config_text_parser.h), the way the
// settings files are written:
//
//   StringStream stream(allocator);
//   write_config_text(*settings, stream, true);
//   Array<char> &text = stream.bytes();   // then written to the file
//
// Every root member goes on its own line after a line feed, as `key = value`, and the
// text ends with a line feed (a root without members is a single line feed). Keys made
// only of ASCII letters, digits and "_" are written bare, others quoted. Objects are
// written one member per line, indented with tabs; arrays likewise when
// `arrays_on_lines` is set, else on one line. Strings and byte data are quoted with only
// `"` and `\` escaped. Floats keep six significant digits, so a float with an integral
// value (2.0) reads back as an integer. Numbers are written in the "C" locale whatever
// the process's locale.

#include "foundation/containers/array.h"
#include "foundation/config/config_value.h"

#include <ostream>
#include <streambuf>

namespace tallow {

/// A stream buffer that appends every character to an `Array` of bytes.
class StringStreamBuf final : public std::streambuf {
  public:
    explicit StringStreamBuf(Allocator &allocator) : _bytes(allocator) {}
    Array<char> &bytes() { return _bytes; }

  protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char *s, std::streamsize n) override;

  private:
    Array<char> _bytes;
};

/// An output stream collecting its characters in memory (see `bytes`); "C" locale.
class StringStream final : public std::ostream {
  public:
    explicit StringStream(Allocator &allocator);
    /// Everything written so far (not zero-terminated).
    Array<char> &bytes() { return _buffer.bytes(); }

  private:
    StringStreamBuf _buffer;
};

/// Writes the members of the object `root` to `stream`. A root of another kind is
/// written as an empty root (a single line feed).
void write_config_text(const ConfigValue &root, std::ostream &stream, bool arrays_on_lines);

} // namespace tallow

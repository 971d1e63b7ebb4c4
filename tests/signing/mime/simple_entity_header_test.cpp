// Entity headers read without GMime, against GMime itself: over a generated corpus of header
// fields (plain forms, near misses, case variants, folds, quoted boundaries, repeats, digest
// children), the plain reader gives exactly GMime's result wherever it answers, and it answers
// exactly for the plain forms.

#include "norvan/signing/mime/simple_entity_header.hpp"

#include "norvan/signing/mime/entity_header.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace norvan::signing::mime::detail {
namespace {

// A piece of a header field, and whether it keeps the field in the plain form.
struct Piece {
  std::string text;
  bool plain;
};

const std::vector<Piece> kTypes = {
    {"text/plain", true},
    {"TEXT/Plain", true},
    {"multipart/mixed", true},
    {"multipart/signed", true},
    {"Multipart/Digest", true},
    {"multipart/digest", true},
    {"multipart/alternative", true},
    {"multipart/x-custom", true},
    {"message/rfc822", true},
    {"Message/RFC822", true},
    {"application/pkcs7-signature", true},
    {"application/x-pkcs7-signature", true},
    {"Application/X-PKCS7-Signature", true},
    {"application/pkcs7-mime", true},
    {"image/png", true},
    {"text/html", true},
    {"x-a.b+c/y_z~1", true},
    {"text", false},
    {"text/plain/x", false},
    {"text/", false},
    {"/plain", false},
    {"text /plain", false},
    {"text/ plain", false},
    {"text/plain (comment)", false},
    {"(comment) text/plain", false},
    {"message/partial", false},
    {"message/news", false},
    {"message/global", false},
    {"message/delivery-status", false},
    {"multipart", false},
    {"\"text/plain\"", false},
    {"text/pla\x01in", false},
    {"t\xc3\xa9xt/plain", false},
    {"=?utf-8?q?text?=/plain", false},
    {"", false},
    {"text/*", false},
    {"multipart/*", false},
};

const std::vector<Piece> kParameters = {
    {"", true},
    {";", true},
    {"; ", true},
    {"; charset=utf-8", true},
    {"; charset=\"utf-8\"", true},
    {"; boundary=abc", true},
    {"; BOUNDARY=abc", true},
    {"; Boundary=\"a b c\"", true},
    {"; boundary=\"----=_Part_1_2.3\"", true},
    {"; boundary=\"===============1234567890==\"", true},
    {"; boundary=\"'()+_,-./:?= \"", true},
    {"; protocol=\"application/x-pkcs7-signature\"; micalg=sha-256; boundary=\"----ABC\"", true},
    {"; protocol=\"application/pkcs7-signature\"; micalg=\"sha-256\";\n boundary=\"------------ms0123\"",
     true},
    {";\n boundary=\"x\"", true},
    {";\r\n\tboundary=x", true},
    {"; boundary=x;", true},
    {"; boundary=x; ", true},
    {"; boundary=x;\n ", true},
    {"; boundary=x\t", true},
    {"\t; boundary=x", true},
    {" ;boundary=x", true},
    {"; charset=us-ascii;boundary=x", true},
    {"; boundary=abc; boundary=def", false},
    {"; boundary=abc; BOUNDARY=abc", false},
    {"; boundary=\"\"", false},
    {"; boundary=", false},
    {"; boundary = abc", false},
    {"; boundary= abc", false},
    {"; boundary =abc", false},
    {"; boundary=\"a\\\"b\"", false},
    {"; boundary=\"a\\b\"", false},
    {"; boundary*=us-ascii''abc", false},
    {"; boundary*0=ab; boundary*1=cd", false},
    {"; boundary=\"=?utf-8?q?abc?=\"", false},
    {"; boundary=abc (comment)", false},
    {"; boundary=\"abc", false},
    {"; boundary=a\"bc", false},
    {"; boundary=\"ab\n cd\"", false},
    {"; =abc", false},
    {"; boundary", false},
    {"; boundary=abc def", false},
    {";; boundary=abc", false},
    {"; boundary=\"ab\x7f\"", false},
    {"; boundary=\"\xc3\xa9\"", false},
    {"; boundary=ab/cd", false},
    {"; boundary=\"a\rb\"", false},
    {" boundary=abc", false},
    {"; boundary=abc\n", false},
};

const std::vector<Piece> kEncodings = {
    {"base64", true},
    {"BASE64", true},
    {"Base64", true},
    {"  base64  ", true},
    {"7bit", true},
    {"8BIT", true},
    {"binary", true},
    {"quoted-printable", true},
    {"Quoted-Printable", true},
    {"\n base64", true},
    {"base64\n ", true},
    {"7-bit", false},
    {"8-bit", false},
    {"x-uuencode", false},
    {"uuencode", false},
    {"x-uue", false},
    {"base64 (comment)", false},
    {"bogus", false},
    {"", false},
    {"base 64", false},
    {"base64;", false},
    {"\"base64\"", false},
    {"bas\xc3\xa9", false},
};

const std::vector<Piece> kTypeNames = {
    {"Content-Type:", true}, {"content-type:", true},   {"CONTENT-TYPE:", true},
    {"Content-type:", true}, {"Content-Type :", false}, {"Content-Type\t:", false},
};

const std::vector<Piece> kValueStarts = {
    {" ", true}, {"", true}, {"\t", true}, {"\n ", true}, {"  \r\n\t ", true}};

struct Case {
  std::string fields;
  bool in_digest_type = false;
  bool in_digest_text = false;
  bool plain = true;
};

// `text` with its line ends as written, or all of them CR LF.
std::string with_line_ends(const std::string& text, bool crlf) {
  if (!crlf) return text;
  std::string result;
  for (std::size_t index = 0; index < text.size(); ++index) {
    if (text[index] == '\n' && (index == 0 || text[index - 1] != '\r')) result += '\r';
    result += text[index];
  }
  return result;
}

Case field_case(const Piece& name, const Piece& start, const Piece& type, const Piece& parameters,
                bool crlf) {
  Case result;
  result.fields = with_line_ends(name.text + start.text + type.text + parameters.text + "\n", crlf);
  result.plain = name.plain && start.plain && type.plain && parameters.plain;
  return result;
}

std::string encoding_field(const Piece& encoding, bool crlf) {
  return with_line_ends("Content-Transfer-Encoding: " + encoding.text + "\n", crlf);
}

std::string escaped(const std::string& text) {
  std::string result;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      result += "\\n";
    } else if (c == '\r') {
      result += "\\r";
    } else if (c == '\t') {
      result += "\\t";
    } else if (byte < 32 || byte >= 127) {
      result += "\\x" + std::string(1, "0123456789abcdef"[byte >> 4]) + "0123456789abcdef"[byte & 15];
    } else {
      result += c;
    }
  }
  return result;
}

std::string described(const EntityHeader& header) {
  const char* kinds[] = {"multipart", "message", "part"};
  return std::string(kinds[static_cast<int>(header.kind)]) + " type=" + header.type +
         " boundary=" + (header.boundary ? "\"" + *header.boundary + "\"" : "none") +
         " digest=" + (header.digest ? "1" : "0") +
         " encoding=" + std::to_string(static_cast<int>(header.encoding));
}

// Checks one case: the plain reader answers exactly for the plain forms, with GMime's result.
// Returns whether it answered.
bool check(const Case& c) {
  const std::optional<EntityHeader> simple =
      read_simple_entity_header(c.fields, c.in_digest_type, c.in_digest_text);
  const std::string where = "fields \"" + escaped(c.fields) + "\" digest " +
                            std::to_string(c.in_digest_type) + std::to_string(c.in_digest_text);
  EXPECT_EQ(simple.has_value(), c.plain) << where;
  if (simple) {
    const EntityHeader gmime = read_entity_header_with_gmime(c.fields, c.in_digest_type, c.in_digest_text);
    EXPECT_EQ(described(*simple), described(gmime)) << where;
  }
  return simple.has_value();
}

TEST(SimpleEntityHeader, TypesAndParametersAsGMimeReadsThem) {
  int answered = 0;
  for (const Piece& type : kTypes) {
    for (const Piece& parameters : kParameters) {
      for (const bool crlf : {false, true}) {
        Case c = field_case(kTypeNames[0], kValueStarts[0], type, parameters, crlf);
        answered += check(c);
        c.in_digest_type = c.in_digest_text = true;
        answered += check(c);
      }
    }
  }
  EXPECT_GT(answered, 1000);
}

TEST(SimpleEntityHeader, FieldNamesValueStartsAndLineEnds) {
  for (const Piece& name : kTypeNames) {
    for (const Piece& start : kValueStarts) {
      for (const Piece& type : {kTypes[1], kTypes[3], kTypes[8], kTypes[11], kTypes[19]}) {
        for (const Piece& parameters : {kParameters[0], kParameters[6], kParameters[13], kParameters[22]}) {
          for (const bool crlf : {false, true}) check(field_case(name, start, type, parameters, crlf));
        }
      }
    }
  }
}

TEST(SimpleEntityHeader, TransferEncodingsWithAndWithoutContentType) {
  for (const Piece& encoding : kEncodings) {
    for (const bool crlf : {false, true}) {
      for (const int digest : {0, 1, 2, 3}) {
        // Without a Content-Type field: the default type, in a digest or not.
        Case alone{encoding_field(encoding, crlf), (digest & 1) != 0, (digest & 2) != 0, encoding.plain};
        check(alone);
        for (const Piece& type : {kTypes[0], kTypes[2], kTypes[5], kTypes[8], kTypes[11], kTypes[25]}) {
          Case before = field_case(kTypeNames[0], kValueStarts[0], type, kParameters[5], crlf);
          before.fields += encoding_field(encoding, crlf);
          before.plain = before.plain && encoding.plain;
          before.in_digest_type = (digest & 1) != 0;
          before.in_digest_text = (digest & 2) != 0;
          check(before);
          Case after = before;
          after.fields = encoding_field(encoding, crlf) +
                         field_case(kTypeNames[0], kValueStarts[0], type, kParameters[5], crlf).fields;
          check(after);
        }
      }
    }
  }
}

TEST(SimpleEntityHeader, NoFieldsAndRepeatedFields) {
  for (const int digest : {0, 1, 2, 3}) {
    check({"", (digest & 1) != 0, (digest & 2) != 0, true});
    // GMime decides by the first and the last field of each kind: repeats are left to it.
    check({"Content-Type: text/plain\nContent-Type: multipart/mixed; boundary=x\n", (digest & 1) != 0,
           (digest & 2) != 0, false});
    check({"Content-Type: multipart/mixed; boundary=x\nContent-Type: multipart/mixed; boundary=y\n",
           (digest & 1) != 0, (digest & 2) != 0, false});
    check({"Content-Transfer-Encoding: base64\nContent-Type: text/plain\nContent-Transfer-Encoding: 7bit\n",
           (digest & 1) != 0, (digest & 2) != 0, false});
  }
  // Other fields never reach the reader; when they do, they are left to GMime.
  check({"Content-Disposition: attachment\n", false, false, false});
  check({"Content-Type: text/plain\nX: y\n", false, false, false});
  // A field without its final line end, a stray CR, or a field longer than the bound.
  check({"Content-Type: text/plain", false, false, false});
  check({"Content-Type: text/plain\r\r\n", false, false, false});
  check({"Content-Type: multipart/mixed; boundary=" + std::string(5000, 'b') + "\n", false, false, false});
}

// Random assemblies of the pieces above, so that pieces meet in combinations the tables do not
// list.
TEST(SimpleEntityHeader, RandomAssembliesAgreeWithGMime) {
  std::mt19937 random(20261208);
  const auto pick = [&random](const std::vector<Piece>& pieces) -> const Piece& {
    return pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(random)];
  };
  for (int round = 0; round < 3000; ++round) {
    const bool crlf = random() % 2 == 0;
    Case c = field_case(pick(kTypeNames), pick(kValueStarts), pick(kTypes), pick(kParameters), crlf);
    if (random() % 3 == 0) {
      const Piece& encoding = pick(kEncodings);
      const std::string field = encoding_field(encoding, crlf);
      c.fields = random() % 2 == 0 ? c.fields + field : field + c.fields;
      c.plain = c.plain && encoding.plain;
    }
    c.in_digest_type = random() % 4 == 0;
    c.in_digest_text = c.in_digest_type ? random() % 8 != 0 : random() % 8 == 0;
    check(c);
  }
}

// Plausible fields built at random, half of them then changed in one character: wherever the
// plain reader answers, GMime agrees.
TEST(SimpleEntityHeader, RandomFieldTextAgreesWithGMime) {
  const std::vector<std::string> types = {"text", "Multipart", "message", "application", "x-y"};
  const std::vector<std::string> subtypes = {"plain",  "mixed",  "digest",
                                             "RFC822", "signed", "pkcs7-signature"};
  const std::vector<std::string> names = {"boundary", "BOUNDARY", "charset", "protocol", "micalg", "name"};
  const std::vector<std::string> values = {"abc",  "\"a b\"", "\"----=_x\"", "sha-256", "\"application/x\"",
                                           "\"\"", "x.y"};
  const std::vector<std::string> spaces = {"", " ", "\t", "\n ", "\r\n\t", "  "};
  const std::string changes = " \t\r\n;=\"\\()/*?%'ab\x01\xe9";
  std::mt19937 random(5322);
  const auto any = [&random](const auto& list) { return list[random() % list.size()]; };
  int answered = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string value = any(spaces) + any(types) + "/" + any(subtypes);
    for (int count = static_cast<int>(random() % 4); count > 0; --count) {
      value += any(spaces) + ";" + any(spaces) + any(names) + "=" + any(values);
    }
    if (random() % 2 == 0 && !value.empty()) {
      const std::size_t at = random() % value.size();
      const char change = changes[random() % changes.size()];
      switch (random() % 3) {
        case 0:
          value.insert(value.begin() + static_cast<long>(at), change);
          break;
        case 1:
          value.erase(at, 1);
          break;
        default:
          value[at] = change;
      }
    }
    std::string fields = "Content-Type:" + value + "\n";
    if (random() % 3 == 0)
      fields += "Content-Transfer-Encoding: " +
                any(std::vector<std::string>{"base64", "7bit", "quoted-printable"}) + "\n";
    const bool in_digest = random() % 4 == 0;
    const std::optional<EntityHeader> simple = read_simple_entity_header(fields, in_digest, in_digest);
    if (!simple) continue;
    ++answered;
    EXPECT_EQ(described(*simple), described(read_entity_header_with_gmime(fields, in_digest, in_digest)))
        << "fields \"" << escaped(fields) << "\"";
  }
  EXPECT_GT(answered, 5000);
}

}  // namespace
}  // namespace norvan::signing::mime::detail

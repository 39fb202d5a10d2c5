// Test helper: just enough of the DNS wire format to send a query and to answer one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnley::test::dns {

inline void Put16(std::string& out, unsigned value) {
  out += static_cast<char>(value >> 8 & 0xFF);
  out += static_cast<char>(value & 0xFF);
}

inline void PutName(std::string& out, std::string_view name) {
  while (!name.empty()) {
    const auto dot = name.find('.');
    const std::string_view label = name.substr(0, dot);
    out += static_cast<char>(label.size());
    out += label;
    if (dot == std::string_view::npos) break;
    name.remove_prefix(dot + 1);
  }
  out += '\0';
}

inline std::string Query(unsigned id, std::string_view name, unsigned type) {
  std::string q;
  Put16(q, id);
  Put16(q, 0x0100);  // recursion desired
  Put16(q, 1);
  Put16(q, 0);
  Put16(q, 0);
  Put16(q, 0);
  PutName(q, name);
  Put16(q, type);
  Put16(q, 1);
  return q;
}

// The id, the question section (as bytes) and the type of a query; nullopt when it is none.
struct Question {
  unsigned id = 0;
  std::string section;  // name, type and class, as sent
  unsigned type = 0;
};

inline std::optional<Question> ParseQuery(std::string_view q) {
  if (q.size() < 12) return std::nullopt;
  Question question;
  question.id = static_cast<unsigned char>(q[0]) << 8 | static_cast<unsigned char>(q[1]);
  std::size_t pos = 12;
  while (pos < q.size() && q[pos] != 0) pos += 1 + static_cast<unsigned char>(q[pos]);
  if (pos + 5 > q.size()) return std::nullopt;
  question.type =
      static_cast<unsigned char>(q[pos + 1]) << 8 | static_cast<unsigned char>(q[pos + 2]);
  question.section = std::string(q.substr(12, pos + 5 - 12));
  return question;
}

// A reply to the question: flags as given, then `count` A records of 127.0.0.x (x from 1),
// each pointing back at the question's name.
inline std::string Reply(const Question& question, unsigned flags, unsigned count) {
  std::string r;
  Put16(r, question.id);
  Put16(r, flags);
  Put16(r, 1);
  Put16(r, count);
  Put16(r, 0);
  Put16(r, 0);
  r += question.section;
  for (unsigned i = 0; i < count; ++i) {
    Put16(r, 0xC00C);  // the name at offset 12
    Put16(r, 1);
    Put16(r, 1);
    Put16(r, 0);
    Put16(r, 60);  // TTL
    Put16(r, 4);
    r += '\x7F';
    r += '\0';
    r += static_cast<char>((i + 1) >> 8 & 0xFF);
    r += static_cast<char>((i + 1) & 0xFF);
  }
  return r;
}

}  // namespace varnley::test::dns

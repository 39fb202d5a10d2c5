#include "smtp/IdEMailAddress.h"

#include "platform/Text.h"

namespace varnley {

namespace {

// Removes one pair of surrounding quotes and the backslash escapes inside them.
std::string Unquote(std::string_view s) {
  if (s.size() < 2 || s.front() != '"' || s.back() != '"') return std::string(s);
  std::string out;
  for (std::size_t i = 1; i + 1 < s.size(); ++i) {
    if (s[i] == '\\' && i + 2 < s.size()) ++i;
    out += s[i];
  }
  return out;
}

// Names made only of these need no quotes in a header.
bool IsAtomText(std::string_view s) {
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    const bool plain = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
                       std::string_view(" !#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
    if (!plain) return false;
  }
  return true;
}

}  // namespace

void TIdEmailAddressItem::SetText(std::string_view text) {
  Name.clear();
  Address.clear();
  const std::string trimmed = Trim(text);
  std::string_view s = trimmed;
  // The angle bracket that matters is the last one outside quotes.
  std::size_t open = std::string_view::npos;
  bool quoted = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && quoted) {
      ++i;
    } else if (s[i] == '"') {
      quoted = !quoted;
    } else if (s[i] == '<' && !quoted) {
      open = i;
    }
  }
  if (open == std::string_view::npos) {
    Address = Trim(s);
    return;
  }
  std::size_t close = s.find('>', open + 1);
  if (close == std::string_view::npos) close = s.size();
  Address = Trim(s.substr(open + 1, close - open - 1));
  Name = Unquote(Trim(s.substr(0, open)));
}

std::string TIdEmailAddressItem::Text() const {
  if (Name.empty()) return Address;
  std::string out;
  if (IsAtomText(Name)) {
    out = Name;
  } else {
    out = "\"";
    for (char c : Name) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  return out + " <" + Address + ">";
}

void TIdEmailAddressList::SetEmailAddresses(std::string_view text) {
  items_.clear();
  std::size_t start = 0;
  bool quoted = false;
  bool inAngle = false;
  auto flush = [&](std::size_t end) {
    const std::string item = Trim(text.substr(start, end - start));
    if (!item.empty()) {
      TIdEmailAddressItem parsed;
      parsed.SetText(item);
      if (!parsed.Empty()) items_.push_back(std::move(parsed));
    }
    start = end + 1;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        quoted = false;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == '<') {
      inAngle = true;
    } else if (c == '>') {
      inAngle = false;
    } else if ((c == ',' || c == ';') && !inAngle) {
      flush(i);
    }
  }
  if (start <= text.size()) flush(text.size());
}

std::string TIdEmailAddressList::EmailAddresses() const {
  std::string out;
  for (const auto& item : items_) {
    if (!out.empty()) out += ", ";
    out += item.Text();
  }
  return out;
}

}  // namespace varnley

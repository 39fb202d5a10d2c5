// Email addresses of a message: one item (display name and address) and the list parsed from a
// user's text such as `a@x.org; "Doe, Jo" <jo@y.org>`.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace varnley {

struct TIdEmailAddressItem {
  std::string Name;
  std::string Address;

  // Takes `address`, `Name <address>` or `"Name" <address>`.
  void SetText(std::string_view text);
  // The header form: the bare address, or the quoted name followed by <address>.
  std::string Text() const;
  bool Empty() const { return Name.empty() && Address.empty(); }
};

class TIdEmailAddressList {
 public:
  // Replaces the list with the items of a text separated by "," or ";" (separators inside
  // quotes or angle brackets do not count; empty items are skipped).
  void SetEmailAddresses(std::string_view text);
  // The header form: the items' Text() joined by ", ".
  std::string EmailAddresses() const;

  void Add(TIdEmailAddressItem item) { items_.push_back(std::move(item)); }
  void Clear() { items_.clear(); }
  std::size_t Count() const { return items_.size(); }
  const TIdEmailAddressItem& operator[](std::size_t i) const { return items_[i]; }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::vector<TIdEmailAddressItem> items_;
};

}  // namespace varnley

#include "platform/FileAccess.h"

namespace varnley {

WriteDecision DecideWrite(const FileFacts& facts) {
  if (!facts.exists) return {};
  if (!facts.regular) return {WriteMethod::Refuse, "not a regular file"};
  if (!facts.writable) return {WriteMethod::Refuse, "no write permission"};
  if (facts.links > 1)
    return {WriteMethod::InPlace, std::to_string(facts.links) + " hard links to keep together"};
  if (facts.hasAcl) return {WriteMethod::InPlace, "an access list to keep"};
  if (!facts.ownerKept) return {WriteMethod::InPlace, "an owner or group to keep"};
  return {};
}

bool ReplaceFileAtomically(const std::string& path, std::string_view content, std::string* reason) {
  AtomicFileWriter writer(path);
  writer.append(content);
  return writer.commit(reason);
}

}  // namespace varnley

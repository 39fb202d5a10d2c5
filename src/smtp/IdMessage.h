// One mail message: its header fields and body, the header block it generates, and the
// writer that sends it after DATA.
#pragma once

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "smtp/IdEMailAddress.h"

namespace varnley {

class TIdIOHandler;

enum TIdMessagePriority { mpHighest, mpHigh, mpNormal, mpLow, mpLowest };

class TIdMessage {
 public:
  TIdEmailAddressItem From;
  TIdEmailAddressItem Sender;
  TIdEmailAddressItem ReceiptRecipient;
  TIdEmailAddressList Recipients;
  TIdEmailAddressList CCList;
  TIdEmailAddressList BccList;
  TIdEmailAddressList ReplyTo;
  std::string Subject;
  std::vector<std::string> Body;
  TIdMessagePriority Priority = mpNormal;
  std::time_t Date = 0;  // 0: the time the header is generated
  std::string ContentType;
  std::string CharSet;
  std::string ContentTransferEncoding;
  std::string ContentDisposition;
  std::string Organization;
  std::string NewsGroups;
  std::string References;
  std::string InReplyTo;
  std::string MsgId;
  std::vector<std::pair<std::string, std::string>> ExtraHeaders;

  void Clear();

  // Sets (or with an empty value removes) one extra header.
  void SetExtraHeader(const std::string& name, const std::string& value);

  // "Name: value" lines in their fixed order, empty values left out. A value holding CR or LF
  // raises EIdLineBreakInText: it would start a header of the sender's choosing.
  std::vector<std::string> GenerateHeader() const;
};

// Writes the header block, the empty line, the dot-doubled body and one more empty line
// through the handler's write buffer (the final "." is the session's). A body line holding
// line breaks goes out as several lines, each dot-doubled, so no text ends the data early.
void WriteMessage(TIdIOHandler& io, const TIdMessage& message);
// The same with the header block already generated.
void WriteMessage(TIdIOHandler& io, const TIdMessage& message,
                  const std::vector<std::string>& header);

}  // namespace varnley

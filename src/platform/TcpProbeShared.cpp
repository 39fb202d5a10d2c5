#include "platform/Resolver.h"
#include "platform/TcpProbe.h"

namespace varnley {

const char* ProbeFailureText(ProbeFailure failure) {
  switch (failure) {
    case ProbeFailure::none:
      return "";
    case ProbeFailure::refused:
      return "refused";
    case ProbeFailure::timedOut:
      return "timed out";
    case ProbeFailure::noSuchName:
      return LookupFailureText(LookupFailure::noSuchName);
    case ProbeFailure::serverFailure:
      return LookupFailureText(LookupFailure::serverFailure);
    case ProbeFailure::noAnswer:
      return LookupFailureText(LookupFailure::noAnswer);
  }
  return "";
}

ProbeFailure ProbeFailureOf(LookupFailure failure) {
  switch (failure) {
    case LookupFailure::none:
      return ProbeFailure::none;
    case LookupFailure::noSuchName:
      return ProbeFailure::noSuchName;
    case LookupFailure::noAnswer:
      return ProbeFailure::noAnswer;
    case LookupFailure::serverFailure:
      return ProbeFailure::serverFailure;
  }
  return ProbeFailure::serverFailure;
}

}  // namespace varnley

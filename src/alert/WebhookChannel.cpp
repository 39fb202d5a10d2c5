#include "alert/WebhookChannel.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "alert/AlertMail.h"
#include "alert/MailStatus.h"
#include "alert/WebhookFormat.h"
#include "platform/StopSource.h"
#include "platform/Text.h"

namespace varnley {

namespace {

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Answer {
  std::size_t read = 0;
  std::size_t cap = 0;
};

std::size_t Discard(char*, std::size_t size, std::size_t count, void* user) {
  auto* answer = static_cast<Answer*>(user);
  answer->read += size * count;
  // Past the cap the transfer ends; the status line has been seen by then.
  return answer->read > answer->cap ? 0 : size * count;
}

std::string Seconds(std::chrono::milliseconds ms) {
  return std::to_string((ms.count() + 999) / 1000) + " s";
}

class WebhookChannel : public AlertChannel {
 public:
  WebhookChannel(int number, WebhookSettings webhook, std::string source, WebhookLimits limits)
      : name_("webhook" + std::to_string(number)),
        webhook_(std::move(webhook)),
        source_(std::move(source)),
        limits_(limits) {
    GlobalInit();
    multi_ = curl_multi_init();
  }
  ~WebhookChannel() override {
    if (multi_) curl_multi_cleanup(multi_);
  }

  std::string Name() const override { return name_; }
  void Interrupt() override {
    if (multi_) curl_multi_wakeup(multi_);
  }
  DeliveryOutcome Deliver(const Alert& alert, StopSource& stop) override;

 private:
  DeliveryOutcome outcome(CURL* easy, CURLcode code, const std::string& errors);

  std::string name_;
  WebhookSettings webhook_;
  std::string source_;
  WebhookLimits limits_;
  CURLM* multi_ = nullptr;
};

DeliveryOutcome WebhookChannel::Deliver(const Alert& alert, StopSource& stop) {
  const std::string url = Trim(webhook_.url);
  const std::string display = WebhookDisplay(url);
  if (display.empty()) return DeliveryOutcome::Refused("the URL is not an http or https URL");
  if (!multi_) return DeliveryOutcome::Retry("the HTTP client could not be set up");
  WebhookRequestOrReason built = BuildWebhookRequest(webhook_, alert, source_);
  if (!built.request) return DeliveryOutcome::Refused(built.reason);
  const WebhookRequest& request = *built.request;

  CURL* easy = curl_easy_init();
  if (!easy) return DeliveryOutcome::Retry("the HTTP client could not be set up");
  curl_slist* headers = nullptr;
  for (const std::string& line : request.headers)
    headers = curl_slist_append(headers, line.c_str());
  // A small POST needs no round trip to be allowed to send its body.
  headers = curl_slist_append(headers, "Expect:");
  char errors[CURL_ERROR_SIZE] = {};
  Answer answer{0, limits_.maxResponse};

  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_POST, 1L);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, kApplicationTitle);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits_.connect.count()));
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(limits_.request.count()));
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Discard);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errors);
  if (webhook_.verify) {
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    // The system store, or the one the user points OpenSSL at.
    if (const char* file = std::getenv("SSL_CERT_FILE"); file && *file)
      curl_easy_setopt(easy, CURLOPT_CAINFO, file);
    if (const char* dir = std::getenv("SSL_CERT_DIR"); dir && *dir)
      curl_easy_setopt(easy, CURLOPT_CAPATH, dir);
  } else {
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
  }

  DeliveryOutcome result = DeliveryOutcome::Cancelled();
  if (curl_multi_add_handle(multi_, easy) == CURLM_OK) {
    bool done = false;
    CURLcode code = CURLE_OK;
    while (!stop.stopRequested()) {
      int running = 0;
      if (curl_multi_perform(multi_, &running) != CURLM_OK) {
        code = CURLE_FAILED_INIT;
        done = true;
        break;
      }
      int left = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
          code = message->data.result;
          done = true;
        }
      }
      if (done || running == 0) {
        done = true;
        break;
      }
      // Woken early by the stop request: its descriptor here, or the channel's
      // curl_multi_wakeup for a stop source without one.
      curl_waitfd wake{static_cast<curl_socket_t>(stop.wakeDescriptor()), CURL_WAIT_POLLIN, 0};
      const unsigned extra = wake.fd >= 0 ? 1 : 0;
      curl_multi_poll(multi_, extra ? &wake : nullptr, extra, 1000, nullptr);
    }
    if (done) result = outcome(easy, code, errors);
    curl_multi_remove_handle(multi_, easy);
  } else {
    result = DeliveryOutcome::Retry("the HTTP client could not be set up");
  }
  curl_easy_cleanup(easy);
  curl_slist_free_all(headers);
  if (!result.reason.empty())
    result.reason = WithoutSecrets(OneLine(display + ": " + result.reason), webhook_);
  return result;
}

DeliveryOutcome WebhookChannel::outcome(CURL* easy, CURLcode code, const std::string& errors) {
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  // An answer cut at the cap still has its status.
  if (status != 0 && (code == CURLE_OK || code == CURLE_WRITE_ERROR)) {
    const std::string answered = "answered HTTP " + std::to_string(status);
    if (status >= 200 && status < 300) return DeliveryOutcome::Sent();
    if (status >= 300 && status < 400) {
      char* location = nullptr;
      curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &location);
      const std::string target = location ? UrlHost(location) : "";
      return DeliveryOutcome::Refused(answered + ", a redirect" +
                                      (target.empty() ? "" : " to " + target) +
                                      " (redirects are not followed)");
    }
    if (status == 408 || status == 429 || status >= 500) {
      DeliveryOutcome retry = DeliveryOutcome::Retry(answered);
      curl_off_t after = 0;
      if ((status == 429 || status == 503) &&
          curl_easy_getinfo(easy, CURLINFO_RETRY_AFTER, &after) == CURLE_OK && after > 0)
        retry.retryAfter = std::chrono::seconds(after);
      return retry;
    }
    return DeliveryOutcome::Refused(answered);
  }
  const std::string detail = *errors.c_str() ? errors : curl_easy_strerror(code);
  switch (code) {
    case CURLE_COULDNT_CONNECT: {
      long osError = 0;
      curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osError);
      return DeliveryOutcome::Retry(
          "cannot connect: " +
          (osError != 0 ? std::string(std::strerror(static_cast<int>(osError))) : detail));
    }
    case CURLE_OPERATION_TIMEDOUT: {
      curl_off_t connected = 0;
      curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connected);
      if (connected == 0)
        return DeliveryOutcome::Retry("no connection within " + Seconds(limits_.connect));
      return DeliveryOutcome::Retry("no whole answer within " + Seconds(limits_.request));
    }
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return DeliveryOutcome::Retry("the host name could not be found");
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return DeliveryOutcome::Refused("the certificate was not accepted: " + detail);
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return DeliveryOutcome::Refused("the URL cannot be used: " + detail);
    case CURLE_SSL_CONNECT_ERROR:
      return DeliveryOutcome::Retry("TLS could not be set up: " + detail);
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
      return DeliveryOutcome::Retry("the connection broke off: " + detail);
    default:
      return DeliveryOutcome::Retry(detail);
  }
}

}  // namespace

bool WebhooksBuiltIn() { return true; }

std::unique_ptr<AlertChannel> MakeWebhookChannel(int number, WebhookSettings webhook,
                                                 std::string source, WebhookLimits limits) {
  return std::make_unique<WebhookChannel>(number, std::move(webhook), std::move(source), limits);
}

DeliveryOutcome SendTestWebhook(const WebhookSettings& webhook, const std::string& source,
                                StopSource& stop, WebhookLimits limits) {
  WebhookChannel channel(1, webhook, source, limits);
  Alert test;
  test.event = AlertEvent::test;
  test.text = std::string(kApplicationTitle) + ": Test Message";
  test.time = WallClock::now();
  return channel.Deliver(test, stop);
}

}  // namespace varnley

// The aiosmtpd server a CTest fixture started: where it listens and the mail it received.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace varnley::test {

class RealSmtpServer {
 public:
  static constexpr const char* kUser = "varnley";
  static constexpr const char* kPassword = "s3cret";

  // Reads the folder from the environment variable the fixture's test sets. Never skipped:
  // without the server the calling test fails.
  explicit RealSmtpServer(const char* variable = "VARNLEY_SMTP_SERVER_DIR") {
    const char* dir = std::getenv(variable);
    if (dir == nullptr) {
      ADD_FAILURE() << variable << " is not set (run through ctest)";
      return;
    }
    dir_ = dir;
    port_ = Read(dir_ / "port");
    if (port_.empty()) ADD_FAILURE() << "the aiosmtpd fixture did not start in " << dir_;
  }

  std::string address() const { return "127.0.0.1:" + port_; }
  // The port of one of a TLS fixture's listeners (starttls, wrongname, expired, unknownca,
  // implicit, plain).
  std::string listenerPort(const std::string& name) const { return Read(dir_ / ("port-" + name)); }
  // The fixture's throw-away CA.
  std::string caFile() const { return (dir_ / "pki" / "ca.pem").string(); }
  // The listeners that saw an AUTH command, one line each time.
  std::string authLog() const { return Read(dir_ / "auth.log"); }

  std::set<std::filesystem::path> messages() const {
    std::set<std::filesystem::path> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir_ / "mail", ec))
      if (e.path().extension() == ".eml") out.insert(e.path());
    return out;
  }

  static std::string Read(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // "Name: value" of the first header with that name ("" when missing).
  static std::string Header(const std::string& mail, const std::string& name) {
    const std::string key = "\r\n" + name + ": ";
    const std::string text = "\r\n" + mail;
    const std::size_t at = text.find(key);
    if (at == std::string::npos) return {};
    const std::size_t start = at + key.size();
    return text.substr(start, text.find("\r\n", start) - start);
  }

  static std::string Body(const std::string& mail) {
    const std::size_t at = mail.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : mail.substr(at + 4);
  }

 private:
  std::filesystem::path dir_;
  std::string port_;
};

}  // namespace varnley::test

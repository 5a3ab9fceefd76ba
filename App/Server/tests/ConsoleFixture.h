// The web console as the tests of its HTTP API meet it: a real console on a
// loopback port chosen at run time, its UI loop on a thread of its own as
// recserver runs it, and one page's session on it.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "App/Server/AppLoop.h"
#include "App/Server/ConsoleServer.h"
#include "tests/support/TestSupport.h"

namespace logrum::server {

// An answer's status and JSON body; status 0 when nothing answered.
struct ConsoleAnswer {
  int status = 0;
  nlohmann::json body;
};

class TestConsole {
 public:
  TestConsole() = default;
  TestConsole(const TestConsole&) = delete;
  TestConsole& operator=(const TestConsole&) = delete;
  ~TestConsole() { Stop(); }

  // Starts the console on this object's loop and a free loopback port (the
  // loop and port of `context` and `settings` are replaced). Wrap in
  // ASSERT_NO_FATAL_FAILURE: a console that did not start fails the test.
  void Start(ConsoleServer::Context context, ConsoleSettings settings = {}) {
    context.loop = &loop_;
    settings.port = logrum::testing::FreeLoopbackPort();
    port_ = settings.port;
    console_ = std::make_unique<ConsoleServer>(context, settings);
    const platform::Status started = console_->Start();
    ASSERT_TRUE(started.ok()) << started.message();
    ui_ = std::thread([this] { loop_.Run(); });
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
  }
  // Stops the console on its UI thread, before what it serves goes away.
  void Stop() {
    if (ui_.joinable()) {
      loop_.Post([this] {
        console_->Stop();
        loop_.Quit(0);
      });
      ui_.join();
    }
    console_.reset();
  }

  // Opens a page's session: the cookie later requests send, and the token a
  // change needs. The cookie must stay out of the page's scripts and other
  // sites' requests.
  void OpenSession() {
    auto answer = client_->Get("/api/session");
    ASSERT_TRUE(answer);
    const std::string cookie = answer->get_header_value("Set-Cookie");
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos) << cookie;
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos) << cookie;
    cookie_ = cookie.substr(0, cookie.find(';'));
    token_ = nlohmann::json::parse(answer->body)["token"].get<std::string>();
  }

  // A GET with the session's cookie.
  ConsoleAnswer Get(const std::string& path) {
    return Parse(client_->Get(path.c_str(), {{"Cookie", cookie_}}));
  }
  // A change: a POST with the session's cookie and token.
  ConsoleAnswer Post(const std::string& path, const nlohmann::json& body) {
    return Parse(client_->Post(path.c_str(), {{"Cookie", cookie_}, {"X-Console-Token", token_}},
                               body.dump(), "application/json"));
  }

  httplib::Client& client() { return *client_; }
  int port() const { return port_; }
  const std::string& cookie() const { return cookie_; }
  const std::string& token() const { return token_; }

 private:
  static ConsoleAnswer Parse(const httplib::Result& result) {
    if (!result) return {};
    return {result->status, nlohmann::json::parse(result->body, nullptr, false)};
  }

  AppLoop loop_;
  std::unique_ptr<ConsoleServer> console_;
  std::thread ui_;
  std::unique_ptr<httplib::Client> client_;
  int port_ = 0;
  std::string cookie_, token_;
};

}  // namespace logrum::server

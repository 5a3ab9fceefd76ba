// Logical inputs against a real TCP peer on loopback: switching, case,
// host:port, reconnecting after the peer hangs up, pattern errors, long lines
// and floods, and peers that cannot be reached.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "Lib/Gpio/LogicalInput.h"
#include "Lib/Gpio/tests/TextServer.h"
#include "tests/support/TestSupport.h"

namespace logrum::gpio {
namespace {

using testing::TextServer;
constexpr auto kPatience = std::chrono::seconds(30);

// What an input reports, in order: status texts and evaluated lines. Stops
// the input when it goes, so that no report reaches a recorder that is gone.
class Recorder {
 public:
  ~Recorder() { input_->Stop(); }
  explicit Recorder(LogicalInput* input) : input_(input) {
    input->set_status_listener([this](const std::string& status) {
      std::lock_guard lock(mu_);
      statuses_.push_back(status);
      changed_.notify_all();
    });
    input->set_line_listener([this](const std::string& line, bool state) {
      std::lock_guard lock(mu_);
      lines_.push_back({line, state});
      changed_.notify_all();
    });
  }
  // Waits until the status `text` has been set `times` times in all.
  bool WaitForStatus(const std::string& text, int times = 1) {
    std::unique_lock lock(mu_);
    return changed_.wait_for(lock, kPatience, [&] { return CountLocked(text) >= times; });
  }
  int Count(const std::string& text) {
    std::lock_guard lock(mu_);
    return CountLocked(text);
  }
  // Waits for `count` evaluated lines in all; returns the state after each.
  std::vector<bool> WaitForLines(size_t count) {
    std::unique_lock lock(mu_);
    changed_.wait_for(lock, kPatience, [&] { return lines_.size() >= count; });
    std::vector<bool> states;
    for (const auto& [line, state] : lines_) states.push_back(state);
    return states;
  }
  std::string Line(size_t i) {
    std::lock_guard lock(mu_);
    return i < lines_.size() ? lines_[i].first : "";
  }
  std::vector<std::string> Statuses() {
    std::lock_guard lock(mu_);
    return statuses_;
  }

 private:
  int CountLocked(const std::string& text) const {
    int n = 0;
    for (const std::string& s : statuses_) n += s == text;
    return n;
  }
  LogicalInput* input_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<std::string> statuses_;
  std::vector<std::pair<std::string, bool>> lines_;
};

TEST(LogicalInputTest, LinesSwitchTheInputAndAHangUpRestoresTheInitialState) {
  TextServer server;
  LogicalInput input;
  Recorder record(&input);
  ASSERT_TRUE(input.Start());
  EXPECT_TRUE(record.WaitForStatus("Inactive"));
  input.Configure(server.address(), "MIC ON", "MIC OFF", false, false);
  const std::string on = "ON (" + server.address() + ")", off = "OFF (" + server.address() + ")";
  ASSERT_TRUE(record.WaitForStatus(off)) << ::testing::PrintToString(record.Statuses());
  ASSERT_TRUE(server.WaitForClients(1));

  // CR LF, LF CR and empty lines evaluate nothing extra.
  server.Send("MIC ON\r\n\n\rnews at ten\nmic off\n\r");
  EXPECT_EQ(record.WaitForLines(3), (std::vector<bool>{true, true, false}));
  EXPECT_EQ(record.Line(1), "news at ten");
  EXPECT_EQ(input.StatusText(), off);
  EXPECT_EQ(record.Count(on), 1);

  // Hanging up while ON: back to the initial state, and connected again at once.
  server.Send("MIC ON\n");
  record.WaitForLines(4);
  EXPECT_TRUE(input.state());
  server.CloseClients();
  ASSERT_TRUE(server.WaitForClients(2));
  ASSERT_TRUE(record.WaitForStatus(off, 3));
  EXPECT_FALSE(input.state());
  EXPECT_TRUE(record.WaitForStatus("Connecting to " + server.address()));
  input.Stop();
  EXPECT_FALSE(input.running());
}

TEST(LogicalInputTest, CaseSensitiveInitialOnAndAPlainHostName) {
  TextServer server;
  LogicalInput input;
  Recorder record(&input);
  std::string asked;
  input.set_resolver([&asked](const std::string& name, uint32_t* ipv4) {
    asked = name;
    *ipv4 = 0x7F000001;
    return name == "playout-pc";
  });
  ASSERT_TRUE(input.Start());
  const std::string host = "playout-pc:" + std::to_string(server.port());
  input.Configure(host, "MIC ON", "MIC OFF", true, true);
  ASSERT_TRUE(record.WaitForStatus("ON (" + host + ")"));
  ASSERT_TRUE(server.WaitForClients(1));
  EXPECT_TRUE(input.state());
  server.Send("mic off\nMIC OFF\nmic on\nMIC ON\n");
  EXPECT_EQ(record.WaitForLines(4), (std::vector<bool>{true, false, false, true}));
  EXPECT_EQ(asked, "playout-pc");
}

TEST(LogicalInputTest, ThePlatformResolverFindsLoopbackNames) {
  TextServer server;
  LogicalInput input;
  Recorder record(&input);
  ASSERT_TRUE(input.Start());
  // Not "localhost" exactly, so the name is looked up as it is (in the hosts file).
  const std::string host = "LOCALHOST:" + std::to_string(server.port());
  input.Configure(host, "ON", "OFF", false, false);
  EXPECT_TRUE(record.WaitForStatus("OFF (" + host + ")"));
  EXPECT_TRUE(server.WaitForClients(1));
}

TEST(LogicalInputTest, AnUncompilablePatternReportsAndNeverMatches) {
  TextServer server;
  LogicalInput input;
  Recorder record(&input);
  ASSERT_TRUE(input.Start());
  input.Configure(server.address(), "a**", "OFF", false, true);
  ASSERT_TRUE(record.WaitForStatus("ON Error!"));
  // The connection status replaces the error text; the flag stays.
  ASSERT_TRUE(record.WaitForStatus("ON (" + server.address() + ")"));
  EXPECT_EQ(input.pattern_errors(), 1);
  ASSERT_TRUE(server.WaitForClients(1));
  server.Send("a\nOFF\na\n");
  EXPECT_EQ(record.WaitForLines(3), (std::vector<bool>{true, false, false}));

  input.Configure(server.address(), "ON", "(", false, false);
  ASSERT_TRUE(record.WaitForStatus("OFF Error!"));
  ASSERT_TRUE(server.WaitForClients(2)) << ::testing::PrintToString(record.Statuses());
  EXPECT_EQ(input.pattern_errors(), 2);
}

TEST(LogicalInputTest, LongLinesAreCutAndAFloodWithoutNewlineCannotGrowMemory) {
  TextServer server;
  LogicalInput input;
  Recorder record(&input);
  ASSERT_TRUE(input.Start());
  input.Configure(server.address(), "MIC ON$", "MIC OFF", false, false);
  ASSERT_TRUE(server.WaitForClients(1));
  ASSERT_TRUE(record.WaitForStatus("OFF (" + server.address() + ")"));

  // 511 characters are kept: the pattern is seen at the end of the first
  // line, not past the cut in the second.
  server.Send(std::string(505, 'x') + "MIC ON\n");
  server.Send("MIC OFF\n" + std::string(506, 'x') + "MIC ON\n");
  EXPECT_EQ(record.WaitForLines(3), (std::vector<bool>{true, false, false}));
  EXPECT_EQ(record.Line(2).size(), LogicalInput::kLineCapacity);

  // Four megabytes without a line end make one line of 511 characters.
  const std::string block(64 * 1024, 'A');
  for (int i = 0; i < 64; ++i) server.Send(block);
  server.Send("\nMIC ON\n");
  EXPECT_EQ(record.WaitForLines(5), (std::vector<bool>{true, false, false, false, true}));
  EXPECT_EQ(record.Line(3), std::string(LogicalInput::kLineCapacity, 'A'));
}

TEST(LogicalInputTest, PeersThatCannotBeReachedKeepRetrying) {
  // A port with nobody listening: connections are refused.
  const std::string refused =
      "127.0.0.1:" + std::to_string(logrum::testing::FreeLoopbackPort());

  for (const std::string& host : {refused, std::string("127.0.0.1:0"),
                                  std::string("no-such-host.invalid:4001"), std::string(""),
                                  std::string(80, 'h')}) {
    LogicalInput input;
    Recorder record(&input);
    input.set_retry_interval_ms(5);
    input.set_connect_timeout_ms(1000);
    input.set_resolver([](const std::string&, uint32_t*) { return false; });  // no DNS here
    ASSERT_TRUE(input.Start());
    input.Configure(host, "ON", "OFF", false, true);
    EXPECT_TRUE(record.WaitForStatus("Connecting to " + host, 3)) << host;
    EXPECT_TRUE(input.state()) << "the initial state holds while unconnected";
    input.Stop();
  }
}

TEST(LogicalInputTest, StopAndConfigureCutAConnectShort) {
  // A listener whose queue is full: the next connect waits for an answer
  // that never comes, as with a peer behind a dead link.
  const logrum::testing::SilentListener listener(0);
  ASSERT_TRUE(listener.ok());
  std::vector<int> fillers;
  for (int i = 0; i < 2; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    (void)::connect(fd, listener.address(), listener.address_size());
    fillers.push_back(fd);
  }
  const std::string host = "127.0.0.1:" + std::to_string(listener.port());

  TextServer server;
  LogicalInput input;
  Recorder record(&input);
  input.set_connect_timeout_ms(60 * 60 * 1000);  // only a wake can end the wait
  ASSERT_TRUE(input.Start());
  input.Configure(host, "ON", "OFF", false, false);
  input.Configure(server.address(), "ON", "OFF", false, false);
  ASSERT_TRUE(record.WaitForStatus("OFF (" + server.address() + ")"));
  input.Configure(host, "ON", "OFF", false, false);
  input.Stop();  // returns although the connect would wait an hour
  EXPECT_FALSE(input.running());

  // With a time-out the attempt ends by itself and is retried.
  LogicalInput bounded;
  Recorder bounded_record(&bounded);
  bounded.set_connect_timeout_ms(20);
  bounded.set_retry_interval_ms(5);
  ASSERT_TRUE(bounded.Start());
  bounded.Configure(host, "ON", "OFF", false, false);
  EXPECT_TRUE(bounded_record.WaitForStatus("Connecting to " + host, 2));
  bounded.Stop();
  for (int fd : fillers) ::close(fd);
}

TEST(PeerAddressTest, HostAndPortAsTheReaderUnderstandsThem) {
  PeerAddress peer;
  ASSERT_TRUE(ParsePeerAddress("10.0.0.5:4001", 80, &peer));
  EXPECT_TRUE(peer.numeric);
  EXPECT_EQ(peer.ipv4, 0x0A000005u);
  EXPECT_EQ(peer.port, 4001);
  ASSERT_TRUE(ParsePeerAddress("10.0.0.5", 80, &peer));
  EXPECT_EQ(peer.port, 80);
  ASSERT_TRUE(ParsePeerAddress("studio-pc", 80, &peer));
  EXPECT_FALSE(peer.numeric);
  EXPECT_EQ(peer.host, "studio-pc");
  EXPECT_EQ(peer.port, 80);
  ASSERT_TRUE(ParsePeerAddress("playout.example:23", 80, &peer));
  EXPECT_EQ(peer.host, "playout.example");
  EXPECT_EQ(peer.port, 23);
  // Not dotted quads: looked up as names.
  for (const char* name : {"0.0.0.0", "1.2.3.4.5", "256.1.1.1", "10.0.0", "10.0.0.5x"}) {
    ASSERT_TRUE(ParsePeerAddress(name, 80, &peer)) << name;
    EXPECT_FALSE(peer.numeric) << name;
    EXPECT_EQ(peer.host, name);
  }
  ASSERT_TRUE(ParsePeerAddress("localhost:23", 80, &peer));
  char own[256] = {};
  ::gethostname(own, sizeof own - 1);
  EXPECT_EQ(peer.host, own);
  for (const char* bad : {"10.0.0.5:0", "studio:99999", "studio:-1", "", ":80"}) {
    EXPECT_FALSE(ParsePeerAddress(bad, 80, &peer)) << bad;
  }
  EXPECT_FALSE(ParsePeerAddress(std::string(80, 'h'), 80, &peer));
  EXPECT_TRUE(ParsePeerAddress(std::string(79, 'h'), 80, &peer));
}

}  // namespace
}  // namespace logrum::gpio

#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/cpu_pool.h"
#include "base/network_thread.h"
#include "base/published.h"
#include "core/chat_line.h"
#include "core/handshake_error.h"
#include "core/hello.h"
#include "core/relay_client.h"
#include "core/secure_channel.h"
#include "core/relay_identity.h"
#include "core/transfer_progress.h"
#include "host/approval_prompt.h"
#include "host/host_platform.h"
#include "host/host_session.h"
#include "host/service_advertiser.h"
#include "support/app_settings.h"
#include "support/clipboard_sync.h"
#include "support/credential_stores.h"
#include "support/sleep_blocker.h"

namespace pellora {

// Shares this computer: switches sharing on and off, runs the local-network listener and the relay
// registration loop, admits at most one viewer at a time (password, lockout, busy slot, approval) and
// hands each admitted channel to a HostSession. Publishes everything the user interface shows.
//
// Lives on the main strand: every public call is made there (the user interface posts itself there),
// the published state changes only there, and every callback it receives (listener, relay, session
// hooks, advertiser) hops there first. Created once by the application and kept until exit; `stop()`
// before destruction.
class HostService : public std::enable_shared_from_this<HostService> {
 public:
  static constexpr std::uint16_t defaultPort = 7171;
  static constexpr int lockoutFailures = 5;
  static constexpr std::chrono::seconds lockoutWindow{60};
  static constexpr const char* stoppedReason = "Paylaşan bağlantıyı kesti";
  static constexpr const char* replacedReason = "Bu kimlik başka bir Pellora'te açıldı";

  struct RelayState {
    struct Off {
      bool operator==(const Off&) const = default;
    };
    struct Connecting {
      bool operator==(const Connecting&) const = default;
    };
    struct Online {
      RelayIdentity identity;
      bool operator==(const Online&) const = default;
    };
    struct Failed {
      std::string reason;
      bool operator==(const Failed&) const = default;
    };
    std::variant<Off, Connecting, Online, Failed> value;
    bool operator==(const RelayState&) const = default;
  };

  struct ActiveSession {
    std::string id;  // UUID
    std::string peerName;
    std::string address;
    std::chrono::system_clock::time_point since;
    int handshakeVersion = 1;  // which handshake protects the session: 1 or 2
    bool operator==(const ActiveSession&) const = default;
  };

  struct State {
    bool isSharing = false;
    std::string listenerStatus = "Kapalı";
    RelayState relayState;
    std::optional<ActiveSession> active;
    std::optional<std::string> lastEvent;
    std::string password;  // the session password
    ChatHistory chat;
    TransferHistory transfers;
    int unreadChat = 0;
    std::string advertisedName;  // the name discovery lists us under (empty when not announced)
    bool operator==(const State&) const = default;
  };

  struct Options {
    // Where the local-network listener listens (tests and the command line move it).
    boost::asio::ip::tcp::endpoint listen{boost::asio::ip::address_v4::any(), defaultPort};
    std::string computerName;  // empty: the host name, or "Linux" when it has none
    // Made when sharing starts; empty: no announcement on the local network.
    std::function<std::unique_ptr<ServiceAdvertiser>()> makeAdvertiser;
    // Folder for received files (default: the download folder + "Pellora", looked up when the service is made).
    std::optional<std::filesystem::path> downloadDirectory;
    // Handshakes in progress: at most this many in all, from one local-network address, and through the
    // relay (where every caller shares the relay's address). A caller beyond a cap is closed at once,
    // before it has sent anything, so that a flood of callers can neither hold every place nor keep the
    // CPU busy with key derivation; the hello deadline frees a silent caller's place soon.
    int maxPendingHandshakes = 16;
    int maxPendingPerAddress = 4;
    int maxPendingRelayed = 8;
    std::chrono::seconds handshakeTimeout{90};
    // How long a caller may take to send its hello (from accept) and its proof (from our hello).
    std::chrono::steady_clock::duration helloTimeout = std::chrono::seconds(5);
    std::chrono::steady_clock::duration proofTimeout = std::chrono::seconds(15);
    // The relay loop's waits: after failing to reach the relay the first wait, doubled each time up to
    // the longest; after a working control connection ends, `afterControl` (then twice that).
    struct RelayTiming {
      std::chrono::steady_clock::duration firstRetry = std::chrono::seconds(2);
      std::chrono::steady_clock::duration longestRetry = std::chrono::seconds(60);
      std::chrono::steady_clock::duration afterControl = std::chrono::seconds(2);
      std::chrono::steady_clock::duration keepAlive = std::chrono::seconds(25);
    } relayTiming;
    // The clock of the wrong-password lockout (tests move it); empty: the steady clock.
    std::function<std::chrono::steady_clock::time_point()> now;
  };

  struct Dependencies {
    NetworkThread& network;
    CpuPool& cpu;
    AppSettings& settings;  // also holds the permanent password
    RelayIdentityStore& relayIdentity;
    std::shared_ptr<ClipboardSync> clipboard;
    std::shared_ptr<PowerInhibitor> power;
    std::shared_ptr<ApprovalPrompt> approval;
    HostPlatform platform;
  };

  static std::shared_ptr<HostService> make(Dependencies dependencies, Options options);
  ~HostService();

  const State& state() const { return published_.state(); }
  Published<State>& published() { return published_; }

  void start();
  void stop();
  void restartRelay();
  void setPassword(std::string password);
  void regeneratePassword();
  void sendChat(const std::string& text);
  void sendFiles(const std::vector<std::filesystem::path>& files);
  void markChatRead();
  // Every local IPv4 address with the listener's port (":7171" unless the options move it); only the
  // listener's own address when the options bind it to one.
  std::vector<std::string> addresses() const;
  // The running session, if any (disconnect button, transfer answers).
  std::shared_ptr<HostSession> session() const { return session_; }
  // The port the listener is bound to (the option's, or the one the system chose for port 0).
  std::uint16_t listeningPort() const;
  // Handshakes in progress: every connection accepted and not yet turned away, failed or begun.
  int handshakesInProgress() const;

 private:
  struct RelayRun;  // one run of the relay loop and what cancels it
  using Clock = std::chrono::steady_clock;

  HostService(Dependencies dependencies, Options options);

  std::string computerName() const;
  std::string openStatus() const;
  void startListener();
  static boost::asio::awaitable<void> acceptLoop(std::weak_ptr<HostService> weak,
                                                 std::shared_ptr<boost::asio::ip::tcp::acceptor> acceptor);
  // `lanAddress`: the caller's address on the local network; none for a caller through the relay.
  void accept(std::shared_ptr<Wire> wire, std::optional<std::string> lanAddress);
  // Whether a caller whose hello just arrived may go on to the key derivation (`ok`), or the status it
  // is turned away with.
  HandshakeStatus screen() const;
  static boost::asio::awaitable<void> handshake(std::weak_ptr<HostService> weak, std::shared_ptr<Wire> wire,
                                                std::string password, std::optional<std::string> permanent,
                                                std::string address);
  static boost::asio::awaitable<HandshakeStatus> admitCaller(std::weak_ptr<HostService> weak, Hello client,
                                                             SecureChannel::PasswordMatch match, std::string address,
                                                             std::shared_ptr<bool> admitted);
  boost::asio::awaitable<HandshakeStatus> admit(const Hello& client, SecureChannel::PasswordMatch match,
                                                const std::string& address);
  void begin(std::shared_ptr<SecureChannel> channel, const std::string& address);
  static boost::asio::awaitable<void> runSession(std::weak_ptr<HostService> weak,
                                                 std::shared_ptr<HostSession> session);
  void end(const std::shared_ptr<HostSession>& session, const std::string& reason);

  void startRelay();
  void cancelRelay();
  static boost::asio::awaitable<void> relayLoop(std::weak_ptr<HostService> weak, std::shared_ptr<RelayRun> run);
  static boost::asio::awaitable<void> runControl(std::weak_ptr<HostService> weak, std::shared_ptr<RelayRun> run,
                                                 std::shared_ptr<Wire> control, RelayClient client);
  static boost::asio::awaitable<void> acceptRelayed(std::weak_ptr<HostService> weak, RelayClient client,
                                                    std::string token);
  void setRelayState(const std::shared_ptr<RelayRun>& run, RelayState state);

  Dependencies deps_;
  Options options_;
  Published<State> published_;
  std::shared_ptr<HostSession> session_;

  std::shared_ptr<boost::asio::ip::tcp::acceptor> acceptor_;
  std::uint16_t boundPort_ = 0;
  std::unique_ptr<ServiceAdvertiser> advertiser_;
  std::shared_ptr<RelayRun> relayRun_;
  struct Pending {
    std::weak_ptr<Wire> wire;
    std::optional<std::string> lanAddress;  // none: through the relay
  };
  std::vector<Pending> handshakes_;  // the handshakes in progress
  bool slotTaken_ = false;
  std::vector<Clock::time_point> failures_;
  Clock::time_point lockedUntil_{};
  SleepBlocker sleepBlocker_;
};

}  // namespace pellora
